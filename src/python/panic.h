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

}  // namespace rastrel
