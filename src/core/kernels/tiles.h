#pragma once
// Whole 2-D pieces whose parts need not run along the same axis in memory: a transposed or
// Fortran-ordered band beside C-ordered ones, a Fortran-ordered output, every other column.
// Walked line by line, a part that runs across the lines is read (or written) one element per
// cache line, and with the power-of-two line lengths of rasters those lines crowd into a few
// cache sets and evict each other before the next line comes back for their neighbours: about
// 90 ns a pixel at 1024 x 1024. Here the loop order follows the strides instead: lines run
// along the axis where the output and most bands are adjacent in memory, and when a part still
// runs across them, the piece is walked in tiles, that part transposed through a small buffer a
// whole cache line at a time, and the tile's lines fed to the same vector loop as contiguous
// runs. Included only by the per-target sources (targets/), like run_loops.h; the transposes
// are written with the compiler's generic vectors, so nothing here names an instruction set.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/kernels/run_loops.h"
#include "core/kernels/strided.h"
#include "core/views.h"

namespace rastrel::kernels::detail {

// A tile: 32 rows make a column of a transposed uint16 band one 64-byte line, and two of a
// transposed float32 output; with 64 columns the buffers of three bands and the output take
// 32 KiB, within the first-level cache beside the lines being read.
inline constexpr std::size_t kTileRows = 32;
inline constexpr std::size_t kTileCols = 64;

template <class T>
View2D<T> transposed(const View2D<T>& v) noexcept {
    return {v.data, v.cols, v.rows, v.col_stride, v.row_stride};
}

template <class T>
T* element(const View2D<T>& v, std::size_t row, std::size_t col) noexcept {
    return v.data + static_cast<std::ptrdiff_t>(row) * v.row_stride + static_cast<std::ptrdiff_t>(col) * v.col_stride;
}

constexpr std::ptrdiff_t magnitude(std::ptrdiff_t s) noexcept { return s < 0 ? -s : s; }

// Whether a part's elements lie closer together down a column than along a row (farther than
// next to each other): walked by rows, it would touch a new cache line at every element.
template <class T>
bool runs_across(const View2D<T>& v) noexcept {
    return v.rows > 1 && magnitude(v.col_stride) > 1 && magnitude(v.row_stride) < magnitude(v.col_stride);
}

// Whether lines should run down the columns: when the output (counted twice, since its stores
// cost more than loads) and the bands are more often adjacent in memory that way, or as often
// and the columns are the longer (a narrow band of columns, as pieces of column-major arrays
// are cut, then runs in long lines instead of short ones); where no part is adjacent either way,
// along the axis on which the elements lie closer together. A single column is walked down, a
// single row along.
template <std::size_t N>
bool lines_down(const OutputView& out, const std::array<BandView, N>& bands) noexcept {
    if (out.rows <= 1 || out.cols <= 1) return out.cols <= 1 && out.rows > 1;
    const auto adjacent = [](std::ptrdiff_t s) { return magnitude(s) == 1 ? 1 : 0; };
    int down = 2 * adjacent(out.row_stride), along = 2 * adjacent(out.col_stride);
    for (const BandView& b : bands) {
        down += adjacent(b.row_stride);
        along += adjacent(b.col_stride);
    }
    if (down == 0 && along == 0) {
        // A tall piece of every other column walked down its columns went element by element
        // through the tiles: 7 times as long as the same piece walked along its rows.
        std::ptrdiff_t row_steps = 2 * magnitude(out.row_stride), col_steps = 2 * magnitude(out.col_stride);
        for (const BandView& b : bands) {
            row_steps += magnitude(b.row_stride);
            col_steps += magnitude(b.col_stride);
        }
        if (row_steps != col_steps) return row_steps < col_steps;
    }
    return down > along || (down == along && out.rows > out.cols);
}

using U16x8 = std::uint16_t __attribute__((vector_size(16)));
using F32x4 = float __attribute__((vector_size(16)));
using I32x4 = std::int32_t __attribute__((vector_size(16)));

// to[i * pitch + j] = column j's sample i, for the 8 columns at `from`, `step` bytes apart, each
// of 8 adjacent samples: three rounds of interleaving.
[[gnu::always_inline]] inline void transpose_8x8(std::uint16_t* to, std::size_t pitch, const unsigned char* from,
                                                 std::ptrdiff_t step) noexcept {
    U16x8 v[8], t[8];
    for (int j = 0; j < 8; ++j) std::memcpy(&v[j], from + j * step, sizeof v[j]);
    for (int j = 0; j < 8; j += 2) {
        t[j] = __builtin_shuffle(v[j], v[j + 1], U16x8{0, 8, 1, 9, 2, 10, 3, 11});
        t[j + 1] = __builtin_shuffle(v[j], v[j + 1], U16x8{4, 12, 5, 13, 6, 14, 7, 15});
    }
    for (int j = 0; j < 8; j += 4) {
        for (int h = 0; h < 2; ++h) {
            v[j + 2 * h] = __builtin_shuffle(t[j + h], t[j + h + 2], U16x8{0, 1, 8, 9, 2, 3, 10, 11});
            v[j + 2 * h + 1] = __builtin_shuffle(t[j + h], t[j + h + 2], U16x8{4, 5, 12, 13, 6, 7, 14, 15});
        }
    }
    // v[0], v[1]: samples 0-1 and 2-3 of columns 0-3; v[2], v[3]: 4-5 and 6-7; v[4..7] columns 4-7.
    for (int i = 0; i < 4; ++i) {
        const U16x8 low = __builtin_shuffle(v[i], v[i + 4], U16x8{0, 1, 2, 3, 8, 9, 10, 11});
        const U16x8 high = __builtin_shuffle(v[i], v[i + 4], U16x8{4, 5, 6, 7, 12, 13, 14, 15});
        std::memcpy(to + 2 * i * pitch, &low, sizeof low);
        std::memcpy(to + (2 * i + 1) * pitch, &high, sizeof high);
    }
}

// to[r * kTileCols + c] = sample (r, c) of a part whose element (0, 0) is at `from`, for r < rows
// and c < cols. Columns of adjacent samples go through 8 x 8 transposes, the rest one by one.
[[gnu::always_inline]] inline void gather_tile(std::uint16_t* __restrict to, const std::uint16_t* from,
                                               std::ptrdiff_t row_step, std::ptrdiff_t col_step, std::size_t rows,
                                               std::size_t cols) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(from);
    const auto at = [&](std::size_t r, std::size_t c) {
        return bytes + 2 * (static_cast<std::ptrdiff_t>(r) * row_step + static_cast<std::ptrdiff_t>(c) * col_step);
    };
    std::size_t c = 0;
    if (row_step == 1) {
        const std::size_t whole = rows - rows % 8;
        for (; c + 8 <= cols; c += 8) {
            for (std::size_t r = 0; r < whole; r += 8)
                transpose_8x8(to + r * kTileCols + c, kTileCols, at(r, c), 2 * col_step);
            for (std::size_t r = whole; r < rows; ++r) {
                for (std::size_t j = 0; j < 8; ++j) std::memcpy(to + r * kTileCols + c + j, at(r, c + j), 2);
            }
        }
    }
    for (; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) std::memcpy(to + r * kTileCols + c, at(r, c), 2);
    }
}

