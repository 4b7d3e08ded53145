#pragma once
// Lines whose samples are not adjacent (every other column, a transposed band, reversed rows)
// run through the same vector loop as contiguous ones: each block of a line is first gathered
// into a small contiguous buffer, and an output of non-unit stride is computed into one and
// scattered from it. Included only by the per-target sources (targets/), like run_loops.h;
// nothing here names an instruction-set intrinsic. A target may bring its own store_pairs for the
// stride of 2 (masked vector stores); without it, outputs are scattered element by element from a
// block.
//
// Stores never touch an element between two of the output's own: those may belong to another
// array, written at the same time by another thread.
//
// These loops divide with the divider alone, even where the target has a division of sample
// quotients without it (run_loops.h): on the blocks of 128 pixels here, alternating the two
// measured no faster, and 2 to 8% slower over every other column at 256 x 256.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/kernels/run_loops.h"

namespace rastrel::kernels::detail {

// Samples per gathered block: the buffers of three bands and the output stay in the first-level
// cache. Short, for the same reason as kStreamBlock: a block is a phase of only loading followed
// by one of only storing (the scatter), and with blocks of 512 those phases were long enough that
// every other column of 4096 x 4096 took 1.25 times as long as with 128 on one processor (64
// measured as 128).
inline constexpr std::size_t kGatherBlock = 128;

// The first and the second uint16 of the two in a 32-bit word read from memory.
constexpr std::uint32_t little_endian_first(std::uint32_t pair) noexcept {
    if constexpr (std::endian::native == std::endian::little) return pair & 0xFFFF;
    return pair >> 16;
}
constexpr std::uint32_t little_endian_second(std::uint32_t pair) noexcept {
    if constexpr (std::endian::native == std::endian::little) return pair >> 16;
    return pair & 0xFFFF;
}

// Every third of the 3 * kLanes samples from `at` on, from the first, or (kBefore) from the third:
// three whole vectors of samples, shuffled into one. The vectors from sample 3i read the two samples
// after sample 3(i + kLanes - 1), those from 3i - 2 end on it, as compute_pairs does for the stride
// of 2.
template <bool kBefore, class Samples, std::size_t... J>
[[gnu::always_inline]] inline Samples every_third(const unsigned char* at, std::index_sequence<J...>) noexcept {
    constexpr std::size_t kLanes = sizeof...(J), kFirst = kBefore ? 2 : 0;
    Samples a, b, c;
    std::memcpy(&a, at, sizeof a);
    std::memcpy(&b, at + sizeof a, sizeof b);
    std::memcpy(&c, at + 2 * sizeof a, sizeof c);
    // Lane j of the result is sample kFirst + 3j of the three: of a or b first, then of c.
    const Samples ab = __builtin_shufflevector(a, b, (kFirst + 3 * J < 2 * kLanes ? kFirst + 3 * J : 0)...);
    return __builtin_shufflevector(ab, c, (kFirst + 3 * J < 2 * kLanes ? J : kFirst + 3 * J - kLanes)...);
}

// The samples of pixels i to i + kLanes of a band that takes every third sample, from the bytes
// of its first: see every_third.
template <bool kBefore, std::size_t kBytes>
[[gnu::always_inline]] inline auto thirds_at(const unsigned char* band, std::size_t i) noexcept {
    using Samples = typename Vectors<kBytes>::Samples;
    constexpr std::size_t kLanes = Vectors<kBytes>::kLanes;
    return every_third<kBefore, Samples>(band + 6 * i - (kBefore ? 4 : 0), std::make_index_sequence<kLanes>{});
}

// to[i] = from[i * step] for i < n. The strides of 2 (every other column), 3 and -1 (a reversed
// line) are spelt out, so that the compiler vectorises them (the stride of 3 by hand, in vectors of
// kBytes / 2 bytes); others are copied one by one.
template <std::size_t kBytes>
[[gnu::always_inline]] inline void gather_samples(std::uint16_t* __restrict to, const std::uint16_t* from,
                                                  std::ptrdiff_t step, std::size_t n) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(from);
    if (step == 1) {
        std::memcpy(to, from, n * sizeof *to);
    } else if (step == 2 && n > 0) {
        // Whole 32-bit words, each sample with the one after it, which the compiler turns into
        // vector loads and narrowing; the last sample alone, since the one after it may lie past
        // the array's memory. The samples in between are read and dropped, never written.
        for (std::size_t i = 0; i + 1 < n; ++i) {
            std::uint32_t pair;
            std::memcpy(&pair, bytes + 4 * i, sizeof pair);
            to[i] = static_cast<std::uint16_t>(little_endian_first(pair));
        }
        std::memcpy(to + n - 1, bytes + 4 * (n - 1), sizeof *to);
    } else if (step == -1) {
        for (std::size_t i = 0; i < n; ++i) std::memcpy(to + i, bytes - 2 * static_cast<std::ptrdiff_t>(i), sizeof *to);
    } else if (step == 3) {
        // Where the vectors have 32 bytes or more (see kReadsThirds), whole vectors of thirds_at up
        // to the last sample, which the last one ends on, storing again some samples of the one
        // before it.
        std::size_t i = 0;
        if constexpr (kBytes >= 32) {
            constexpr std::size_t kLanes = Vectors<kBytes>::kLanes;
            if (n > kLanes) {
                for (; i + kLanes < n; i += kLanes) {
                    const auto v = thirds_at<false, kBytes>(bytes, i);
                    std::memcpy(to + i, &v, sizeof v);
                }
                const auto v = thirds_at<true, kBytes>(bytes, n - kLanes);
                std::memcpy(to + n - kLanes, &v, sizeof v);
                i = n;
            }
        }
        for (; i < n; ++i) std::memcpy(to + i, bytes + 6 * i, sizeof *to);
    } else {
        const std::ptrdiff_t step_bytes = step * static_cast<std::ptrdiff_t>(sizeof *to);
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(to + i, bytes + static_cast<std::ptrdiff_t>(i) * step_bytes, sizeof *to);
    }
}

