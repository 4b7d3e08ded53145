#pragma once
// The loops behind every copy of a run (runs.h). Included only by the per-target sources
// (targets/): each inlines these into functions compiled for its own instruction set, where the
// compiler vectorises them at that width. Nothing here may name an instruction-set intrinsic;
// what differs between targets (the streaming store) comes in through the `Target` policy.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/kernels/runs.h"
#include "core/views.h"

namespace rastrel::kernels::detail {

// Elements computed per streamed block: 512 bytes of results, eight cache lines. Small enough for
// the processor to overlap one block's streaming stores with the next block's loads; blocks of
// 512 elements, which alternate longer phases of only loading and only storing, measured 10 to
// 25% slower on memory-bound outputs.
inline constexpr std::size_t kStreamBlock = 128;

template <std::size_t N>
using Bands = std::array<const std::uint16_t*, N>;

// The one counted loop: a main vector loop and a tail that the compiler derives from it, with
// the same operations per element. `out` never aliases a band (the output's borrow is exclusive,
// and a float32 array cannot be a view of a uint16 one's buffer under the registry).
template <class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline void compute(const Pixel& pixel, float* __restrict out, const Bands<N>& bands,
                                           std::size_t n, std::index_sequence<I...>) noexcept {
    // A copy, so that the coefficients sit in registers for the whole loop.
    const Pixel p = pixel;
    const std::uint16_t* const in[N] = {bands[I]...};
    for (std::size_t i = 0; i < n; ++i) store_pixel(out + i, p(load_sample(in[I] + i)...));
}

template <std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline Bands<N> advance(const Bands<N>& bands, std::size_t k,
                                               std::index_sequence<I...>) noexcept {
    return {(bands[I] + k)...};
}

// compute() over whole vectors, and the last n % kLanes pixels as one more whole vector over
// zero-padded copies of their samples, whose extra lanes are computed and dropped: the compiler's
// remainder loop goes one pixel at a time, and on short lines (every other column, the rows of a
// tile, windows) its divisions cost as much as the rest of the line.
template <std::size_t kLanes, class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline void compute_lanes(const Pixel& pixel, float* __restrict out, const Bands<N>& bands,
                                                 std::size_t n, std::index_sequence<I...> seq) noexcept {
    const std::size_t whole = n - n % kLanes;
    compute(pixel, out, bands, whole, seq);
    if (whole == n) return;
    alignas(64) std::uint16_t padded[N][kLanes] = {};
    alignas(64) float result[kLanes];
    for (std::size_t k = 0; k < N; ++k) std::memcpy(padded[k], bands[k] + whole, (n - whole) * sizeof(std::uint16_t));
    compute(pixel, result, Bands<N>{padded[I]...}, kLanes, seq);
    std::memcpy(out + whole, result, (n - whole) * sizeof(float));
}

// Streaming stores need an output aligned to the vector: the first elements up to the next cache
// line and the last partial block go through the cache, every whole block in between is computed
// into an aligned buffer and streamed out. Both ends of the streamed middle fall on cache-line
// boundaries, so no line is written both ways.
template <class Target, class Pixel, std::size_t N, class Seq>
[[gnu::always_inline]] inline void compute_streaming(const Pixel& pixel, float* out, const Bands<N>& bands,
                                                     std::size_t n, Seq seq) noexcept {
    static_assert(kStreamBlock * sizeof(float) % 64 == 0 && 64 % Target::kVectorBytes == 0);
    constexpr std::size_t kLanes = Target::kVectorBytes / sizeof(float);
    const auto address = reinterpret_cast<std::uintptr_t>(out);
    const std::size_t head = (64 - address % 64) % 64 / sizeof(float);
    if (address % sizeof(float) != 0 || n < head + kStreamBlock)
        return compute_lanes<kLanes>(pixel, out, bands, n, seq);

    compute_lanes<kLanes>(pixel, out, bands, head, seq);
    alignas(64) float block[kStreamBlock];
    std::size_t done = head;
    for (; n - done >= kStreamBlock; done += kStreamBlock) {
        compute(pixel, block, advance(bands, done, seq), kStreamBlock, seq);
        Target::stream(out + done, block, kStreamBlock);
    }
    compute_lanes<kLanes>(pixel, out + done, advance(bands, done, seq), n - done, seq);
    Target::fence();
}

template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline void run_loop(const Pixel& pixel, float* out, const std::uint16_t* const* in,
                                            std::size_t n, Stores stores) noexcept {
    constexpr auto seq = std::make_index_sequence<N>{};
    const Bands<N> bands = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Bands<N>{in[I]...};
    }(seq);
    if (stores == Stores::kStreaming) return compute_streaming<Target>(pixel, out, bands, n, seq);
    compute_lanes<Target::kVectorBytes / sizeof(float)>(pixel, out, bands, n, seq);
}

}  // namespace rastrel::kernels::detail
