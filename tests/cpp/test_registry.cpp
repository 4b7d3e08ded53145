// The borrow registry on its own: keys, the conflict rule, the acquire and release rules, and a
// randomized comparison with a brute-force model that knows every byte each view touches.
#include "core/registry.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "check.h"

using namespace rastrel;

namespace {

// An array as NumPy holds one: it owns its dims and strides, and the layout points into them.
struct Array {
    const char* data;
    std::vector<std::intptr_t> dims;
    std::vector<std::intptr_t> strides;
    std::intptr_t item_size;
    const void* base;
    bool writeable = true;

    ArrayLayout layout() const { return {data, dims, strides, item_size, writeable, base}; }
    BorrowKey key() const { return BorrowKey::of(layout()); }
};

Array c_order(const char* buffer, std::vector<std::intptr_t> dims, std::intptr_t item_size) {
    std::vector<std::intptr_t> strides(dims.size());
    std::intptr_t s = item_size;
    for (std::size_t i = dims.size(); i-- > 0;) {
        strides[i] = s;
        s *= dims[i];
    }
    return {buffer, std::move(dims), std::move(strides), item_size, buffer};
}

Array f_order(const char* buffer, std::vector<std::intptr_t> dims, std::intptr_t item_size) {
    Array a = c_order(buffer, {dims.rbegin(), dims.rend()}, item_size);
    std::reverse(a.dims.begin(), a.dims.end());
    std::reverse(a.strides.begin(), a.strides.end());
    return a;
}

// `count` elements of one axis from index `start` on, `step` apart (NumPy's a[start::step] with
// the bounds already worked out).
Array slice(Array a, std::size_t axis, std::intptr_t start, std::intptr_t count, std::intptr_t step) {
    a.data += start * a.strides[axis];
    a.dims[axis] = count;
    a.strides[axis] *= step;
    return a;
}

Array transposed(Array a) {
    std::reverse(a.dims.begin(), a.dims.end());
    std::reverse(a.strides.begin(), a.strides.end());
    return a;
}

// NumPy's a.view(dtype) for a last axis that is contiguous.
Array viewed_as(Array a, std::intptr_t item_size) {
    a.dims.back() = a.dims.back() * a.item_size / item_size;
    a.strides.back() = item_size;
    a.item_size = item_size;
    return a;
}

Array raw(const char* data, std::vector<std::intptr_t> dims, std::vector<std::intptr_t> strides,
          std::intptr_t item_size, const void* base) {
    return {data, std::move(dims), std::move(strides), item_size, base};
}

alignas(64) char buffer_x[4096];
alignas(64) char buffer_y[4096];
const char* const X = buffer_x;

std::intptr_t offset(std::uintptr_t address) {
    return static_cast<std::intptr_t>(address - reinterpret_cast<std::uintptr_t>(X));
}

void test_keys() {
    const Array a = c_order(X, {3, 4}, 2);
    struct Row {
        const char* name;
        Array array;
        std::intptr_t start, end, data;
        std::int64_t gcd_strides;
    };
    const Row rows[] = {
        {"C order", a, 0, 24, 0, 2},
        {"F order", f_order(X, {3, 4}, 2), 0, 24, 0, 2},
        {"float32", c_order(X, {3, 4}, 4), 0, 48, 0, 4},
        {"rows reversed", slice(a, 0, 2, 3, -1), 0, 24, 16, 2},
        {"both axes reversed", slice(slice(a, 0, 2, 3, -1), 1, 3, 4, -1), 0, 24, 22, 2},
        {"odd columns backwards", slice(a, 1, 3, 2, -2), 2, 24, 6, 4},
        {"transposed", transposed(a), 0, 24, 0, 2},
        {"broadcast rows", raw(X, {3, 4}, {0, 2}, 2, X), 0, 8, 0, 2},
        {"all strides zero", raw(X + 8, {3, 4}, {0, 0}, 4, X), 8, 12, 8, 0},
        {"no rows", slice(a, 0, 1, 0, 1), 8, 8, 8, 2},
        {"no columns, rows reversed", slice(slice(a, 0, 2, 3, -1), 1, 0, 0, 1), 16, 16, 16, 2},
        {"no dimensions: still one item", raw(X + 6, {}, {}, 4, X), 6, 10, 6, 1},
        {"1-D backwards keeps its sign", raw(X + 8, {5}, {-2}, 2, X), 0, 10, 8, -2},
        {"one element, negative stride", raw(X + 4, {1}, {-6}, 2, X), 4, 6, 4, -6},
        {"3-D mixed signs", raw(X + 100, {2, 3, 4}, {-48, 16, -4}, 4, X), 40, 136, 100, 4},
        {"gcd folds over all axes", raw(X, {2, 2, 2}, {12, 18, 8}, 2, X), 0, 40, 0, 2},
        {"gcd of 2^63 wraps", raw(X, {1, 1}, {INT64_MIN, 0}, 2, X), 0, 2, 0, INT64_MIN},
    };
    for (const Row& row : rows) {
        const BorrowKey key = row.array.key();
        CHECK_EQ(offset(key.start), row.start, row.name);
        CHECK_EQ(offset(key.end), row.end, row.name);
        CHECK_EQ(offset(key.data), row.data, row.name);
        CHECK_EQ(key.gcd_strides, row.gcd_strides, row.name);
    }
}

void test_gcd() {
    constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
    constexpr std::uint64_t kMersenne61 = (std::uint64_t{1} << 61) - 1;  // prime
    struct Row {
        std::uint64_t a, b, gcd;
    };
    const Row rows[] = {
        {0, 0, 0},
        {7, 0, 7},
        {0, 7, 7},
        {12, 18, 6},
        {18, 12, 6},
        {1, ~std::uint64_t{0}, 1},
        {kTop, kTop >> 1, kTop >> 1},
        {kTop, 0, kTop},
        {kTop, 3, 1},
        {kMersenne61 * 3, kMersenne61 * 5, kMersenne61},
        {kMersenne61 * 4, kMersenne61 * 6, kMersenne61 * 2},
        {~std::uint64_t{0}, ~std::uint64_t{0} - 1, 1},
    };
    for (const Row& row : rows) CHECK_EQ(gcd(row.a, row.b), row.gcd, row.a << ", " << row.b);

    CHECK_EQ(magnitude(-12), 12u, "negative");
    CHECK_EQ(magnitude(INT64_MIN), kTop, "INT64_MIN");
    CHECK_EQ(gcd(magnitude(-12), magnitude(18)), 6u, "signs do not matter");

    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t a = (rng() >> (rng() % 64)) << (rng() % 8);
        const std::uint64_t b = (rng() >> (rng() % 64)) << (rng() % 8);
        CHECK_EQ(gcd(a, b), std::gcd(a, b), a << ", " << b);
    }
}