// How far ahead of its stores a loop over every other element of an output asks for the
// output's lines. The target's masked stores leave the fetch of each line they write (a read for
// ownership: half of it is not theirs) to the moment they reach it, and the loop stalls there;
// asked for eight lines (half a kilobyte) ahead, every other column of 4096 x 4096 took 0.8 of
// its time on one processor (4 to 16 lines measured alike, 32 slower).
inline constexpr std::size_t kPrefetchAhead = 512;

// to[2i] = v[i] for the lanes of v, through the target's store_pairs, with the lines
// kPrefetchAhead bytes on asked for. A prefetch never faults (past the array's end neither) and
// writes nothing.
template <class Target, class Floats>
[[gnu::always_inline]] inline void store_pairs_ahead(float* to, Floats v) noexcept {
    const char* const ahead = reinterpret_cast<const char*>(to) + kPrefetchAhead;
    for (std::size_t line = 0; line < 2 * sizeof v; line += 64) __builtin_prefetch(ahead + line, 1, 3);
    Target::store_pairs(to, v);
}

// to[i * step] = from[i] for i < n.
template <class Target>
[[gnu::always_inline]] inline void scatter_floats(float* to, std::ptrdiff_t step, const float* __restrict from,
                                                  std::size_t n) noexcept {
    if (step == 1) {
        std::memcpy(to, from, n * sizeof *to);
        return;
    }
    std::size_t done = 0;
    using Floats = typename Vectors<Target::kVectorBytes>::Floats;
    if constexpr (requires(Floats v) { Target::store_pairs(to, v); }) {
        constexpr std::size_t kLanes = Target::kVectorBytes / sizeof(float);
        if (step == 2) {
            for (; done + kLanes <= n; done += kLanes) {
                Floats v;
                std::memcpy(&v, from + done, sizeof v);
                store_pairs_ahead<Target>(to + 2 * done, v);
            }
        }
    }
    for (std::size_t i = done; i < n; ++i) store_pixel(to + static_cast<std::ptrdiff_t>(i) * step, from[i]);
}

