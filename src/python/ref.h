#pragma once
// The handles for interpreter objects, and the only place reference counts change: `Ref` owns
// one reference, `Borrowed` names an object that someone else keeps alive for as long as the
// handle is used (an argument of the current call, an item of a tuple being read).
#include <utility>

#include "python/gil.h"
#include "python/python.h"

namespace rastrel {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a reference the caller owns (for example a new reference returned by the API).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to an object the caller only borrows.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // May run on a thread that gave up the interpreter lock: the release is then queued.
    ~Ref() { release_reference(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference back to the caller, e.g. as a function's result.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    Ref clone() const noexcept { return borrow(object_); }
    void reset(PyObject* owned = nullptr) noexcept { release_reference(std::exchange(object_, owned)); }

    // Drops one reference at once. Interpreter lock held by this thread; used by the release
    // queue, which decides when that is the case.
    static void drop_now(PyObject* object) noexcept { Py_XDECREF(object); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr explicit Borrowed(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // A reference of our own, for keeping the object beyond what its lender guarantees.
    Ref own() const noexcept { return Ref::borrow(object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace rastrel
