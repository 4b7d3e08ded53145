#include "arrays/borrow.h"

#include <string>

#include "boundary/fault.h"

namespace rastrel::borrow {
namespace {

template <class Handle>
Handle unwrap(std::variant<Handle, BorrowError> outcome) {
    if (auto* refused = std::get_if<BorrowError>(&outcome)) {
        raise_fault(std::string("called `Result::unwrap()` on an `Err` value: ") + name(*refused));
    }
    return std::move(std::get<Handle>(outcome));
}

}  // namespace

const char* name(BorrowError error) noexcept {
    return error == BorrowError::AlreadyBorrowed ? "AlreadyBorrowed" : "NotWriteable";
}

PyReadonlyArray readonly(PyObject* array) { return unwrap(PyReadonlyArray::try_acquire(array)); }

PyReadwriteArray readwrite(PyObject* array) { return unwrap(PyReadwriteArray::try_acquire(array)); }

// Until the shared registry is wired in, every borrow is granted.
std::variant<std::monostate, BorrowError> acquire(PyObject*) { return std::monostate{}; }
std::variant<std::monostate, BorrowError> acquire_mut(PyObject*) { return std::monostate{}; }
void release(PyObject*) {}
void release_mut(PyObject*) {}

}  // namespace rastrel::borrow