// The loop of compute() over bands that all take every other sample: each sample is read with
// the one after it as a 32-bit word and narrowed, which costs no more than reading a contiguous
// band. Every band must have a sample after its n-th (the caller keeps the last pixel of a
// line out of here). kBefore: each sample is read with the one before it instead, so every band
// must have a sample before its first.
template <bool kBefore, class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline void compute_pairs(const Pixel& pixel, float* __restrict out, const Bands<N>& bands,
                                                 std::size_t n, std::index_sequence<I...>) noexcept {
    const Pixel p = pixel;
    const unsigned char* const in[N] = {reinterpret_cast<const unsigned char*>(bands[I]) - (kBefore ? 2 : 0)...};
    const auto sample_of_pair = [](const unsigned char* at) {
        std::uint32_t pair;
        std::memcpy(&pair, at, sizeof pair);
        return static_cast<float>(kBefore ? little_endian_second(pair) : little_endian_first(pair));
    };
    for (std::size_t i = 0; i < n; ++i) store_pixel(out + i, p(sample_of_pair(in[I] + 4 * i)...));
}

// compute_pairs over a block of m pixels, whole vectors only; returns how many it computed. The
// last pixels of a line, whose samples may be the last of their arrays, are read with the sample
// before them, in one vector that ends at the line's end, when the line has pixels enough
// before them (`before`).
template <std::size_t kLanes, class Pixel, std::size_t N, class Seq>
[[gnu::always_inline]] inline std::size_t compute_pairs_block(const Pixel& pixel, float* __restrict out,
                                                              const Bands<N>& bands, std::size_t m, bool line_end,
                                                              std::size_t before, Seq seq) noexcept {
    const std::size_t limit = line_end ? m - 1 : m;
    const std::size_t whole = limit - limit % kLanes;
    compute_pairs<false>(pixel, out, bands, whole, seq);
    if (whole == m || before + m <= kLanes) return whole;
    alignas(64) float result[kLanes];
    Bands<N> last;
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(m) - static_cast<std::ptrdiff_t>(kLanes);
    for (std::size_t k = 0; k < N; ++k) last[k] = bands[k] + 2 * first;
    compute_pairs<true>(pixel, result, last, kLanes, seq);
    std::memcpy(out + whole, result + kLanes - (m - whole), (m - whole) * sizeof(float));
    return m;
}

// The pixels i to i + kLanes of compute_pairs as one vector: each sample read with the one after
// it, or (kBefore) with the one before it.
template <bool kBefore, std::size_t kLanes, class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline auto pairs_vector(const Pixel& p, const unsigned char* const (&in)[N], std::size_t i,
                                                std::index_sequence<I...>) noexcept {
    using Words = typename Vectors<kLanes * sizeof(float)>::Words;
    using Floats = typename Vectors<kLanes * sizeof(float)>::Floats;
    const auto samples = [i](const unsigned char* band) RASTREL_INLINE_LAMBDA {
        Words pairs;
        std::memcpy(&pairs, band + 4 * i - (kBefore ? 2 : 0), sizeof pairs);
        // The wanted sample is the word's low half when it comes first in memory on a
        // little-endian processor, or last on a big-endian one.
        if constexpr (kBefore == (std::endian::native == std::endian::little)) {
            pairs = (pairs >> 16) & 0xFFFF;
        } else {
            pairs &= 0xFFFF;
        }
        return __builtin_convertvector(pairs, Floats);
    };
    return p(samples(in[I])...);
}

