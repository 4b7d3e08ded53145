#pragma once
// The one way the module includes the interpreter's C API. Built against whichever interpreter
// runs the build: CPython's headers, or PyPy's, which map every call to its "PyPy"-prefixed export.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
