#pragma once
#include <initializer_list>

#include "python/python.h"

namespace rastrel {

// Every array of a call must have the first one's shape. Throws ValueError
// "Shape mismatch at index {i}: expected [..], got [..]" naming the first one that differs.
// The arrays must be NumPy arrays. Interpreter lock held.
void check_shapes(std::initializer_list<PyObject*> arrays);

}  // namespace rastrel
