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
#include <bit>
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

// Generic vectors of kBytes of T, and the masks that shuffle them (spelt out per size: the
// compiler takes no vector size that depends on a template's parameter).
template <class T, std::size_t kBytes>
struct VectorOf;
#define RASTREL_VECTOR_OF(T, Mask, bytes)                      \
    template <>                                                \
    struct VectorOf<T, bytes> {                                \
        using type = T __attribute__((vector_size(bytes)));    \
        using mask = Mask __attribute__((vector_size(bytes))); \
    };
RASTREL_VECTOR_OF(std::uint16_t, std::int16_t, 16)
RASTREL_VECTOR_OF(std::uint16_t, std::int16_t, 32)
RASTREL_VECTOR_OF(std::uint64_t, std::int64_t, 16)
RASTREL_VECTOR_OF(std::uint64_t, std::int64_t, 32)
#undef RASTREL_VECTOR_OF

// A square of W x W elements of T, W of them filling one of the compiler's generic vectors:
// from[i * from_step + j] (in bytes, for rows i of W adjacent elements) into to[j * to_step + i].
// Within each 16-byte lane, rounds of interleaving transpose the lane's E x E squares; then
// rounds that exchange whole lanes between vectors put the squares in place. Wider vectors
// take fewer instructions per element: a 16 x 16 square of uint16 in 32-byte vectors costs 64
// shuffles, 0.25 an element, against 0.38 for 8 x 8 squares in 16-byte ones.
template <class T, std::size_t W>
struct Square {
    using V = typename VectorOf<T, W * sizeof(T)>::type;
    using Mask = typename VectorOf<T, W * sizeof(T)>::mask;
    static constexpr std::size_t kWords = W * sizeof(T) / 8;
    using Words = typename VectorOf<std::uint64_t, W * sizeof(T)>::type;
    using WordMask = typename VectorOf<std::uint64_t, W * sizeof(T)>::mask;
    static constexpr std::size_t E = 16 / sizeof(T);  // elements of a lane

    // The lower (`high` false) or upper halves of each lane of a and b, interleaved.
    static constexpr int interleaved(std::size_t i, bool high) {
        const std::size_t lane = i / E * E, p = i % E;
        return static_cast<int>(lane + (high ? E / 2 : 0) + p / 2 + (p % 2 == 1 ? W : 0));
    }
    // Of each 2h lanes (of two 64-bit words each), the first h of a then the first h of b
    // (`high` false), or the last h.
    static constexpr std::int64_t exchanged(std::size_t i, std::size_t h, bool high) {
        const std::size_t chunk = 2 * h, block = i / (2 * chunk) * (2 * chunk), q = i % (2 * chunk);
        return static_cast<std::int64_t>(block + (high ? chunk : 0) + q % chunk + (q < chunk ? 0 : kWords));
    }
    template <std::size_t... I>
    [[gnu::always_inline]] static void interleave(V& a, V& b, std::index_sequence<I...>) noexcept {
        const V low = __builtin_shuffle(a, b, Mask{interleaved(I, false)...});
        b = __builtin_shuffle(a, b, Mask{interleaved(I, true)...});
        a = low;
    }
    // Whole lanes move as 64-bit words, which the compiler shuffles by lanes.
    template <std::size_t h, std::size_t... I>
    [[gnu::always_inline]] static void exchange(V& a, V& b, std::index_sequence<I...>) noexcept {
        const Words x = std::bit_cast<Words>(a), y = std::bit_cast<Words>(b);
        a = std::bit_cast<V>(__builtin_shuffle(x, y, WordMask{exchanged(I, h, false)...}));
        b = std::bit_cast<V>(__builtin_shuffle(x, y, WordMask{exchanged(I, h, true)...}));
    }
    // Lanes of h and fewer, down to one, exchanged between vectors h lanes apart.
    template <std::size_t h>
    [[gnu::always_inline]] static void exchange_lanes(V (&v)[W]) noexcept {
        if constexpr (h >= 1) {
#pragma GCC unroll 32
            for (std::size_t r = 0; r < E; ++r) {
#pragma GCC unroll 32
                for (std::size_t g = 0; g < W / E; ++g) {
                    if ((g & h) == 0) exchange<h>(v[g * E + r], v[(g + h) * E + r], std::make_index_sequence<kWords>{});
                }
            }
            exchange_lanes<h / 2>(v);
        }
    }
    [[gnu::always_inline]] static void transpose(unsigned char* to, std::ptrdiff_t to_step, const unsigned char* from,
                                                 std::ptrdiff_t from_step) noexcept {
        // log2(E) rounds over each group of E vectors, pairing vector j with j + E / 2 and
        // putting the results at 2j and 2j + 1: lane g of vector i of the group then holds row
        // i of the lane's square. The exchanges then move lane g of group c to lane c of group
        // g, so that vector i holds column i of the whole square.
        V v[W];
#pragma GCC unroll 32
        for (std::size_t j = 0; j < W; ++j)
            std::memcpy(&v[j], from + static_cast<std::ptrdiff_t>(j) * from_step, sizeof v[j]);
#pragma GCC unroll 32
        for (std::size_t g = 0; g < W; g += E) {
#pragma GCC unroll 32
            for (std::size_t round = 1; round < E; round *= 2) {
                V next[E];
#pragma GCC unroll 32
                for (std::size_t j = 0; j < E / 2; ++j) {
                    next[2 * j] = v[g + j];
                    next[2 * j + 1] = v[g + j + E / 2];
                    interleave(next[2 * j], next[2 * j + 1], std::make_index_sequence<W>{});
                }
#pragma GCC unroll 32
                for (std::size_t j = 0; j < E; ++j) v[g + j] = next[j];
            }
        }
        exchange_lanes<W / E / 2>(v);
#pragma GCC unroll 32
        for (std::size_t i = 0; i < W; ++i)
            std::memcpy(to + static_cast<std::ptrdiff_t>(i) * to_step, &v[i], sizeof v[i]);
    }
};

