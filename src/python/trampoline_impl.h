#pragma once
#include "python/gil.h"

namespace rastrel {

template <class Body>
PyObject* trampoline(Body&& body) noexcept {
    PyObject* result = nullptr;
    try {
        enter_boundary();
        result = body();
    } catch (...) {
        result = detail::convert_error_in_flight();
    }
    leave_boundary();
    return result;
}

template <class Body>
void trampoline_unraisable(Body&& body, PyObject* object) noexcept {
    try {
        enter_boundary();
        body();
    } catch (...) {
        detail::convert_error_in_flight();
        PyErr_WriteUnraisable(object);
    }
    leave_boundary();
}

}  // namespace rastrel