// compute_pairs into every other element of `out`, a vector at a time, stored by the target
// without a round trip through a block: out[2i] = pixel(...) for i < n. The whole vectors read
// each sample with the one after it, up to the line's last pixel; the pixels left after them go
// in one more vector that ends at the line's end and reads each sample with the one before it,
// storing again some pixels of the last whole vector, with the same bits. So nothing is read
// outside the line's first and last samples. Returns how many it computed: all, or the whole
// vectors alone where the line has no more than a vector's pixels.
template <class Target, std::size_t kLanes, class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline std::size_t compute_pairs_scattered(const Pixel& pixel, float* out,
                                                                  const std::uint16_t* const* bands, std::size_t n,
                                                                  std::index_sequence<I...> seq) noexcept {
    const Pixel p = pixel;
    const unsigned char* const in[N] = {reinterpret_cast<const unsigned char*>(bands[I])...};
    std::size_t i = 0;
    for (; i + kLanes < n; i += kLanes)
        store_pairs_ahead<Target>(out + 2 * i, pairs_vector<false, kLanes>(p, in, i, seq));
    if (i == n || n <= kLanes) return i;
    Target::store_pairs(out + 2 * (n - kLanes), pairs_vector<true, kLanes>(p, in, n - kLanes, seq));
    return n;
}

// The samples as the 32-bit words of Vectors<kBytes>, each next to a zero as its high half: one
// widening instruction, where GCC 12's conversion of the samples to words splits them in halves
// and widens each (four instructions on AVX2 and AVX-512). Every third column of 64 x 64 took
// 0.8 of the time with it on both (one processor).
template <std::size_t kBytes, std::size_t... L>
[[gnu::always_inline]] inline auto widen(typename Vectors<kBytes>::Samples samples,
                                         std::index_sequence<L...>) noexcept {
    constexpr std::size_t kLanes = sizeof...(L) / 2, kLow = std::endian::native == std::endian::little ? 0 : 1;
    using Halves = typename Vectors<kBytes>::Halves;
    const Halves halves = __builtin_shufflevector(samples, decltype(samples){}, (L % 2 == kLow ? L / 2 : kLanes)...);
    return std::bit_cast<typename Vectors<kBytes>::Words>(halves);
}

// Whether the target's loops read bands that take every third sample in place. Vectors of 16
// bytes gather them instead: with the shuffles of SSE2 (no table of 16-bit lanes) the portable
// copy took 1.2 to 1.7 times as long as with the gathered block over every third column of
// 1024 x 1024 on one processor, and filling its vectors a sample at a time gained nothing.
template <class Target>
inline constexpr bool kReadsThirds = Target::kVectorBytes >= 32;

// A block of m pixels of bands that all take every third sample, computed from the vectors of
// thirds_at without a gathered block, into adjacent elements; returns how many it computed. As
// compute_pairs_block: the last pixels of a line go in one vector that ends on its last samples,
// when the line has pixels enough before them (`before`), storing again some pixels of the whole
// vectors before it with the same bits.
template <std::size_t kLanes, class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline std::size_t compute_thirds_block(const Pixel& pixel, float* __restrict out,
                                                               const Bands<N>& bands, std::size_t m, bool line_end,
                                                               std::size_t before, std::index_sequence<I...>) noexcept {
    constexpr std::size_t kBytes = kLanes * sizeof(float);
    const Pixel p = pixel;
    const unsigned char* const in[N] = {reinterpret_cast<const unsigned char*>(bands[I])...};
    const auto floats = [](typename Vectors<kBytes>::Samples samples) RASTREL_INLINE_LAMBDA {
        return __builtin_convertvector(widen<kBytes>(samples, std::make_index_sequence<2 * kLanes>{}),
                                       typename Vectors<kBytes>::Floats);
    };
    const std::size_t limit = line_end ? m - 1 : m;
    std::size_t i = 0;
    for (; i + kLanes <= limit; i += kLanes) {
        const auto v = p(floats(thirds_at<false, kBytes>(in[I], i))...);
        std::memcpy(out + i, &v, sizeof v);
    }
    if (i == m || before + m <= kLanes) return i;
    const auto v = p(floats(thirds_at<true, kBytes>(in[I], m - kLanes))...);
    if (m >= kLanes) {
        std::memcpy(out + m - kLanes, &v, sizeof v);
    } else {
        alignas(64) float result[kLanes];
        std::memcpy(result, &v, sizeof v);
        std::memcpy(out, result + kLanes - m, m * sizeof(float));
    }
    return m;
}