void test_conflicts() {
    const Array a = c_order(X, {4, 4}, 2);
    const Array f = c_order(X, {4, 4}, 4);
    const Array empty_at_row_2 = slice(a, 0, 2, 0, 1);
    const Array bytes = c_order(X, {64}, 1);
    const Array g = c_order(X, {8, 8}, 4);
    const auto window = [&g](std::intptr_t row, std::intptr_t col, std::intptr_t rows, std::intptr_t cols) {
        return slice(slice(g, 0, row, rows, 1), 1, col, cols, 1);
    };
    const auto quarter = [&window](std::intptr_t row, std::intptr_t col) { return window(row, col, 4, 4); };
    struct Row {
        const char* name;
        Array key, registered;
        bool conflict;
    };
    const Row rows[] = {
        {"same array", a, a, true},
        {"disjoint halves of the rows", slice(a, 0, 0, 2, 1), slice(a, 0, 2, 2, 1), false},
        {"even and odd columns", slice(a, 1, 0, 2, 2), slice(a, 1, 1, 2, 2), false},
        {"even columns shifted by two", slice(a, 1, 0, 2, 2), slice(a, 1, 2, 1, 2), true},
        {"same data, different strides", a, transposed(a), true},
        {"every other row of the same data", a, slice(a, 0, 0, 2, 2), true},
        {"uint16 view of a float32 buffer", viewed_as(f, 2), f, true},
        {"uint16 view from the second half-word", slice(viewed_as(f, 2), 1, 1, 7, 1), f, true},
        {"broadcast items that overlap", raw(X, {3}, {0}, 4, X), raw(X + 2, {5}, {0}, 4, X), true},
        {"broadcast items side by side", raw(X, {3}, {0}, 4, X), raw(X + 4, {5}, {0}, 4, X), false},
        {"broadcast item between strided items", raw(X + 2, {3}, {0}, 2, X), raw(X, {8}, {4}, 2, X), false},
        {"empty range where the other ends", empty_at_row_2, slice(a, 0, 0, 2, 1), false},
        {"empty range where the other starts", empty_at_row_2, slice(a, 0, 2, 2, 1), false},
        {"empty range inside the other", empty_at_row_2, a, true},
        {"no dimensions, inside the other", raw(X + 10, {}, {}, 2, X), a, true},
        // Items off each other's grid: the data pointers' distance is not a multiple of the
        // stride gcd, yet the items share bytes.
        {"upper half-words of float32 items", slice(viewed_as(f, 2), 1, 1, 4, 2), f, true},
        {"uint16 views one byte apart", viewed_as(slice(bytes, 0, 1, 8, 1), 2), viewed_as(slice(bytes, 0, 0, 8, 1), 2),
         true},
        {"uint16 items between float32 items", raw(X + 4, {4}, {8}, 2, X), raw(X, {4}, {8}, 4, X), false},
        // Windows of one raster: told apart by their index windows.
        {"left and right column halves", slice(g, 1, 0, 4, 1), slice(g, 1, 4, 4, 1), false},
        {"top-left and bottom-right quarters", quarter(0, 0), quarter(4, 4), false},
        {"top-right and bottom-left quarters", quarter(0, 4), quarter(4, 0), false},
        {"quarters side by side", quarter(4, 0), quarter(4, 4), false},
        {"overlapping windows", window(0, 1, 4, 5), window(3, 5, 4, 3), true},
        {"windows sharing a corner item", window(0, 0, 4, 4), window(3, 3, 4, 4), true},
        {"column halves of the transposed raster", slice(transposed(g), 1, 0, 4, 1), slice(transposed(g), 1, 4, 4, 1),
         false},
        {"column halves of every other row, backwards", slice(slice(g, 0, 7, 4, -2), 1, 0, 3, 1),
         slice(slice(g, 0, 7, 4, -2), 1, 3, 5, 1), false},
        {"even rows left, odd rows right", slice(slice(g, 0, 0, 4, 2), 1, 0, 8, 1),
         slice(slice(g, 0, 1, 4, 2), 1, 2, 5, 1), false},
        // Rows closer than their width: windows alone cannot tell, and the byte grid decides.
        {"rows that overlap each other", raw(X, {2, 3}, {8, 4}, 4, X), raw(X + 16, {2, 3}, {8, 4}, 4, X), true},
        {"1-D windows apart", raw(X, {3}, {8}, 2, X), raw(X + 24, {3}, {8}, 2, X), false},
        {"1-D windows meeting", raw(X, {3}, {8}, 2, X), raw(X + 16, {3}, {8}, 2, X), true},
    };
    for (const Row& row : rows) {
        CHECK_MSG(row.key.key().conflicts(row.registered.key()) == row.conflict, row.name);
        CHECK_MSG(row.registered.key().conflicts(row.key.key()) == row.conflict, row.name << " (swapped)");
    }
}

