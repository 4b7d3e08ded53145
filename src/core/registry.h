#pragma once
// The state behind the borrow table that extension modules share through a capsule on NumPy's
// multiarray module: which arrays are borrowed, shared (read) or exclusive (write), grouped by
// the buffer they live in. It never sees an interpreter object, so it builds and tests on its
// own; the Python-facing side fills an ArrayLayout from the array and calls in.
//
// Every member of BorrowRegistry is called with the interpreter lock held, by this module or by
// any other module that found our capsule; that lock is the registry's only protection.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace rastrel {

// What the registry needs to know of an array. The spans point into the array's own dimension
// and stride arrays (npy_intp is intptr_t), so filling one allocates nothing; it is valid only
// while the array is held and not reshaped in place.
struct ArrayLayout {
    const char* data = nullptr;
    std::span<const std::intptr_t> dims;     // never negative, as NumPy guarantees
    std::span<const std::intptr_t> strides;  // bytes, signed; as many as dims
    std::intptr_t item_size = 0;             // bytes
    bool writeable = false;
    // Resolved by the caller through the array's base chain, so that all views of one buffer
    // meet under one address and arrays with separate buffers never compare keys at all.
    const void* base = nullptr;
};

// The return codes of the shared table's acquire functions; other modules read them too.
inline constexpr int kBorrowGranted = 0;
inline constexpr int kBorrowAlreadyBorrowed = -1;
inline constexpr int kBorrowNotWriteable = -2;

// |x| as unsigned, so that the magnitude of INT64_MIN (2^63) does not overflow.
constexpr std::uint64_t magnitude(std::int64_t x) noexcept {
    return x < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
}

// Stein's binary gcd. gcd(x, 0) = gcd(0, x) = x.
std::uint64_t gcd(std::uint64_t a, std::uint64_t b) noexcept;

// What a borrowed array may touch: four words for its byte range and the grid of its items, and
// for arrays of one or two dimensions the index window itself. Two keys are equal only when they
// are equal field for field; unequal keys under one base are compared with conflicts().
struct BorrowKey {
    std::uintptr_t start = 0;  // lowest byte address reachable
    std::uintptr_t end = 0;    // one past the highest; start == end == data when a dimension is 0
    std::uintptr_t data = 0;
    // gcd of the byte strides folded from the first to the last: 1 for no dimension, the stride
    // itself (sign included) for one. Only its magnitude takes part in conflicts(); a fold that
    // reaches 2^63 wraps to INT64_MIN, whose magnitude is that same 2^63.
    std::int64_t gcd_strides = 1;

    // One pass over the dimensions. Address arithmetic wraps rather than overflowing, so a
    // nonsensical layout gives a nonsensical key, never undefined behaviour.
    static BorrowKey of(const ArrayLayout& array) noexcept;
    // True when this key is of(array), seen without the pass for one or two dimensions, whose
    // whole layout the key holds; false for any other number (whatever of(array) would give).
    bool describes(const ArrayLayout& array) const noexcept;

    // Item size in bytes. Two views of one buffer may lay their items out off each other's grid
    // (the upper halves of float32 items seen as uint16, uint16 views one byte apart); without
    // the item sizes such overlaps cannot be seen from the data pointers and strides alone.
    std::uintptr_t item_size = 0;

    // The shape and byte strides of an array of one or two dimensions (window_dims = 0 for any
    // other). Tiles of one raster (its column halves, its quarters) interleave in memory, so
    // their byte ranges overlap and the data pointers' distance is a multiple of the strides'
    // gcd: only their index windows tell them apart.
    std::uint32_t window_dims = 0;
    std::intptr_t dims[2] = {0, 0};
    std::intptr_t strides[2] = {0, 0};