// Element (r, c) of an output whose element (0, 0) is at `to` = from[r * kTileCols + c], for
// r < rows and c < cols: the inverse of gather_tile for float32, by 4 x 4 transposes where the
// output's columns are adjacent elements. Writes nothing but the output's own elements.
[[gnu::always_inline]] inline void scatter_tile(float* to, std::ptrdiff_t row_step, std::ptrdiff_t col_step,
                                                const float* __restrict from, std::size_t rows,
                                                std::size_t cols) noexcept {
    auto* bytes = reinterpret_cast<unsigned char*>(to);
    const auto at = [&](std::size_t r, std::size_t c) {
        return bytes + 4 * (static_cast<std::ptrdiff_t>(r) * row_step + static_cast<std::ptrdiff_t>(c) * col_step);
    };
    std::size_t c = 0;
    if (row_step == 1) {
        const std::size_t whole = rows - rows % 4;
        for (; c + 4 <= cols; c += 4) {
            for (std::size_t r = 0; r < whole; r += 4) {
                F32x4 x[4];
                for (int i = 0; i < 4; ++i) std::memcpy(&x[i], from + (r + i) * kTileCols + c, sizeof x[i]);
                const F32x4 t0 = __builtin_shuffle(x[0], x[1], I32x4{0, 4, 1, 5});
                const F32x4 t1 = __builtin_shuffle(x[0], x[1], I32x4{2, 6, 3, 7});
                const F32x4 t2 = __builtin_shuffle(x[2], x[3], I32x4{0, 4, 1, 5});
                const F32x4 t3 = __builtin_shuffle(x[2], x[3], I32x4{2, 6, 3, 7});
                const F32x4 w[4] = {
                    __builtin_shuffle(t0, t2, I32x4{0, 1, 4, 5}), __builtin_shuffle(t0, t2, I32x4{2, 3, 6, 7}),
                    __builtin_shuffle(t1, t3, I32x4{0, 1, 4, 5}), __builtin_shuffle(t1, t3, I32x4{2, 3, 6, 7})};
                for (int j = 0; j < 4; ++j) std::memcpy(at(r, c + j), &w[j], sizeof w[j]);
            }
            for (std::size_t r = whole; r < rows; ++r) {
                for (std::size_t j = 0; j < 4; ++j) std::memcpy(at(r, c + j), from + r * kTileCols + c + j, 4);
            }
        }
    }
    for (; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) std::memcpy(at(r, c), from + r * kTileCols + c, 4);
    }
}

