#pragma once
// The call boundary: every entry from the interpreter passes through here, so that no C++
// exception, error or fault ever unwinds into interpreter frames.
#include "python/python.h"

namespace rastrel {

namespace detail {
PyObject* convert_error_in_flight() noexcept;  // translates the active C++ exception
}

// Runs `body` (returning a new reference) with the boundary count raised. An Error becomes the
// pending exception; a Fault, or any other C++ exception, becomes PanicException with its text.
// Interpreter lock held.
template <class Body>
PyObject* trampoline(Body&& body) noexcept;

// The same for deallocation: nothing may propagate, so a failure is reported as unraisable with
// `object` as context.
template <class Body>
void trampoline_unraisable(Body&& body, PyObject* object) noexcept;

}  // namespace rastrel

#include "python/trampoline_impl.h"