// Everything a refusal must leave alone, and what it must look like afterwards.
struct Snapshot {
    std::size_t size;
    std::size_t keys;
    BorrowCount count;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const BorrowRegistry& r, const Array& a) {
    return {r.size(), r.key_count(a.base), r.count(a.base, a.key())};
}

// Views of one 4x4 uint16 buffer.
struct Views {
    Array a = c_order(X, {4, 4}, 2);
    Array top = slice(a, 0, 0, 2, 1);
    Array bottom = slice(a, 0, 2, 2, 1);
    Array even = slice(a, 1, 0, 2, 2);
    Array odd = slice(a, 1, 1, 2, 2);
    Array read_only = [this] {
        Array r = a;
        r.writeable = false;
        return r;
    }();
};

// One borrow held, a second asked for: the answer, and nothing changed by a refusal.
void test_second_borrow() {
    const auto [a, top, bottom, even, odd, read_only] = Views{};
    struct Row {
        const char* name;
        Array held;
        bool held_exclusive;
        Array asked;
        bool asked_exclusive;
        int expected;
    };
    const Row rows[] = {
        {"output that is also an input", a, false, a, true, kBorrowAlreadyBorrowed},
        {"output overlapping an input", top, false, a, true, kBorrowAlreadyBorrowed},
        {"input equal to the output", a, true, a, false, kBorrowAlreadyBorrowed},
        {"input inside the output", a, true, top, false, kBorrowAlreadyBorrowed},
        {"two outputs of one array", a, true, a, true, kBorrowAlreadyBorrowed},
        {"read-only output while read", a, false, read_only, true, kBorrowNotWriteable},
        {"read-only output while written", a, true, read_only, true, kBorrowNotWriteable},
        {"overlapping inputs", top, false, a, false, kBorrowGranted},
        {"disjoint halves", top, false, bottom, true, kBorrowGranted},
        {"disjoint halves, written first", top, true, bottom, false, kBorrowGranted},
        {"even and odd columns", even, false, odd, true, kBorrowGranted},
        {"separate buffers", a, true, c_order(buffer_y, {4, 4}, 2), true, kBorrowGranted},
    };
    for (const Row& row : rows) {
        BorrowRegistry r;
        const auto acquire = [&r](const Array& x, bool exclusive) {
            return exclusive ? r.acquire_mut_shared(x.layout()) : r.acquire_shared(x.layout());
        };
        const auto release = [&r](const Array& x, bool exclusive) {
            exclusive ? r.release_mut_shared(x.layout()) : r.release_shared(x.layout());
        };
        CHECK_MSG(acquire(row.held, row.held_exclusive) == kBorrowGranted, row.name);
        const Snapshot held = snapshot(r, row.held);
        const Snapshot asked = snapshot(r, row.asked);
        CHECK_EQ(acquire(row.asked, row.asked_exclusive), row.expected, row.name);
        if (row.expected == kBorrowGranted) release(row.asked, row.asked_exclusive);
        // A refusal changes nothing, and a grant released again leaves what was there.
        CHECK_MSG(snapshot(r, row.held) == held && snapshot(r, row.asked) == asked, row.name);
        release(row.held, row.held_exclusive);
        CHECK_MSG(r.empty(), row.name);
        // A retry after the refusal finds nothing left behind.
        CHECK_MSG(row.asked.writeable == (acquire(row.asked, row.asked_exclusive) == kBorrowGranted), row.name);
    }
}

