#pragma once
// Borrows of NumPy arrays through the registry that the process shares with other extension
// modules: a shared borrow for every array a call reads, an exclusive one for the array it
// writes, held while the interpreter lock is released.
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "python/python.h"
#include "python/ref.h"

namespace rastrel::borrow {

enum class BorrowError { AlreadyBorrowed, NotWriteable };

const char* name(BorrowError error) noexcept;

// The protocol's four operations on the shared table, found (or created) on first use.
// Interpreter lock held. They fault with "Interal borrow checking API error: ..." when the
// table cannot be found.
std::variant<std::monostate, BorrowError> acquire(PyObject* array);
std::variant<std::monostate, BorrowError> acquire_mut(PyObject* array);
void release(PyObject* array);
void release_mut(PyObject* array);

// A borrow that owns a reference to its array and gives both back when it ends, so that every
// exit path of a call releases what it took. Move-only.
template <bool Exclusive>
class ArrayBorrow {
public:
    static std::variant<ArrayBorrow, BorrowError> try_acquire(PyObject* array) {
        Ref held = Ref::borrow(array);
        auto outcome = Exclusive ? acquire_mut(array) : acquire(array);
        if (auto* refused = std::get_if<BorrowError>(&outcome)) return *refused;
        return ArrayBorrow(std::move(held));
    }

    ArrayBorrow(ArrayBorrow&& other) noexcept = default;
    ArrayBorrow& operator=(ArrayBorrow&&) = delete;
    ArrayBorrow(const ArrayBorrow&) = delete;
    ~ArrayBorrow() {
        if (!array_) return;
        if constexpr (Exclusive) {
            release_mut(array_.get());
        } else {
            release(array_.get());
        }
    }

    PyObject* get() const noexcept { return array_.get(); }

private:
    explicit ArrayBorrow(Ref array) noexcept : array_(std::move(array)) {}
    Ref array_;
};

using PyReadonlyArray = ArrayBorrow<false>;
using PyReadwriteArray = ArrayBorrow<true>;

// What the kernels and the executor do with a refusal: fault with
// "called `Result::unwrap()` on an `Err` value: <AlreadyBorrowed|NotWriteable>".
PyReadonlyArray readonly(PyObject* array);
PyReadwriteArray readwrite(PyObject* array);

// Shared borrows of a list of arrays, taken front to back and released in list order when the
// call ends (after any borrow declared later, such as the output's); a refusal part-way gives
// back those already taken.
class SharedBorrows {
public:
    explicit SharedBorrows(const std::vector<Ref>& arrays) {
        held_.reserve(arrays.size());
        for (const Ref& array : arrays) held_.emplace_back(readonly(array.get()));
    }
    ~SharedBorrows() {
        for (auto& array : held_) array.reset();
    }
    SharedBorrows(const SharedBorrows&) = delete;
    SharedBorrows& operator=(const SharedBorrows&) = delete;

private:
    std::vector<std::optional<PyReadonlyArray>> held_;
};

}  // namespace rastrel::borrow
