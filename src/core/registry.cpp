#include "core/registry.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

namespace rastrel {

std::uint64_t gcd(std::uint64_t a, std::uint64_t b) noexcept {
    if (a == 0) return b;
    if (b == 0) return a;
    // The common power of two is set aside once; every later subtraction is of two odd numbers.
    const int shift = std::countr_zero(a | b);
    a >>= std::countr_zero(a);
    do {
        b >>= std::countr_zero(b);
        if (a > b) std::swap(a, b);
        b -= a;
    } while (b != 0);
    return a << shift;
}

BorrowKey BorrowKey::of(const ArrayLayout& array) noexcept {
    const auto d = reinterpret_cast<std::uintptr_t>(array.data);
    BorrowKey key{d, d, d, 1};
    // A 0-d array still holds one item: only a zero-length dimension makes the range empty.
    bool empty = false;
    // Unsigned sums: the negative extents wrap below d exactly as signed ones would, without
    // the undefined behaviour of a signed overflow on a corrupt layout.
    std::uintptr_t below = 0;
    std::uintptr_t above = 0;
    for (std::size_t i = 0; i < array.dims.size(); ++i) {
        const std::intptr_t n = array.dims[i];
        const std::intptr_t s = array.strides[i];
        if (n == 0) {
            empty = true;
        } else {
            const auto extent = static_cast<std::uintptr_t>(n - 1) * static_cast<std::uintptr_t>(s);
            (s < 0 && n > 1 ? below : above) += extent;
        }
        key.gcd_strides = i == 0 ? std::int64_t{s}
                                 : static_cast<std::int64_t>(gcd(magnitude(key.gcd_strides), magnitude(s)));
    }
    if (!empty) {
        key.start = d + below;
        key.end = d + above + static_cast<std::uintptr_t>(array.item_size);
    }
    key.item_size = static_cast<std::uintptr_t>(array.item_size);
    // Field by field: as a loop the compiler made this two calls of memcpy, about half the
    // key's cost.
    if (array.dims.size() == 1 || array.dims.size() == 2) {
        key.window_dims = static_cast<std::uint32_t>(array.dims.size());
        key.dims[0] = array.dims[0];
        key.strides[0] = array.strides[0];
        if (array.dims.size() == 2) {
            key.dims[1] = array.dims[1];
            key.strides[1] = array.strides[1];
        }
    }
    return key;
}

bool BorrowKey::describes(const ArrayLayout& array) const noexcept {
    const std::size_t n = array.dims.size();
    return (n == 1 || n == 2) && window_dims == n && data == reinterpret_cast<std::uintptr_t>(array.data) &&
           item_size == static_cast<std::uintptr_t>(array.item_size) && dims[0] == array.dims[0] &&
           strides[0] == array.strides[0] && (n == 1 || (dims[1] == array.dims[1] && strides[1] == array.strides[1]));
}

namespace {

using Wide = __int128;

constexpr Wide wide_abs(Wide x) noexcept { return x < 0 ? -x : x; }

constexpr Wide floor_div(Wide a, Wide b) noexcept {
    const Wide q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Whether index ranges [0, n) and [at, at + m) meet.
constexpr bool ranges_meet(Wide n, Wide at, Wide m) noexcept { return at < n && 0 < at + m; }

// Keys k and o with the same strides and item size e address the items of one lattice: writing
// the distance of their data pointers as i steps of the outer stride and j of the inner (the
// smaller in magnitude), o's window is k's moved by (i, j). Take the smallest box of lattice
// positions that holds both windows, W positions wide. If the inner stride is at least e and
// the outer one at least (W - 1) inner strides plus e, no two positions of the box share a byte
// (same row: at least one inner stride apart; rows apart: at least the outer stride less W - 1
// inner ones), so k and o share bytes exactly where their windows meet. Any (i, j) for which
// this holds proves the answer; for tiles of one raster, i is the quotient of the distance by
// the outer stride, rounded down or up. No answer (nullopt) when nothing is proven.
std::optional<bool> windows_overlap(const BorrowKey& k, const BorrowKey& o) noexcept {
    if (k.window_dims == 0 || k.window_dims != o.window_dims || k.item_size != o.item_size) return std::nullopt;
    for (std::uint32_t a = 0; a < k.window_dims; ++a) {
        if (k.strides[a] != o.strides[a] || k.dims[a] == 0 || o.dims[a] == 0) return std::nullopt;
    }
    const Wide e = static_cast<Wide>(k.item_size);
    const Wide distance = static_cast<Wide>(o.data) - static_cast<Wide>(k.data);
    const std::uint32_t in = k.window_dims == 1 || wide_abs(k.strides[0]) < wide_abs(k.strides[1]) ? 0 : 1;
    const Wide s_in = k.strides[in];
    if (e == 0 || wide_abs(s_in) < e) return std::nullopt;
    if (k.window_dims == 1) {
        if (distance % s_in != 0) return std::nullopt;
        return ranges_meet(k.dims[0], distance / s_in, o.dims[0]);
    }
    const std::uint32_t out = 1 - in;
    const Wide s_out = k.strides[out];
    // Rows must hold at least one inner stride plus an item; equal magnitudes never do.
    if (wide_abs(s_out) <= wide_abs(s_in)) return std::nullopt;
    const Wide widest = (wide_abs(s_out) - e) / wide_abs(s_in) + 1;
    const Wide first = floor_div(distance, s_out);
    for (const Wide i : {first, first + 1}) {
        const Wide rest = distance - i * s_out;
        if (rest % s_in != 0) continue;
        const Wide j = rest / s_in;
        const Wide width = std::max<Wide>(k.dims[in], j + o.dims[in]) - std::min<Wide>(0, j);
        if (width > widest) continue;
        return ranges_meet(k.dims[out], i, o.dims[out]) && ranges_meet(k.dims[in], j, o.dims[in]);
    }
    return std::nullopt;
}

}  // namespace

bool BorrowKey::conflicts(const BorrowKey& registered) const noexcept {
    if (registered.start >= end || start >= registered.end) return false;
    if (const std::optional<bool> meet = windows_overlap(*this, registered)) return *meet;
    const std::uint64_t g = gcd(magnitude(gcd_strides), magnitude(registered.gcd_strides));
    // r: the distance from a registered item's start to one of ours, reduced modulo g into [0, g).
    // Ours overlaps the registered item at r if r < its size, or the next of ours, g - r before
    // it, if g - r < our size.
    const bool ahead = data >= registered.data;
    const std::uintptr_t distance = ahead ? data - registered.data : registered.data - data;
    if (g == 0) return ahead ? distance < registered.item_size : distance < item_size;
    const std::uint64_t r = ahead ? distance % g : (g - distance % g) % g;
    return r < registered.item_size || g - r < item_size;
}

BorrowRegistry::Entry* BorrowRegistry::find(const void* base, const BorrowKey& key) noexcept {
    for (Entry& entry : entries_) {
        if (entry.base == base && entry.key == key) return &entry;
    }
    return nullptr;
}

const BorrowRegistry::Entry* BorrowRegistry::find(const void* base, const BorrowKey& key) const noexcept {
    return const_cast<BorrowRegistry*>(this)->find(base, key);
}

bool BorrowRegistry::any_conflict(const void* base, const BorrowKey& key, bool exclusive_only) const noexcept {
    for (const Entry& entry : entries_) {
        if (entry.base == base && (!exclusive_only || entry.count < 0) && key.conflicts(entry.key)) return true;
    }
    return false;
}

int BorrowRegistry::acquire_shared(const ArrayLayout& array) { return acquire_shared(array, BorrowKey::of(array)); }

int BorrowRegistry::acquire_mut_shared(const ArrayLayout& array) {
    return acquire_mut_shared(array, BorrowKey::of(array));
}

void BorrowRegistry::release_shared(const ArrayLayout& array) noexcept {
    drop_shared(array.base, BorrowKey::of(array));
}

void BorrowRegistry::release_mut_shared(const ArrayLayout& array) noexcept {
    drop_exclusive(array.base, BorrowKey::of(array));
}

int BorrowRegistry::acquire_shared(const ArrayLayout& array, const BorrowKey& key) {
    if (Entry* same = find(array.base, key)) {
        if (same->count < 0 || same->count >= shared_limit_) return kBorrowAlreadyBorrowed;
        ++same->count;
        return kBorrowGranted;
    }
    // Readers never exclude readers: only exclusive keys are worth the comparison.
    if (any_conflict(array.base, key, true)) return kBorrowAlreadyBorrowed;
    entries_.push_back({array.base, key, 1});
    return kBorrowGranted;
}

int BorrowRegistry::acquire_mut_shared(const ArrayLayout& array, const BorrowKey& key) {
    if (!array.writeable) return kBorrowNotWriteable;
    if (find(array.base, key) != nullptr || any_conflict(array.base, key, false)) return kBorrowAlreadyBorrowed;
    entries_.push_back({array.base, key, -1});
    return kBorrowGranted;
}

void BorrowRegistry::release_shared(const ArrayLayout& array, const BorrowKey& key) noexcept {
    if (!key.describes(array)) return release_shared(array);
    drop_shared(array.base, key);
}

void BorrowRegistry::release_mut_shared(const ArrayLayout& array, const BorrowKey& key) noexcept {
    if (!key.describes(array)) return release_mut_shared(array);
    drop_exclusive(array.base, key);
}

void BorrowRegistry::drop_shared(const void* base, const BorrowKey& key) noexcept {
    Entry* entry = find(base, key);
    if (entry == nullptr || entry->count <= 0) return;
    if (--entry->count == 0) forget(*entry);
}

void BorrowRegistry::drop_exclusive(const void* base, const BorrowKey& key) noexcept {
    Entry* entry = find(base, key);
    if (entry == nullptr || entry->count != -1) return;
    forget(*entry);
}

void BorrowRegistry::forget(Entry& entry) noexcept {
    entry = entries_.back();
    entries_.pop_back();
}

std::size_t BorrowRegistry::size() const noexcept {
    std::size_t bases = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto first = std::find_if(entries_.begin(), entries_.end(),
                                        [&](const Entry& e) { return e.base == entries_[i].base; });
        if (first == entries_.begin() + static_cast<std::ptrdiff_t>(i)) ++bases;
    }
    return bases;
}

std::size_t BorrowRegistry::key_count(const void* base) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.base == base; }));
}

BorrowCount BorrowRegistry::count(const void* base, const BorrowKey& key) const noexcept {
    const Entry* entry = find(base, key);
    return entry == nullptr ? 0 : entry->count;
}

}  // namespace rastrel
