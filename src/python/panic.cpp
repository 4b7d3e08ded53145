#include "python/panic.h"

#include "python/ref.h"

namespace rastrel {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code of this module faults (a broken invariant, a refused\n"
    "array borrow, a missing worker pool).\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

PyObject* g_panic_type = nullptr;  // guarded by the interpreter lock

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (g_panic_type != nullptr) return g_panic_type;
    Ref type = Ref::steal(
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!type) return nullptr;
    // Creating a class can run Python code; if another thread stored one meanwhile, it wins.
    if (g_panic_type == nullptr) g_panic_type = type.release();
    return g_panic_type;
}

void restore_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the class could not be made; its own error stays pending
    const Ref text = Ref::steal(PyUnicode_FromString(message));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace rastrel