void test_counts_and_removal() {
    const auto [a, top, bottom, even, odd, read_only] = Views{};
    {  // The same array twice as an input.
        BorrowRegistry r;
        CHECK(r.acquire_shared(a.layout()) == kBorrowGranted);
        CHECK(r.acquire_shared(a.layout()) == kBorrowGranted);
        CHECK((snapshot(r, a) == Snapshot{1, 1, 2}));
        r.release_shared(a.layout());
        CHECK((snapshot(r, a) == Snapshot{1, 1, 1}));
        r.release_shared(a.layout());
        CHECK(r.empty());
    }
    {  // A read-only array is refused before the registry is looked at, even when empty.
        BorrowRegistry r;
        CHECK(r.acquire_mut_shared(read_only.layout()) == kBorrowNotWriteable);
        CHECK(r.empty());
    }
    {  // Shared counts stop below the limit instead of wrapping.
        BorrowRegistry r(3);
        for (int i = 0; i < 3; ++i) CHECK(r.acquire_shared(a.layout()) == kBorrowGranted);
        CHECK(r.acquire_shared(a.layout()) == kBorrowAlreadyBorrowed);
        CHECK(r.count(a.base, a.key()) == 3);
        r.release_shared(a.layout());
        CHECK(r.acquire_shared(a.layout()) == kBorrowGranted);
        CHECK(r.count(a.base, a.key()) == 3);
    }
    {  // Entries go with their last borrow, the base with its last entry.
        BorrowRegistry r;
        CHECK(r.acquire_shared(top.layout()) == kBorrowGranted);
        CHECK(r.acquire_mut_shared(bottom.layout()) == kBorrowGranted);
        CHECK((snapshot(r, a) == Snapshot{1, 2, 0}));
        r.release_mut_shared(bottom.layout());
        CHECK((snapshot(r, top) == Snapshot{1, 1, 1}));
        r.release_shared(top.layout());
        CHECK(r.empty());
    }
    {  // Releases that match no borrow change nothing.
        BorrowRegistry r;
        r.release_shared(a.layout());
        r.release_mut_shared(a.layout());
        CHECK(r.empty());
        CHECK(r.acquire_shared(top.layout()) == kBorrowGranted);
        CHECK(r.acquire_mut_shared(bottom.layout()) == kBorrowGranted);
        r.release_mut_shared(top.layout());       // shared, not exclusive
        r.release_shared(bottom.layout());        // exclusive, not shared
        r.release_shared(even.layout());          // never borrowed
        Array reshaped = top;                     // grown in place while borrowed
        reshaped.dims = {4, 4};
        r.release_shared(reshaped.layout());
        CHECK(r.count(top.base, top.key()) == 1);
        CHECK(r.count(bottom.base, bottom.key()) == -1);
        r.release_shared(top.layout());
        r.release_mut_shared(bottom.layout());
        CHECK(r.empty());
    }
    {  // A key kept from the acquire ends its borrow while the layout is unchanged; once the
       // array is reshaped or retyped in place, the release is one by its layout then (nothing).
        BorrowRegistry r;
        const Array cube = c_order(buffer_y, {2, 3, 4}, 2);
        CHECK(r.acquire_shared(top.layout(), top.key()) == kBorrowGranted);
        CHECK(r.acquire_mut_shared(bottom.layout(), bottom.key()) == kBorrowGranted);
        CHECK(r.acquire_shared(cube.layout(), cube.key()) == kBorrowGranted);
        Array reshaped = top;
        reshaped.dims = {4, 4};
        r.release_shared(reshaped.layout(), top.key());
        r.release_mut_shared(viewed_as(bottom, 1).layout(), bottom.key());
        CHECK(r.count(top.base, top.key()) == 1);
        CHECK(r.count(bottom.base, bottom.key()) == -1);
        r.release_shared(top.layout(), top.key());
        r.release_mut_shared(bottom.layout(), bottom.key());
        r.release_shared(cube.layout(), cube.key());
        CHECK(r.empty());
    }
}

