#pragma once
// Python exceptions as C++ values. A user's mistake is an Error: it carries the exception that
// the call will raise and is thrown up to the call boundary, which makes it the pending exception.
#include <string>

#include "python/python.h"
#include "python/ref.h"

namespace rastrel {

class Error {
public:
    // An exception of `type` whose constructor argument is `message`; built when raised.
    static Error lazy(PyObject* type, std::string message);
    // The same with the message already a Python str, for texts that need not be valid UTF-8
    // (a keyword name may hold lone surrogates).
    static Error lazy(PyObject* type, Ref message);
    // Takes the interpreter's pending exception. A pending PanicException is not an error: it is
    // reported on standard error and thrown on as a Fault with the same text.
    static Error fetch();

    // Makes this the interpreter's pending exception. Interpreter lock held.
    void restore() &&;
    // The exception's class (borrowed).
    PyObject* type() const noexcept { return type_.get(); }
    // The exception instance, built on first request (new reference).
    Ref value();
    // "PyErr { type: <repr>, value: <repr>, traceback: None | Some(<repr>) }"
    std::string render();

private:
    Error() = default;
    void normalize();
    [[noreturn]] void resume_panic();

    Ref type_;
    Ref value_;
    Ref traceback_;
    std::string message_;  // used while value_ is empty, unless message_object_ is set
    Ref message_object_;
};

// A failed API call that should have produced an object: prints the pending exception, then
// faults with "Python API call failed". Returns its argument when it is not null.
PyObject* check_api(PyObject* result);

[[noreturn]] void throw_pending();
[[noreturn]] void throw_error(PyObject* type, std::string message);

// "'{type}' object cannot be converted to '{target}'" as a TypeError.
Error conversion_error(PyObject* object, const char* target);
// Names the parameter in a TypeError; other exception classes pass unchanged.
Error argument_extraction_error(const char* parameter, Error error);

// Text helpers for messages. Never raise: a failing str()/repr() yields a placeholder.
std::string to_utf8(PyObject* text);
std::string str_of(PyObject* object);
std::string repr_of(PyObject* object);

}  // namespace rastrel
