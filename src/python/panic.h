#pragma once
// PanicException: how a fault reaches Python. It derives from BaseException so that
// `except Exception` does not swallow a broken invariant of native code.
#include "python/python.h"

namespace rastrel {

// The class, created on first need and kept for the process (borrowed reference). Interpreter
// lock held. Null with an exception pending only if the interpreter cannot create a class.
PyObject* panic_exception_type() noexcept;

// Makes a PanicException carrying `message` the pending exception. Never raises.
void restore_panic(const char* message) noexcept;

// The module's private _rebuild_panic_exception(args) (METH_O): PanicException(*args), the class of
// this process. Unpickling calls it, since the class's own module cannot be imported.
PyObject* rebuild_panic_exception(PyObject* module, PyObject* args) noexcept;

}  // namespace rastrel