// ---- Randomized comparison with a brute-force model ----

constexpr std::size_t kPoolBytes = 1024;
alignas(64) char pool[2][kPoolBytes];

struct ModelView {
    Array array;
    std::bitset<kPoolBytes> touched;  // every byte any element covers
    BorrowKey key;                    // worked out from the touched elements, not the formula
};

std::int64_t model_gcd(const std::vector<std::intptr_t>& strides) {
    if (strides.size() == 1) return strides[0];
    std::int64_t g = strides.empty() ? 1 : 0;
    for (std::intptr_t s : strides) g = std::gcd(g, std::int64_t{s});
    return g;
}

ModelView model_view(const Array& a) {
    ModelView v{a, {}, {}};
    const auto d = reinterpret_cast<std::uintptr_t>(a.data);
    const auto start_of_pool = reinterpret_cast<std::uintptr_t>(a.base);
    std::uintptr_t low = UINTPTR_MAX, high = 0;
    std::vector<std::intptr_t> index(a.dims.size(), 0);
    const bool empty = std::find(a.dims.begin(), a.dims.end(), 0) != a.dims.end();
    while (!empty) {
        std::uintptr_t address = d;
        for (std::size_t i = 0; i < index.size(); ++i) address += index[i] * a.strides[i];
        low = std::min(low, address);
        high = std::max(high, address);
        for (std::intptr_t b = 0; b < a.item_size; ++b) v.touched.set(address + b - start_of_pool);
        std::size_t axis = index.size();
        while (axis > 0 && ++index[axis - 1] == a.dims[axis - 1]) index[--axis] = 0;
        if (axis == 0) break;
    }
    v.key = empty ? BorrowKey{d, d, d, 0} : BorrowKey{low, high + a.item_size, d, 0};
    v.key.gcd_strides = model_gcd(a.strides);
    v.key.item_size = static_cast<std::uintptr_t>(a.item_size);
    if (a.dims.size() == 1 || a.dims.size() == 2) {
        v.key.window_dims = static_cast<std::uint32_t>(a.dims.size());
        std::copy(a.dims.begin(), a.dims.end(), v.key.dims);
        std::copy(a.strides.begin(), a.strides.end(), v.key.strides);
    }
    return v;
}

