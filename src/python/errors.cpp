#include "python/errors.h"

#include <cstdio>

#include "core/fault.h"
#include "python/panic.h"

namespace rastrel {

Error Error::lazy(PyObject* type, std::string message) {
    Error error;
    error.type_ = Ref::borrow(type);
    error.message_ = std::move(message);
    return error;
}

Error Error::lazy(PyObject* type, Ref message) {
    Error error;
    error.type_ = Ref::borrow(type);
    error.message_object_ = std::move(message);
    return error;
}

Error Error::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    // PyPy reports "no traceback" as None rather than as a null pointer.
    if (traceback == Py_None) {
        Py_DECREF(traceback);
        traceback = nullptr;
    }
    if (type == panic_exception_type()) {
        // A fault that crossed Python code (e.g. raised through a callback) resumes as a fault.
        std::string text = "Unwrapped panic from Python code";
        if (PyObject* s = PyObject_Str(value)) {
            text = to_utf8(s);
            Py_DECREF(s);
        } else {
            PyErr_Clear();
        }
        std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
        std::fputs("Python stack trace below:\n", stderr);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        throw Fault(text);
    }
    Error error;
    error.type_ = Ref::steal(type);
    error.value_ = Ref::steal(value);
    error.traceback_ = Ref::steal(traceback);
    return error;
}

void Error::normalize() {
    if (value_) return;
    Ref text = message_object_
                   ? std::move(message_object_)
                   : Ref::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (text) PyErr_SetObject(type_.get(), text.get());
    *this = fetch();
}

void Error::restore() && {
    normalize();
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

Ref Error::value() {
    normalize();
    return value_.clone();
}

std::string Error::render() {
    // The caller may not hold the lock when a fault is built from an error on its way out.
    PyGILState_STATE gil = PyGILState_Ensure();
    normalize();
    std::string text = "PyErr { type: " + repr_of(type_.get()) + ", value: " + repr_of(value_.get()) +
                       ", traceback: ";
    text += traceback_ ? "Some(" + repr_of(traceback_.get()) + ")" : std::string("None");
    text += " }";
    PyGILState_Release(gil);
    return text;
}

PyObject* check_api(PyObject* result) {
    if (result != nullptr) return result;
    if (PyErr_Occurred()) PyErr_Print();
    raise_fault("Python API call failed");
}

void throw_pending() { throw Error::fetch(); }

void throw_error(PyObject* type, std::string message) { throw Error::lazy(type, std::move(message)); }

Error conversion_error(PyObject* object, const char* target) {
    std::string name = "<failed to extract type name>";
    if (PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")) {
        if (PyUnicode_Check(qualname)) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname, &size)) {
                name.assign(utf8, static_cast<std::size_t>(size));
            } else {
                PyErr_Clear();
            }
        }
        Py_DECREF(qualname);
    } else {
        PyErr_Clear();
    }
    return Error::lazy(PyExc_TypeError, "'" + name + "' object cannot be converted to '" + target + "'");
}

Error argument_extraction_error(const char* parameter, Error error) {
    if (error.type() != PyExc_TypeError) return error;
    Ref old = error.value();
    std::string message = std::string("argument '") + parameter + "': " + str_of(old.get());
    Error renamed = Error::lazy(PyExc_TypeError, std::move(message));
    Ref fresh = renamed.value();
    // Keep the original's cause, but do not chain the original itself: the new message already
    // says everything it said.
    if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(fresh.get(), cause);
    return renamed;
}

std::string to_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string str_of(PyObject* object) {
    PyObject* s = PyObject_Str(object);
    if (s == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    std::string text = to_utf8(s);
    Py_DECREF(s);
    return text;
}

std::string repr_of(PyObject* object) {
    PyObject* r = PyObject_Repr(object);
    if (r == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    std::string text = to_utf8(r);
    Py_DECREF(r);
    return text;
}

}  // namespace rastrel
