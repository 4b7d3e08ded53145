#include "python/panic.h"

#include "python/errors.h"
#include "python/ref.h"
#include "python/trampoline.h"

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

// Pickle finds a class by its module and name, and "pyo3_runtime" cannot be imported: without
// this, an instance could not cross to another process (a pool's worker, a dask cluster). It
// pickles as a call of this module's _rebuild_panic_exception with its arguments (and its
// attributes, if any), which gives the class of the unpickling process, made there on first need.
PyObject* reduce_panic(PyObject* self, PyObject*) noexcept {
    return trampoline([self] {
        const Ref module = Ref::steal(PyImport_ImportModule("rastrel"));
        if (!module) throw_pending();
        const Ref rebuild = Ref::steal(PyObject_GetAttrString(module.get(), "_rebuild_panic_exception"));
        if (!rebuild) throw_pending();
        const Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
        if (!args) throw_pending();
        const Ref state = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
        if (!state) throw_pending();
        const bool has_state = PyDict_Check(state.get()) && PyDict_Size(state.get()) > 0;
        PyObject* reduced = has_state ? Py_BuildValue("(O(O)O)", rebuild.get(), args.get(), state.get())
                                      : Py_BuildValue("(O(O))", rebuild.get(), args.get());
        if (reduced == nullptr) throw_pending();
        return reduced;
    });
}

PyMethodDef g_reduce_def = {"__reduce__", reduce_panic, METH_NOARGS, nullptr};

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (g_panic_type != nullptr) return g_panic_type;
    Ref type = Ref::steal(
        PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!type) return nullptr;
    const Ref reduce = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &g_reduce_def));
    if (!reduce || PyObject_SetAttrString(type.get(), "__reduce__", reduce.get()) < 0) return nullptr;
    // Creating a class can run Python code; if another thread stored one meanwhile, it wins.
    if (g_panic_type == nullptr) g_panic_type = type.release();
    return g_panic_type;
}

PyObject* rebuild_panic_exception(PyObject*, PyObject* args) noexcept {
    return trampoline([args] {
        if (!PyTuple_Check(args)) throw conversion_error(args, "PyTuple");
        PyObject* type = panic_exception_type();
        if (type == nullptr) throw_pending();
        PyObject* instance = PyObject_Call(type, args, nullptr);
        if (instance == nullptr) throw_pending();
        return instance;
    });
}

void restore_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the class could not be made; its own error stays pending
    const Ref text = Ref::steal(PyUnicode_FromString(message));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace rastrel
