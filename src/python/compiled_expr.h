#pragma once
// CompiledExpr: the immutable, opaque Python object that compile_expr returns.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/expr/block_evaluator.h"
#include "core/expr/program.h"
#include "python/python.h"
#include "python/ref.h"

namespace rastrel::expr {

struct CompiledExprObject {
    PyObject_HEAD
    Instruction* instructions;  // owned; never written after creation
    std::size_t length;
    std::uint64_t num_bands;
    // The program prepared for the block evaluator once, at creation (owned); nullptr when it
    // faults before any pixel, whatever the bands.
    const PreparedProgram* prepared;

    std::span<const Instruction> program() const noexcept { return {instructions, length}; }
};

// The class, created on first need and kept for the process (borrowed reference). Throws
// RuntimeError "An error occurred while initializing class CompiledExpr" if it cannot be made.
PyObject* compiled_expr_type();

// True for an instance of CompiledExpr or of a subtype.
bool is_compiled_expr(PyObject* object);

// compile_expr after binding: collects and checks the instructions, returns the new object.
Ref compile(PyObject* instructions, PyObject* num_bands);

}  // namespace rastrel::expr