// The rule without index windows, restated by brute force from the keys' own fields: is there an
// item start of k and one of o, each on its own data pointer's grid of the common stride gcd,
// whose items overlap?
bool model_rule(const BorrowKey& k, const BorrowKey& o) {
    if (o.start >= k.end || k.start >= o.end) return false;
    const auto g = static_cast<std::int64_t>(std::gcd(k.gcd_strides, o.gcd_strides));
    const auto delta = static_cast<std::int64_t>(k.data - o.data);
    const auto ek = static_cast<std::int64_t>(k.item_size), eo = static_cast<std::int64_t>(o.item_size);
    if (g == 0) return -ek < delta && delta < eo;
    for (std::int64_t v = delta - g * (delta / g) - 2 * g; v <= 2 * g; v += g) {
        if (-ek < v && v < eo) return true;
    }
    return false;
}

Array random_view(std::mt19937_64& rng) {
    const auto pick = [&rng](std::intptr_t lo, std::intptr_t hi) {
        return std::uniform_int_distribution<std::intptr_t>(lo, hi)(rng);
    };
    const std::size_t buffer = static_cast<std::size_t>(pick(0, 1));
    const std::intptr_t item = pick(0, 1) ? 4 : 2;
    std::vector<std::intptr_t> dims(static_cast<std::size_t>(pick(1, 3)));
    for (auto& n : dims) n = pick(1, 5);
    const char* data = pool[buffer] + 2 * pick(0, 32);
    Array a = pick(0, 1) ? c_order(data, dims, item) : f_order(data, dims, item);
    a.base = pool[buffer];
    for (std::intptr_t ops = pick(0, 4); ops > 0; --ops) {
        const auto axis = static_cast<std::size_t>(pick(0, static_cast<std::intptr_t>(a.dims.size()) - 1));
        const std::intptr_t n = a.dims[axis];
        switch (pick(0, 4)) {
        case 0:
        case 1: {  // a[start:stop:step] on one axis, backwards too
            if (n == 0) break;
            const std::intptr_t step = pick(1, 3) * (pick(0, 1) ? 1 : -1);
            const std::intptr_t start = pick(0, n - 1);
            const std::intptr_t room = step > 0 ? n - start : start + 1;
            a = slice(a, axis, start, pick(0, (room + std::abs(step) - 1) / std::abs(step)), step);
            break;
        }
        case 2: {  // the axes in another order
            std::vector<std::size_t> order(a.dims.size());
            std::iota(order.begin(), order.end(), std::size_t{0});
            std::shuffle(order.begin(), order.end(), rng);
            const Array before = a;
            for (std::size_t i = 0; i < order.size(); ++i) {
                a.dims[i] = before.dims[order[i]];
                a.strides[i] = before.strides[order[i]];
            }
            break;
        }
        case 3:  // broadcast along a new axis
            if (a.dims.size() < 4) {
                a.dims.insert(a.dims.begin() + static_cast<std::ptrdiff_t>(axis), pick(1, 3));
                a.strides.insert(a.strides.begin() + static_cast<std::ptrdiff_t>(axis), 0);
            }
            break;
        case 4:  // reinterpret the items of a contiguous last axis
            if (a.strides.back() == a.item_size && (a.item_size == 4 || a.dims.back() % 2 == 0)) {
                a = viewed_as(a, a.item_size == 4 ? 2 : 4);
            }
            break;
        }
    }
    a.writeable = pick(0, 6) != 0;
    return a;
}