    // Whether this (new) key may touch memory that `registered` touches. Never false when they
    // share a byte. Keys of the same strides and item size are first placed on one lattice of
    // items (see windows_overlap in the source); where that proves the answer, it is exact.
    // Otherwise index bounds play no part: items of either key start at its data pointer plus
    // multiples of g, the gcd of both keys' stride gcds, so two items can share a byte only if
    // some distance between their starts congruent to the data pointers' distance modulo g is
    // shorter than the item that starts first. For views whose pointers, strides and item sizes
    // share one grid this is exactly "the distance is divisible by g". When neither key has a
    // non-zero stride, each touches only the item at its data pointer and the distance is
    // compared directly.
    bool conflicts(const BorrowKey& registered) const noexcept;

    friend bool operator==(const BorrowKey&, const BorrowKey&) = default;
};

// A count above 0 is that many shared borrows of one key; -1 is one exclusive borrow. A count
// never stays 0 and a base never stays without keys.
using BorrowCount = std::intptr_t;

class BorrowRegistry {
public:
    // `shared_limit` caps the shared count of one key; only tests lower it, to reach the refusal
    // that otherwise needs 2^63 borrows.
    explicit BorrowRegistry(BorrowCount shared_limit = std::numeric_limits<BorrowCount>::max()) noexcept
        : shared_limit_(shared_limit) {}

    // kBorrowGranted or kBorrowAlreadyBorrowed. A refusal changes nothing. May throw
    // std::bad_alloc, and then also changes nothing.
    int acquire_shared(const ArrayLayout& array);
    // kBorrowNotWriteable before anything else is looked at, then as acquire_shared.
    int acquire_mut_shared(const ArrayLayout& array);

    // Each ends a borrow granted by the matching acquire on an unchanged layout. A release that
    // finds no such borrow (the array was reshaped in place while borrowed, or shared and
    // exclusive were mixed up) is ignored: taking anything else away would drop another
    // caller's borrow and let writers in under it.
    void release_shared(const ArrayLayout& array) noexcept;
    void release_mut_shared(const ArrayLayout& array) noexcept;

    // The same, for a caller that keeps an array's key from its acquire to its release: `key` is
    // BorrowKey::of(array) at the acquire, and at the release the key of the array's layout then
    // is that key while the array's layout has not changed (BorrowKey::describes), and otherwise
    // computed anew, so the rules above hold unchanged.
    int acquire_shared(const ArrayLayout& array, const BorrowKey& key);
    int acquire_mut_shared(const ArrayLayout& array, const BorrowKey& key);
    void release_shared(const ArrayLayout& array, const BorrowKey& key) noexcept;
    void release_mut_shared(const ArrayLayout& array, const BorrowKey& key) noexcept;

    bool empty() const noexcept { return entries_.empty(); }
    // Bases with at least one borrow.
    std::size_t size() const noexcept;
    std::size_t key_count(const void* base) const noexcept;
    // 0 when the key is not registered under `base`.
    BorrowCount count(const void* base, const BorrowKey& key) const noexcept;

private:
    struct Entry {
        const void* base;
        BorrowKey key;
        BorrowCount count;
    };

    // nullptr when `key` is not registered under `base`.
    Entry* find(const void* base, const BorrowKey& key) noexcept;
    const Entry* find(const void* base, const BorrowKey& key) const noexcept;
    // Whether any key under `base` that is exclusive (or any at all, when `exclusive_only` is
    // false) may touch what `key` touches.
    bool any_conflict(const void* base, const BorrowKey& key, bool exclusive_only) const noexcept;
    // Ends a shared (exclusive) borrow of `key`; ignored when there is none.
    void drop_shared(const void* base, const BorrowKey& key) noexcept;
    void drop_exclusive(const void* base, const BorrowKey& key) noexcept;
    void forget(Entry& entry) noexcept;

    // One flat list, scanned whole: borrows live only while a call runs, so it holds a few
    // entries per call in flight, and a call's three or four borrows then cost no allocation
    // once it has grown (two levels of hash maps allocated and freed nodes and buckets on every
    // call, most of a small call's time outside its kernel).
    std::vector<Entry> entries_;
    BorrowCount shared_limit_;
};

}  // namespace rastrel
