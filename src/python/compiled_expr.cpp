#include "python/compiled_expr.h"

#include <memory>
#include <utility>
#include <string>

#include "core/expr/opcodes.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/trampoline.h"

namespace rastrel::expr {
namespace {

PyObject* g_type = nullptr;  // guarded by the interpreter lock; never freed

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return trampoline([type]() -> PyObject* {
        const char* name = type->tp_name;
        throw_error(PyExc_TypeError, std::string("No constructor defined for ") + name);
    });
}

void deallocate(PyObject* self) noexcept {
    trampoline_unraisable(
        [self] {
            auto* object = reinterpret_cast<CompiledExprObject*>(self);
            std::unique_ptr<Instruction[]>(std::exchange(object->instructions, nullptr)).reset();
            std::unique_ptr<const PreparedProgram>(std::exchange(object->prepared, nullptr)).reset();
            PyTypeObject* type = Py_TYPE(self);
            // Instances of heap types hold a reference to their type (CPython since 3.8, and
            // PyPy's allocation takes one too); it goes once the instance's memory is given back.
            const Ref type_reference = Ref::steal(reinterpret_cast<PyObject*>(type));
            auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
            free(self);
        },
        self);
}

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate)},
    {0, nullptr},
};

// Created under the module's dotted name, because a dotless one makes the interpreter warn that
// the class has no __module__ (and fail the import where warnings are errors); the type's own
// name is set back to the bare "CompiledExpr" right after creation.
PyType_Spec g_spec = {
    "rastrel.CompiledExpr",
    sizeof(CompiledExprObject),
    0,
    Py_TPFLAGS_DEFAULT,  // no base-type flag: the class cannot be subclassed
    g_slots,
};

// The keys read from each step, made once and kept.
PyObject* key(const char* text) {
    PyObject* name = check_api(PyUnicode_FromString(text));
    PyUnicode_InternInPlace(&name);
    return name;
}

PyObject* lookup(PyObject* element, PyObject* name) {
    PyObject* value = PyObject_GetItem(element, name);
    if (value == nullptr) throw_pending();
    return value;
}

Instruction compile_step(PyObject* element) {
    static PyObject* const kType = key("type");
    static PyObject* const kIndex = key("index");
    static PyObject* const kValue = key("value");

    const Ref type = Ref::steal(lookup(element, kType));
    if (!PyUnicode_Check(type.get())) throw conversion_error(type.get(), "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(type.get(), &size);
    if (utf8 == nullptr) throw_pending();
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const std::optional<OpCode> op = op_from_name(text);
    if (!op) throw_error(PyExc_ValueError, "Unknown op: " + std::string(text));

    Instruction step{*op, 0.0f, 0};
    if (*op == OpCode::push_band) {
        const Ref index = Ref::steal(lookup(element, kIndex));
        step.band = to_u64(index.get());
    } else if (*op == OpCode::push_scalar) {
        const Ref value = Ref::steal(lookup(element, kValue));
        step.scalar = to_f32(value.get());
    }
    return step;
}

Ref create_type() {
    Ref type = Ref::steal(PyType_FromSpec(&g_spec));
    if (!type) return type;
    const Ref name = Ref::steal(PyUnicode_FromString("CompiledExpr"));
    if (!name || PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) return Ref();
    return type;
}

}  // namespace

PyObject* compiled_expr_type() {
    if (g_type != nullptr) return g_type;
    Ref type = create_type();
    if (!type) {
        Error cause = Error::fetch();
        Error error = Error::lazy(PyExc_RuntimeError, "An error occurred while initializing class CompiledExpr");
        Ref value = error.value();
        PyException_SetCause(value.get(), cause.value().release());
        throw error;
    }
    g_type = type.release();
    return g_type;
}

bool is_compiled_expr(PyObject* object) {
    auto* type = reinterpret_cast<PyTypeObject*>(compiled_expr_type());
    if (Py_TYPE(object) != type && !PyType_IsSubtype(Py_TYPE(object), type)) return false;
    // PyPy lets object.__new__ make an instance without the constructor's refusal: a blank one
    // holds no program (a compiled empty one holds an empty array) and is no compiled program.
    return reinterpret_cast<CompiledExprObject*>(object)->instructions != nullptr;
}

Ref compile(PyObject* instructions, PyObject* num_bands) {
    std::vector<Ref> elements;
    try {
        elements = collect_sequence(instructions);
    } catch (Error& error) {
        throw argument_extraction_error("instructions", std::move(error));
    }
    const std::uint64_t bands = extract_u64(num_bands, "num_bands");

    const std::size_t length = elements.size();
    std::unique_ptr<Instruction[]> program(new Instruction[length]);
    for (std::size_t i = 0; i < length; ++i) program[i] = compile_step(elements[i].get());
    elements.clear();
    std::unique_ptr<const PreparedProgram> prepared = prepare({program.get(), length}, bands);

    auto* type = reinterpret_cast<PyTypeObject*>(compiled_expr_type());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) throw_pending();
    auto* object = reinterpret_cast<CompiledExprObject*>(self);
    object->instructions = program.release();
    object->length = length;
    object->num_bands = bands;
    object->prepared = prepared.release();
    return Ref::steal(self);
}

}  // namespace rastrel::expr