struct Active {
    std::size_t view;
    bool exclusive;
};

int model_acquire(const std::vector<ModelView>& views, const std::vector<Active>& active, std::size_t v,
                  bool exclusive, BorrowCount limit) {
    const ModelView& asked = views[v];
    if (exclusive && !asked.array.writeable) return kBorrowNotWriteable;
    BorrowCount same_shared = 0;
    bool refused = false;
    for (const Active& h : active) {
        const ModelView& held = views[h.view];
        if (held.array.base != asked.array.base) continue;
        if (held.key == asked.key) {
            refused |= exclusive || h.exclusive;
            same_shared += !h.exclusive;
        } else if ((exclusive || h.exclusive) && model_rule(asked.key, held.key)) {
            refused = true;
        }
    }
    // A shared borrow of a key already held shared only bumps the count.
    if (!exclusive && same_shared > 0) return same_shared < limit ? kBorrowGranted : kBorrowAlreadyBorrowed;
    return refused ? kBorrowAlreadyBorrowed : kBorrowGranted;
}

void check_contents(const BorrowRegistry& r, const std::vector<ModelView>& views, const std::vector<Active>& active,
                    const std::string& where) {
    std::size_t keys = 0;
    for (std::size_t i = 0; i < active.size(); ++i) {
        const ModelView& v = views[active[i].view];
        BorrowCount expected = 0;
        bool first = true;
        for (std::size_t j = 0; j < active.size(); ++j) {
            const ModelView& w = views[active[j].view];
            if (w.array.base != v.array.base || !(w.key == v.key)) continue;
            first &= j >= i;
            expected += active[j].exclusive ? -1 : 1;
        }
        keys += first;
        CHECK_EQ(r.count(v.array.base, v.array.key()), expected, where);
    }
    std::size_t registered = 0;
    for (const auto* base : {pool[0], pool[1]}) registered += r.key_count(base);
    CHECK_EQ(registered, keys, where);
}

