#pragma once
// Borrows of NumPy arrays through the registry that the process shares with other extension
// modules: a shared borrow for every array a call reads, an exclusive one for the array it
// writes, held while the interpreter lock is released.
#include <cstddef>
#include <span>
#include <utility>
#include <variant>

#include "core/registry.h"
#include "python/inline_vector.h"
#include "python/python.h"
#include "python/ref.h"

namespace rastrel::borrow {

enum class BorrowError { AlreadyBorrowed, NotWriteable };

const char* name(BorrowError error) noexcept;

// What a granted borrow keeps for its release when the shared table is this module's own: the
// array's key, so that the release finds it without reading the array's whole layout again.
struct Ticket {
    bool kept = false;  // false: the release goes through the table like anyone's
    const void* base = nullptr;
    BorrowKey key;
};

// The protocol's four operations on the shared table, found (or created) on first use.
// Interpreter lock held. They fault with "Interal borrow checking API error: ..." when the
// table cannot be found. A release given the ticket its acquire filled ends the same borrow.
std::variant<std::monostate, BorrowError> acquire(PyObject* array, Ticket* ticket = nullptr);
std::variant<std::monostate, BorrowError> acquire_mut(PyObject* array, Ticket* ticket = nullptr);
void release(PyObject* array, const Ticket* ticket = nullptr);
void release_mut(PyObject* array, const Ticket* ticket = nullptr);

// Faults with "called `Result::unwrap()` on an `Err` value: <AlreadyBorrowed|NotWriteable>".
[[noreturn]] void refuse(BorrowError error);

// A borrow that owns a reference to its array and gives both back when it ends, so that every
// exit path of a call releases what it took. Move-only.
template <bool Exclusive>
class ArrayBorrow {
public:
    // Takes the borrow of `array`, or refuses it (refuse()).
    explicit ArrayBorrow(PyObject* array) {
        auto outcome = Exclusive ? acquire_mut(array, &ticket_) : acquire(array, &ticket_);
        if (auto* refused = std::get_if<BorrowError>(&outcome)) refuse(*refused);
        array_ = Ref::borrow(array);
    }

    ArrayBorrow(ArrayBorrow&& other) noexcept = default;
    ArrayBorrow& operator=(ArrayBorrow&&) = delete;
    ArrayBorrow(const ArrayBorrow&) = delete;
    ~ArrayBorrow() {
        if (!array_) return;
        if constexpr (Exclusive) {
            release_mut(array_.get(), &ticket_);
        } else {
            release(array_.get(), &ticket_);
        }
    }

    PyObject* get() const noexcept { return array_.get(); }

private:
    Ref array_;
    Ticket ticket_;
};

using PyReadonlyArray = ArrayBorrow<false>;
using PyReadwriteArray = ArrayBorrow<true>;

// The borrows the kernels and the executor take: a refusal faults (refuse()).
inline PyReadonlyArray readonly(PyObject* array) { return PyReadonlyArray(array); }
inline PyReadwriteArray readwrite(PyObject* array) { return PyReadwriteArray(array); }

// Shared borrows of a list of arrays, taken front to back and released in list order when the
// call ends (after any borrow declared later, such as the output's); a refusal part-way gives
// back those already taken.
class SharedBorrows {
public:
    explicit SharedBorrows(std::span<const Ref> arrays) {
        held_.reserve(arrays.size());
        for (const Ref& array : arrays) held_.emplace_back(array.get());
    }
    SharedBorrows(const SharedBorrows&) = delete;
    SharedBorrows& operator=(const SharedBorrows&) = delete;

private:
    // A few arrays' borrows in place: a small call costs about as much as its allocations.
    // Released front to back as the vector ends.
    InlineVector<PyReadonlyArray, 4> held_;
};

}  // namespace rastrel::borrow