// One line of `cols` pixels from row pointers and column steps: the contiguous run when every
// step is 1, else the gathered one.
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline void run_line(const Pixel& pixel, float* out, std::ptrdiff_t out_step,
                                            const std::uint16_t* const* in, const std::ptrdiff_t* steps, std::size_t n,
                                            Stores stores) noexcept {
    bool unit = out_step == 1;
    for (std::size_t k = 0; k < N; ++k) unit &= steps[k] == 1;
    if (unit) return run_loop<Target, Pixel, N>(pixel, out, in, n, stores);
    run_strided<Target, Pixel, N>(pixel, out, out_step, in, steps, n, stores);
}

// A piece whose every part has adjacent columns (windows of wider arrays), row by row with
// nothing set up per row but its pointers: the general walk below cost three times the pixels'
// own time at 64 x 64 and twice at 256 x 256. False, with nothing written, otherwise.
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline bool walk_unit_rows(const Pixel& pixel, const OutputView& out,
                                                  const std::array<BandView, N>& bands, Stores stores) noexcept {
    bool unit = out.col_stride == 1;
    for (const BandView& b : bands) unit &= b.col_stride == 1;
    if (!unit) return false;
    for (std::size_t r = 0; r < out.rows; ++r) {
        const std::uint16_t* in[N];
        for (std::size_t k = 0; k < N; ++k) in[k] = element(bands[k], r, 0);
        run_loop<Target, Pixel, N>(pixel, element(out, r, 0), in, out.cols, stores);
    }
    return true;
}

// A piece whose bands all take every other element along its rows (every other column of
// wider arrays), into an output that does too or into a contiguous one with cached stores, row
// by row with nothing set up per row but its pointers: at 64 x 64 the general walk spent more on
// each row than on its pixels. False, with nothing written, where the rows are no longer than a
// vector, or the output takes every other element and the target has no store_pairs.
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline bool walk_pair_rows(const Pixel& pixel, const OutputView& out,
                                                  const std::array<BandView, N>& bands, Stores stores) noexcept {
    constexpr std::size_t kLanes = Target::kVectorBytes / sizeof(float);
    constexpr auto seq = std::make_index_sequence<N>{};
    using Floats = typename Vectors<Target::kVectorBytes>::Floats;
    bool pairs = out.cols > kLanes;
    for (const BandView& b : bands) pairs &= b.col_stride == 2;
    if (!pairs) return false;
    const auto rows = [&](const auto& line) RASTREL_INLINE_LAMBDA {
        for (std::size_t r = 0; r < out.rows; ++r) {
            Bands<N> in;
            for (std::size_t k = 0; k < N; ++k) in[k] = element(bands[k], r, 0);
            line(element(out, r, 0), in);
        }
    };
    if (out.col_stride == 1 && stores == Stores::kCached) {
        rows([&](float* to, const Bands<N>& in)
                 RASTREL_INLINE_LAMBDA { compute_pairs_block<kLanes>(pixel, to, in, out.cols, true, 0, seq); });
        return true;
    }
    if constexpr (requires(float* to, Floats v) { Target::store_pairs(to, v); }) {
        if (out.col_stride != 2) return false;
        rows([&](float* to, const Bands<N>& in) RASTREL_INLINE_LAMBDA {
            compute_pairs_scattered<Target, kLanes, Pixel, N>(pixel, to, in.data(), out.cols, seq);
        });
        return true;
    }
    return false;
}

