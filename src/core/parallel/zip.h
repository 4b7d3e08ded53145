#pragma once
// Lock-step combination of 2-D parts of one shape, and how such a combination is cut in two.
// The memory layout of the parts decides the axis: pieces of row-major arrays are bands of whole
// rows, pieces of column-major arrays bands of whole columns, so every piece stays contiguous
// when the whole is.
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/views.h"

namespace rastrel::parallel {

// A position of the index grid: absolute in the whole Zip, whichever piece yields it.
struct Index2 {
    std::size_t row, col;
};

// The index grid part: yields the (row, col) of each position; has no memory.
struct Indices {
    std::size_t row0 = 0, col0 = 0, rows = 0, cols = 0;
};

enum LayoutFlag : unsigned {
    kLayoutC = 1,  // row-major contiguous
    kLayoutF = 2,  // column-major contiguous
    kLayoutCLeaning = 4,  // unit column stride
    kLayoutFLeaning = 8,  // unit row stride
};

struct Layout {
    unsigned flags = 0;
    int tendency = 0;  // > 0 favours rows outside, < 0 columns outside
    // Some part runs along the rows and another down the columns: pieces are walked in tiles
    // (kernels/tiles.h), and cuts keep at least kTileExtent lines along their axis.
    bool crossed = false;
};

// Lines a cut of a crossed layout leaves at least, along its axis: the tiles' 32 lines, so that
// a part running across the lines is read (or written) a whole 64-byte cache line per column of
// uint16 samples, and two pieces never share a line of float32 outputs within a column. Pieces
// of 16 columns of Fortran-ordered bands beside a row-major output took twice as long on two
// processors as the whole on one.
inline constexpr std::size_t kTileExtent = 32;

template <class T>
Layout layout_of(const View2D<T>& v) noexcept {
    const std::size_t r = v.rows, c = v.cols;
    const std::ptrdiff_t s0 = v.row_stride, s1 = v.col_stride;
    unsigned flags = 0;
    if (r == 0 || c == 0 || ((c == 1 || s1 == 1) && (r == 1 || s0 == static_cast<std::ptrdiff_t>(c)))) {
        flags = (r <= 1 || c <= 1) ? (kLayoutC | kLayoutF | kLayoutCLeaning | kLayoutFLeaning)
                                   : (kLayoutC | kLayoutCLeaning);
    } else if ((r == 1 || s0 == 1) && (c == 1 || s1 == static_cast<std::ptrdiff_t>(r))) {
        flags = kLayoutF | kLayoutFLeaning;
    } else if (s0 == 1 && r > 1) {
        flags = kLayoutFLeaning;
    } else if (s1 == 1 && c > 1) {
        flags = kLayoutCLeaning;
    }
    const auto has = [flags](unsigned f) { return (flags & f) != 0 ? 1 : 0; };
    return {flags, has(kLayoutC) - has(kLayoutF) + has(kLayoutCLeaning) - has(kLayoutFLeaning)};
}

inline Layout layout_of(const Indices&) noexcept { return {}; }

enum class Axis { kRows, kCols };

namespace detail {

template <class T>
std::pair<View2D<T>, View2D<T>> split_part(const View2D<T>& v, Axis axis, std::size_t k) noexcept {
    View2D<T> first = v, second = v;
    if (axis == Axis::kRows) {
        first.rows = k;
        second.rows -= k;
        second.data += static_cast<std::ptrdiff_t>(k) * v.row_stride;
    } else {
        first.cols = k;
        second.cols -= k;
        second.data += static_cast<std::ptrdiff_t>(k) * v.col_stride;
    }
    return {first, second};
}

inline std::pair<Indices, Indices> split_part(const Indices& g, Axis axis, std::size_t k) noexcept {
    Indices first = g, second = g;
    if (axis == Axis::kRows) {
        first.rows = k;
        second.rows -= k;
        second.row0 += k;
    } else {
        first.cols = k;
        second.cols -= k;
        second.col0 += k;
    }
    return {first, second};
}

template <class T>
View2D<T> window_part(const View2D<T>& v, std::size_t row0, std::size_t col0, std::size_t rows,
                      std::size_t cols) noexcept {
    View2D<T> w = v;
    w.data += static_cast<std::ptrdiff_t>(row0) * v.row_stride + static_cast<std::ptrdiff_t>(col0) * v.col_stride;
    w.rows = rows;
    w.cols = cols;
    return w;
}

inline Indices window_part(const Indices& g, std::size_t row0, std::size_t col0, std::size_t rows,
                           std::size_t cols) noexcept {
    return {g.row0 + row0, g.col0 + col0, rows, cols};
}

template <class P>
inline constexpr bool is_view_v = false;
template <class T>
inline constexpr bool is_view_v<View2D<T>> = true;

[[noreturn]] void raise_shape_mismatch();

}  // namespace detail

template <class... Parts>
class Zip {
    static_assert(sizeof...(Parts) >= 2 && sizeof...(Parts) <= 4, "a Zip combines 2, 3 or 4 parts");
    static_assert(((detail::is_view_v<Parts> || std::is_same_v<Parts, Indices>)&&...),
                  "parts are views or the index grid");

public:
    static constexpr bool kAllViews = (detail::is_view_v<Parts> && ...);

