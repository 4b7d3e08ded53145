#pragma once
// A stack program rewritten for evaluation over runs of pixels. The stack depth before every step
// is the same for every pixel, so each slot can become a register holding one run of values, and
// a push need not move data at all: it only says where the slot's value comes from (a band, a
// constant, or a register already computed). What is left are the arithmetic steps, each reading
// its operands from those sources. Interpreter-free.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/expr/opcodes.h"
#include "core/expr/program.h"

namespace rastrel {

// Where a step reads one operand from.
struct Operand {
    enum class Kind : std::uint8_t { band, scalar, reg };

    Kind kind = Kind::scalar;
    // band: position in RegisterProgram::bands; reg: the register (the stack slot).
    std::uint32_t index = 0;
    float value = 0.0f;  // scalar only

    static constexpr Operand band(std::uint32_t position) { return {Kind::band, position, 0.0f}; }
    static constexpr Operand scalar(float v) { return {Kind::scalar, 0, v}; }
    static constexpr Operand reg(std::uint32_t slot) { return {Kind::reg, slot, 0.0f}; }

    friend bool operator==(const Operand&, const Operand&) = default;
};

// The register that stands for the output run.
inline constexpr std::uint8_t kOutputRegister = 0xFF;

// dst = op(a, b) for binary ops, dst = op(a) for unary ones (b unused). A step whose op is a push
// copies a into dst: it appears only when the result is a band or a constant as pushed.
struct RegisterStep {
    OpCode op;
    std::uint8_t dst;
    Operand a;
    Operand b;

    friend bool operator==(const RegisterStep&, const RegisterStep&) = default;
};

struct RegisterProgram {
    // In program order. The last step writes kOutputRegister, and no other does; every other
    // step writes the register of the slot its result lands in, so a binary step whose left
    // operand is a register updates that register in place.
    std::vector<RegisterStep> steps;
    // The band numbers the steps read, each once, in order of first use.
    std::vector<std::uint64_t> bands;
};

// Lowers `prog`, which plan_stack must have found free of faults. Operations on constants alone
// are done here, once, with the same arithmetic as the stack evaluator; steps whose values never
// reach slot 0 (those after its last write) are dropped. Allocates; never raises a Fault.
RegisterProgram lower(std::span<const Instruction> prog);

}  // namespace rastrel
