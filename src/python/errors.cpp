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
        Ref::steal(value).reset();
        Ref::steal(traceback).reset();
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Error error;
    error.type_ = Ref::steal(type);
    error.value_ = Ref::steal(value);
    error.traceback_ = Ref::steal(traceback);
    // PyPy reports "no traceback" as None rather than as a null pointer.
    if (error.traceback_.get() == Py_None) error.traceback_.reset();
    if (error.type_.get() == panic_exception_type()) error.resume_panic();
    return error;
}

// A fault that crossed Python code (e.g. raised through a callback) resumes as a fault.
void Error::resume_panic() {
    std::string text = "Unwrapped panic from Python code";
    if (Ref s = Ref::steal(PyObject_Str(value_.get()))) {
        text = to_utf8(s.get());
    } else {
        PyErr_Clear();
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    PyErr_PrintEx(0);
    throw Fault(text);
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
    const InterpreterLock lock;
    normalize();
    std::string text = "PyErr { type: " + repr_of(type_.get()) + ", value: " + repr_of(value_.get()) +
                       ", traceback: ";
    text += traceback_ ? "Some(" + repr_of(traceback_.get()) + ")" : std::string("None");
    text += " }";
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
    const Ref qualname =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname) {
        if (PyUnicode_Check(qualname.get())) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
                name.assign(utf8, static_cast<std::size_t>(size));
            } else {
                PyErr_Clear();
            }
        }
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

namespace {

std::string text_of(Ref text) {
    if (!text) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return to_utf8(text.get());
}

}  // namespace

std::string str_of(PyObject* object) { return text_of(Ref::steal(PyObject_Str(object))); }

std::string repr_of(PyObject* object) { return text_of(Ref::steal(PyObject_Repr(object))); }

}  // namespace rastrel
