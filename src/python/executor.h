#pragma once
#include "python/python.h"

namespace rastrel::expr {

// execute_expr_inplace after binding: converts expr, bands and out_buffer in that order, then
// evaluates the program for every pixel of out_buffer on the pool. Interpreter lock held on
// entry and exit, released for the loop.
void execute(PyObject* expr, PyObject* bands, PyObject* out_buffer);

}  // namespace rastrel::expr