// The side of the squares of samples a target transposes: 16 x 16 in 32-byte vectors where it
// has 32 vector registers (AVX-512), 0.65 to 0.75 of the time of 8 x 8 ones over two
// Fortran-ordered bands at 64 x 64 and 256 x 256 (32 x 32 in 64-byte vectors gained less at
// 256 x 256 and lost at 1024 x 1024). With the 16 registers of AVX2, 16 x 16 squares took 1.05
// to 1.09 times the time of 8 x 8 ones. (Outputs keep their 4 x 4 squares of float32: 8 x 8
// ones in 32-byte vectors took 0.9 of the time at 64 x 64 and 256 x 256 but 1.4 times it at
// 1024 x 1024, whose columns lie 4 KiB apart.)
template <class Target>
inline constexpr std::size_t kSquare = Target::kVectorBytes >= 64 ? 16 : 8;

// to[r * kTileCols + c] = sample (r, c) of a part whose element (0, 0) is at `from`, for r < rows
// and c < cols. Columns of adjacent samples go through W x W transposes as far as they fill
// them, then through 16-byte ones; the rest one by one.
template <std::size_t W>
[[gnu::always_inline]] inline void gather_tile(std::uint16_t* __restrict to, const std::uint16_t* from,
                                               std::ptrdiff_t row_step, std::ptrdiff_t col_step, std::size_t rows,
                                               std::size_t cols) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(from);
    const auto at = [&](std::size_t r, std::size_t c) {
        return bytes + 2 * (static_cast<std::ptrdiff_t>(r) * row_step + static_cast<std::ptrdiff_t>(c) * col_step);
    };
    std::size_t whole_rows = 0, whole_cols = 0;
    if (row_step == 1) {
        whole_rows = rows - rows % W;
        whole_cols = cols - cols % W;
        for (std::size_t c = 0; c < whole_cols; c += W) {
            for (std::size_t r = 0; r < whole_rows; r += W)
                Square<std::uint16_t, W>::transpose(reinterpret_cast<unsigned char*>(to + r * kTileCols + c),
                                                    2 * kTileCols, at(r, c), 2 * col_step);
        }
    }
    constexpr std::size_t kLane = 8;
    if constexpr (W > kLane) {
        if (whole_rows < rows)
            gather_tile<kLane>(to + whole_rows * kTileCols, from + static_cast<std::ptrdiff_t>(whole_rows) * row_step,
                               row_step, col_step, rows - whole_rows, whole_cols);
        if (whole_cols < cols)
            gather_tile<kLane>(to + whole_cols, from + static_cast<std::ptrdiff_t>(whole_cols) * col_step, row_step,
                               col_step, rows, cols - whole_cols);
    } else if (whole_rows < rows || whole_cols < cols) {
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = r < whole_rows ? whole_cols : 0; c < cols; ++c)
                std::memcpy(to + r * kTileCols + c, at(r, c), 2);
        }
    }
}

using F32x4 = float __attribute__((vector_size(16)));
using I32x4 = std::int32_t __attribute__((vector_size(16)));

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
// each row than on its pixels. Likewise bands that all take every third element into a
// contiguous output with cached stores, where the target reads them in place (kReadsThirds):
// every third column of 64 x 64 took 0.6 of the general walk's time on AVX-512, 0.8 on AVX2.
// False, with nothing written, where the rows are no longer than a vector, or the output takes
// every other element and the target has no store_pairs.
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline bool walk_spaced_rows(const Pixel& pixel, const OutputView& out,
                                                    const std::array<BandView, N>& bands, Stores stores) noexcept {
    constexpr std::size_t kLanes = Target::kVectorBytes / sizeof(float);
    constexpr auto seq = std::make_index_sequence<N>{};
    using Floats = typename Vectors<Target::kVectorBytes>::Floats;
    bool pairs = out.cols > kLanes;
    bool thirds = pairs && kReadsThirds<Target> && out.col_stride == 1 && stores == Stores::kCached;
    for (const BandView& b : bands) {
        pairs &= b.col_stride == 2;
        thirds &= b.col_stride == 3;
    }
    if (!pairs && !thirds) return false;
    const auto rows = [&](const auto& line) RASTREL_INLINE_LAMBDA {
        for (std::size_t r = 0; r < out.rows; ++r) {
            Bands<N> in;
            for (std::size_t k = 0; k < N; ++k) in[k] = element(bands[k], r, 0);
            line(element(out, r, 0), in);
        }
    };
    if (thirds) {
        rows([&](float* to, const Bands<N>& in)
                 RASTREL_INLINE_LAMBDA { compute_thirds_block<kLanes>(pixel, to, in, out.cols, true, 0, seq); });
        return true;
    }
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
                   walk_spaced_rows<Target, Pixel, N>(pixel, out, bands, stores)))
        return;
    const std::size_t tile_rows = tiled ? kTileRows : 1, tile_cols = tiled ? kTileCols : out.cols;
    if (tiled) stores = Stores::kCached;
    for (std::size_t r0 = 0; r0 < out.rows; r0 += tile_rows) {
        const std::size_t rows = std::min(out.rows - r0, tile_rows);
        for (std::size_t c0 = 0; c0 < out.cols; c0 += tile_cols) {
            const std::size_t cols = std::min(out.cols - c0, tile_cols);
            for (std::size_t k = 0; k < N; ++k) {
                if (!across[k]) continue;
                gather_tile<kSquare<Target>>(tiles[k], element(bands[k], r0, c0), bands[k].row_stride,
                                             bands[k].col_stride, rows, cols);
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