// out[i * out_step] = pixel(band_0[i * steps[0]], ...) for i < n, through gathered blocks. A
// contiguous output is stored as `stores` says.
template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline void run_strided(const Pixel& pixel, float* out, std::ptrdiff_t out_step,
                                               const std::uint16_t* const* in, const std::ptrdiff_t* steps,
                                               std::size_t n, Stores stores) noexcept {
    constexpr auto seq = std::make_index_sequence<N>{};
    constexpr std::size_t kLanes = Target::kVectorBytes / sizeof(float);
    bool pairs = true, thirds = kReadsThirds<Target>;
    for (std::size_t k = 0; k < N; ++k) {
        pairs &= steps[k] == 2;
        thirds &= steps[k] == 3;
    }
    alignas(64) std::uint16_t gathered[N][kGatherBlock];
    alignas(64) float block[kGatherBlock];
    // Pixels done to done + m of the line (m at most kGatherBlock) into adjacent elements at dst.
    const auto compute_block = [&](std::size_t done, std::size_t m, float* dst) RASTREL_INLINE_LAMBDA {
        Bands<N> at;
        for (std::size_t k = 0; k < N; ++k) at[k] = in[k] + static_cast<std::ptrdiff_t>(done) * steps[k];
        // Every other or every third sample of every band: read in place; what that cannot cover
        // is gathered.
        std::size_t in_place = 0;
        if (pairs) in_place = compute_pairs_block<kLanes>(pixel, dst, at, m, done + m == n, done, seq);
        if (thirds) in_place = compute_thirds_block<kLanes>(pixel, dst, at, m, done + m == n, done, seq);
        if (in_place < m) {
            Bands<N> bands;
            for (std::size_t k = 0; k < N; ++k) {
                const std::uint16_t* from = at[k] + static_cast<std::ptrdiff_t>(in_place) * steps[k];
                if (steps[k] == 1) {
                    bands[k] = from;
                } else {
                    gather_samples<Target::kVectorBytes>(gathered[k], from, steps[k], m - in_place);
                    bands[k] = gathered[k];
                }
            }
            compute_lanes<Target, false>(pixel, dst + in_place, bands, m - in_place, seq);
        }
    };
    if (out_step == 1) {
        if (stores == Stores::kStreaming && stream_blocks<Target, kGatherBlock>(out, n, compute_block)) return;
        for (std::size_t done = 0; done < n; done += kGatherBlock) compute_block(done, std::min(n - done, kGatherBlock), out + done);
        return;
    }
    std::size_t first = 0;
    // Every other sample into every other element: one pass.
    using Floats = typename Vectors<kLanes * sizeof(float)>::Floats;
    if constexpr (requires(float* to, Floats v) { Target::store_pairs(to, v); }) {
        if (pairs && out_step == 2) first = compute_pairs_scattered<Target, kLanes, Pixel, N>(pixel, out, in, n, seq);
    }
    for (std::size_t done = first; done < n; done += kGatherBlock) {
        const std::size_t m = std::min(n - done, kGatherBlock);
        compute_block(done, m, block);
        scatter_floats<Target>(out + static_cast<std::ptrdiff_t>(done) * out_step, out_step, block, m);
    }
}

}  // namespace rastrel::kernels::detail