    Zip(const std::tuple<Parts...>& parts, std::size_t rows, std::size_t cols, Layout layout) noexcept
        : parts_(parts), rows_(rows), cols_(cols), layout_(layout) {}

    const std::tuple<Parts...>& parts() const noexcept { return parts_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }
    unsigned flags() const noexcept { return layout_.flags; }
    int tendency() const noexcept { return layout_.tendency; }
    // The least extent a cut may leave along its axis.
    std::size_t min_extent() const noexcept { return layout_.crossed ? kTileExtent : 1; }
    // Whether a piece of `rows` x `cols` of this one may be halved along its split axis.
    bool can_halve(std::size_t rows, std::size_t cols) const noexcept {
        return (split_axis(rows, cols) == Axis::kRows ? rows : cols) / 2 >= min_extent();
    }

    // The axis along which this piece is halved: rows first for row-major layouts, columns first
    // for column-major ones (or when the parts lean that way), the other axis once one is 1 long.
    Axis split_axis() const noexcept { return split_axis(rows_, cols_); }
    // The same for a piece of this one of `rows` x `cols` (pieces keep the whole's layout).
    Axis split_axis(std::size_t rows, std::size_t cols) const noexcept {
        const bool rows_first = (flags() & kLayoutC) != 0 || ((flags() & kLayoutF) == 0 && tendency() >= 0);
        if (rows_first) return rows > 1 ? Axis::kRows : (cols > 1 ? Axis::kCols : Axis::kRows);
        return cols > 1 ? Axis::kCols : (rows > 1 ? Axis::kRows : Axis::kCols);
    }

    // The piece of `rows` x `cols` from (row0, col0) on, with the whole's flags and tendency: what
    // a sequence of split() calls reaches, in one step.
    Zip window(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const noexcept {
        return window_at(row0, col0, rows, cols, std::index_sequence_for<Parts...>{});
    }

    // The piece cut in two at half the length of split_axis() (the first half the shorter).
    // Flags and tendency are those of the whole, copied.
    std::pair<Zip, Zip> split() const noexcept {
        const Axis axis = split_axis();
        const std::size_t k = (axis == Axis::kRows ? rows_ : cols_) / 2;
        return split_at(axis, k, std::index_sequence_for<Parts...>{});
    }

private:
    template <std::size_t... I>
    std::pair<Zip, Zip> split_at(Axis axis, std::size_t k, std::index_sequence<I...>) const noexcept {
        const std::tuple<std::pair<Parts, Parts>...> halves{detail::split_part(std::get<I>(parts_), axis, k)...};
        const std::size_t r1 = axis == Axis::kRows ? k : rows_;
        const std::size_t c1 = axis == Axis::kRows ? cols_ : k;
        return {Zip({std::get<I>(halves).first...}, r1, c1, layout_),
                Zip({std::get<I>(halves).second...}, axis == Axis::kRows ? rows_ - k : rows_,
                    axis == Axis::kRows ? cols_ : cols_ - k, layout_)};
    }

    template <std::size_t... I>
    Zip window_at(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols,
                  std::index_sequence<I...>) const noexcept {
        return Zip({detail::window_part(std::get<I>(parts_), row0, col0, rows, cols)...}, rows, cols, layout_);
    }

    std::tuple<Parts...> parts_;
    std::size_t rows_;
    std::size_t cols_;
    Layout layout_;
};

// Combines the parts in this order. Each part's shape must equal the first one's (callers check
// shapes beforehand); otherwise faults with "assertion failed: part.equal_dim(dimension)".
template <class... Parts>
Zip<Parts...> zip(const Parts&... parts) {
    const auto& first = std::get<0>(std::tie(parts...));
    const std::size_t rows = first.rows, cols = first.cols;
    Layout layout{~0u, 0};
    unsigned leanings = 0;
    const auto add = [&](const auto& part) {
        if (part.rows != rows || part.cols != cols) detail::raise_shape_mismatch();
        const Layout l = layout_of(part);
        layout.flags &= l.flags;
        leanings |= l.flags;
        layout.tendency += l.tendency;
    };
    (add(parts), ...);
    layout.crossed = (layout.flags & (kLayoutC | kLayoutF)) == 0 && (leanings & kLayoutCLeaning) != 0 &&
                     (leanings & kLayoutFLeaning) != 0;
    return Zip<Parts...>(std::tuple<Parts...>(parts...), rows, cols, layout);
}

}  // namespace rastrel::parallel