// The tiles of a piece, row of tiles after row of tiles: parts that run across the lines go
// through the tile buffers, the others are read (or written) in place. Without such parts a
// tile is one whole line, stored as `stores` says; the lines of tiles are too short to stream.
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline void walk_tiles(const Pixel& pixel, const OutputView& out,
                                              const std::array<BandView, N>& bands, Stores stores) noexcept {
    alignas(64) std::uint16_t tiles[N][kTileRows * kTileCols];
    alignas(64) float out_tile[kTileRows * kTileCols];
    bool across[N];
    std::ptrdiff_t steps[N];
    const bool out_across = runs_across(out);
    bool tiled = out_across;
    for (std::size_t k = 0; k < N; ++k) {
        across[k] = runs_across(bands[k]);
        steps[k] = across[k] ? 1 : bands[k].col_stride;
        tiled |= across[k];
    }
    const std::ptrdiff_t out_step = out_across ? 1 : out.col_stride;
    if (!tiled && (walk_unit_rows<Target, Pixel, N>(pixel, out, bands, stores) ||
                   walk_pair_rows<Target, Pixel, N>(pixel, out, bands, stores)))
        return;
    const std::size_t tile_rows = tiled ? kTileRows : 1, tile_cols = tiled ? kTileCols : out.cols;
    if (tiled) stores = Stores::kCached;
    for (std::size_t r0 = 0; r0 < out.rows; r0 += tile_rows) {
        const std::size_t rows = std::min(out.rows - r0, tile_rows);
        for (std::size_t c0 = 0; c0 < out.cols; c0 += tile_cols) {
            const std::size_t cols = std::min(out.cols - c0, tile_cols);
            for (std::size_t k = 0; k < N; ++k) {
                if (!across[k]) continue;
                gather_tile(tiles[k], element(bands[k], r0, c0), bands[k].row_stride, bands[k].col_stride, rows, cols);
            }
            for (std::size_t r = 0; r < rows; ++r) {
                const std::uint16_t* in[N];
                for (std::size_t k = 0; k < N; ++k)
                    in[k] = across[k] ? tiles[k] + r * kTileCols : element(bands[k], r0 + r, c0);
                float* const o = out_across ? out_tile + r * kTileCols : element(out, r0 + r, c0);
                run_line<Target, Pixel, N>(pixel, o, out_step, in, steps, cols, stores);
            }
            if (out_across) scatter_tile(element(out, r0, c0), out.row_stride, out.col_stride, out_tile, rows, cols);
        }
    }
}

// pixel over a whole piece of any strides (see BlockRun in runs.h).
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline void run_block(const Pixel& pixel, const OutputView& out_view, const BandView* in,
                                             Stores stores) noexcept {
    if (out_view.rows == 0 || out_view.cols == 0) return;
    OutputView out = out_view;
    std::array<BandView, N> bands;
    for (std::size_t k = 0; k < N; ++k) bands[k] = in[k];
    // The formula is the same at every position, so swapping rows for columns in every part
    // alike changes only the order in which pixels are computed.
    if (lines_down(out, bands)) {
        out = transposed(out);
        for (BandView& b : bands) b = transposed(b);
    }
    walk_tiles<Target, Pixel, N>(pixel, out, bands, stores);
}

}  // namespace rastrel::kernels::detail