void test_against_model(std::uint64_t seed, int runs) {
    for (int run = 0; run < runs; ++run) {
        std::mt19937_64 rng(seed + static_cast<std::uint64_t>(run));
        const std::string where = "seed " + std::to_string(seed + static_cast<std::uint64_t>(run));
        const BorrowCount limit = run % 2 ? 2 : std::numeric_limits<BorrowCount>::max();
        BorrowRegistry r(limit);
        std::vector<ModelView> views;
        for (int i = 0; i < 10; ++i) {
            views.push_back(model_view(random_view(rng)));
            CHECK_MSG(views.back().key == views.back().array.key(), where << ", view " << i);
        }
        std::vector<Active> active;
        for (int op = 0; op < 300; ++op) {
            if (!active.empty() && rng() % 100 < 45) {
                const std::size_t i = rng() % active.size();
                const ArrayLayout layout = views[active[i].view].array.layout();
                active[i].exclusive ? r.release_mut_shared(layout) : r.release_shared(layout);
                active.erase(active.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                const std::size_t v = rng() % views.size();
                const bool exclusive = rng() % 2;
                const ArrayLayout layout = views[v].array.layout();
                const int got = exclusive ? r.acquire_mut_shared(layout) : r.acquire_shared(layout);
                // Index windows only ever turn a refusal into a grant, and only where no byte is
                // shared (checked next).
                const int without_windows = model_acquire(views, active, v, exclusive, limit);
                if (got != without_windows) {
                    CHECK_MSG(without_windows == kBorrowAlreadyBorrowed && got == kBorrowGranted,
                              where << ", op " << op << ": " << got << " instead of " << without_windows);
                }
                if (got != kBorrowGranted) continue;
                for (const Active& h : active) {
                    const Array& a = views[v].array;
                    const Array& b = views[h.view].array;
                    if (a.base != b.base || !(exclusive || h.exclusive)) continue;
                    if ((views[v].touched & views[h.view].touched).none()) continue;
                    CHECK_MSG(false, where << ", op " << op << ": granted over a shared byte");
                }
                active.push_back({v, exclusive});
            }
            check_contents(r, views, active, where + ", op " + std::to_string(op));
        }
        std::shuffle(active.begin(), active.end(), rng);
        for (const Active& h : active) {
            const ArrayLayout layout = views[h.view].array.layout();
            h.exclusive ? r.release_mut_shared(layout) : r.release_shared(layout);
        }
        CHECK_MSG(r.empty(), where);
    }
    std::printf("model: %d runs from seed %llu\n", runs, static_cast<unsigned long long>(seed));
}

// Windows of one raster (either order, steps and directions on its axes, either item size), held
// and asked for in every pairing with a writer: granted exactly when they share no byte.
void test_windows_against_bytes(std::uint64_t seed, int runs) {
    for (int run = 0; run < runs; ++run) {
        std::mt19937_64 rng(seed + static_cast<std::uint64_t>(run));
        const std::string where = "windows, seed " + std::to_string(seed + static_cast<std::uint64_t>(run));
        const auto pick = [&rng](std::intptr_t lo, std::intptr_t hi) {
            return std::uniform_int_distribution<std::intptr_t>(lo, hi)(rng);
        };
        const std::intptr_t item = pick(0, 1) ? 4 : 2;
        const std::vector<std::intptr_t> shape{pick(1, 12), pick(1, 12)};
        Array grid = pick(0, 1) ? c_order(pool[0], shape, item) : f_order(pool[0], shape, item);
        for (std::size_t axis = 0; axis < 2; ++axis) {
            const std::intptr_t n = grid.dims[axis], step = pick(1, 3) * (pick(0, 1) ? 1 : -1);
            const std::intptr_t start = step > 0 ? pick(0, n - 1) : pick(0, n - 1);
            const std::intptr_t room = step > 0 ? n - start : start + 1;
            grid = slice(grid, axis, start, pick(1, (room + std::abs(step) - 1) / std::abs(step)), step);
        }
        if (pick(0, 1)) grid = transposed(grid);
        std::vector<ModelView> windows;
        for (int i = 0; i < 8; ++i) {
            Array w = grid;
            for (std::size_t axis = 0; axis < 2; ++axis) {
                const std::intptr_t first = pick(0, w.dims[axis] - 1);
                w = slice(w, axis, first, pick(1, w.dims[axis] - first), 1);
            }
            windows.push_back(model_view(w));
        }
        for (const ModelView& held : windows) {
            for (const ModelView& asked : windows) {
                const bool disjoint = (held.touched & asked.touched).none();
                for (const auto& [held_exclusive, asked_exclusive] :
                     {std::pair{true, true}, {true, false}, {false, true}}) {
                    BorrowRegistry r;
                    held_exclusive ? r.acquire_mut_shared(held.array.layout()) : r.acquire_shared(held.array.layout());
                    const int got = asked_exclusive ? r.acquire_mut_shared(asked.array.layout())
                                                    : r.acquire_shared(asked.array.layout());
                    CHECK_EQ(got == kBorrowGranted, disjoint, where);
                }
            }
        }
    }
    std::printf("windows: %d runs from seed %llu\n", runs, static_cast<unsigned long long>(seed));
}

}  // namespace

int main(int argc, char** argv) {
    test_keys();
    test_gcd();
    test_conflicts();
    test_second_borrow();
    test_counts_and_removal();
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20240601;
    test_against_model(seed, argc > 2 ? std::atoi(argv[2]) : 1000);
    test_windows_against_bytes(seed, argc > 2 ? std::atoi(argv[2]) : 1000);
    return check::exit_code();
}
