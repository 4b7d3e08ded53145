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

// For the lambdas of the loops that call a target's own functions (load_samples, divide_samples):
// compiled on their own, their bodies are for the baseline, which may not inline such a
// function, so they must be inlined into the entry points first. The attribute in the standard
// syntax would apply to the lambda's type, not to its call.
#define RASTREL_INLINE_LAMBDA __attribute__((always_inline))

// The compiler's generic vectors of `kBytes`: 32-bit words, as many float32 and uint16 samples,
// and the words' 16-bit halves. The words are signed, since samples of 16 bits convert exactly
// either way and only the signed conversion has an instruction before AVX-512.
template <std::size_t kBytes>
struct Vectors;
#define RASTREL_VECTORS(bytes)                                                   \
    template <>                                                                  \
    struct Vectors<bytes> {                                                      \
        static constexpr std::size_t kLanes = (bytes) / sizeof(float);           \
        using Words = std::int32_t __attribute__((vector_size(bytes)));          \
        using Floats = float __attribute__((vector_size(bytes)));                \
        using Samples = std::uint16_t __attribute__((vector_size((bytes) / 2))); \
        using Halves = std::uint16_t __attribute__((vector_size(bytes)));        \
    };
RASTREL_VECTORS(16)
RASTREL_VECTORS(32)
RASTREL_VECTORS(64)
#undef RASTREL_VECTORS

// The target's division of sample quotients (see sample_quotients() in formulas.h).
template <class Target>
struct SampleDivision {
    template <class F>
    [[gnu::always_inline]] F operator()(F d, F s) const {
        return Target::divide_samples(d, s);
    }
};

// Whether `Target` divides sample quotients without its divider, and `Pixel` forms only those.
// Such a target also converts a vector's worth of samples from memory (load_samples), which the
// compiler does poorly from the generic vectors at some widths.
template <class Target, class Pixel>
constexpr bool kDividesSamples = requires(typename Vectors<Target::kVectorBytes>::Floats v, const std::uint16_t* p,
                                          const Pixel& pixel) {
    pixel.sample_quotients();
    Target::divide_samples(v, v);
    Target::load_samples(p);
};

// The whole pairs of vectors among n pixels, where kDividesSamples: one vector of each pair
// through the target's division, the other through the divider, which then work side by side;
// where the processor's divider alone is the faster (Target::divider_alone()), the whole vectors
// through it. `load(k, i)` is band k's vector of floats from pixel i, `store(i, v)` writes pixels
// i onwards. Returns how many pixels it computed (none without such a division, or where the
// pixel's coefficients admit other quotients).
template <class Target, class Pixel, class Load, class Store, std::size_t... I>
[[gnu::always_inline]] inline std::size_t compute_vectors(const Pixel& pixel, std::size_t n, const Load& load,
                                                          const Store& store, std::index_sequence<I...>) noexcept {
    if constexpr (kDividesSamples<Target, Pixel>) {
        constexpr std::size_t kLanes = Vectors<Target::kVectorBytes>::kLanes;
        const Pixel p = pixel;
        if (!p.sample_quotients()) return 0;
        std::size_t i = 0;
        if (Target::divider_alone()) {
            for (; i + kLanes <= n; i += kLanes) store(i, p(load(I, i)...));
            return i;
        }
        for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
            store(i, p(load(I, i)..., SampleDivision<Target>{}));
            store(i + kLanes, p(load(I, i + kLanes)...));
        }
        return i;
    } else {
        return 0;
    }
}

// The one counted loop: a main vector loop and a tail that the compiler derives from it, with
// the same operations per element; after the pairs of vectors of compute_vectors unless kDivide
// is false (the divider alone, as the strided loops keep it). `out` never aliases a band (the output's borrow is
// exclusive, and a float32 array cannot be a view of a uint16 one's buffer under the registry).
template <class Target, class Pixel, std::size_t N, bool kDivide = true, std::size_t... I>
[[gnu::always_inline]] inline void compute(const Pixel& pixel, float* __restrict out, const Bands<N>& bands,
                                           std::size_t n, std::index_sequence<I...> seq) noexcept {
    // A copy, so that the coefficients sit in registers for the whole loop.
    const Pixel p = pixel;
    const std::uint16_t* const in[N] = {bands[I]...};
    std::size_t first = 0;
    if constexpr (kDivide && kDividesSamples<Target, Pixel>) {
        using Floats = typename Vectors<Target::kVectorBytes>::Floats;
        const auto load = [&in](std::size_t k, std::size_t i)
                              RASTREL_INLINE_LAMBDA -> Floats { return Target::load_samples(in[k] + i); };
        const auto store = [out](std::size_t i, Floats v) RASTREL_INLINE_LAMBDA { std::memcpy(out + i, &v, sizeof v); };
        first = compute_vectors<Target>(p, n, load, store, seq);
    }
    for (std::size_t i = first; i < n; ++i) store_pixel(out + i, p(load_sample(in[I] + i)...));
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
template <class Target, bool kDivide = true, class Pixel, std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline void compute_lanes(const Pixel& pixel, float* __restrict out, const Bands<N>& bands,
                                                 std::size_t n, std::index_sequence<I...> seq) noexcept {
    constexpr std::size_t kLanes = Vectors<Target::kVectorBytes>::kLanes;
    const std::size_t whole = n - n % kLanes;
    compute<Target, Pixel, N, kDivide>(pixel, out, bands, whole, seq);
    if (whole == n) return;
    alignas(64) std::uint16_t padded[N][kLanes] = {};
    alignas(64) float result[kLanes];
    for (std::size_t k = 0; k < N; ++k) std::memcpy(padded[k], bands[k] + whole, (n - whole) * sizeof(std::uint16_t));
    compute<Target, Pixel, N, kDivide>(pixel, result, Bands<N>{padded[I]...}, kLanes, seq);
    std::memcpy(out + whole, result, (n - whole) * sizeof(float));
}

// Streaming stores need an output aligned to the vector: the first elements up to the next cache
// line and the last partial block go through the cache, every whole block in between is computed
// into an aligned buffer and streamed out. Both ends of the streamed middle fall on cache-line
// boundaries, so no line is written both ways. `part(done, m, to)` computes the m elements from
// `done` on into `to`; false (nothing written) where the output cannot be streamed.
template <class Target, std::size_t kBlock, class Part>
[[gnu::always_inline]] inline bool stream_blocks(float* out, std::size_t n, const Part& part) noexcept {
    static_assert(kBlock * sizeof(float) % 64 == 0 && 64 % Target::kVectorBytes == 0);
    if constexpr (!Target::kStreams) return false;
    const auto address = reinterpret_cast<std::uintptr_t>(out);
    const std::size_t head = (64 - address % 64) % 64 / sizeof(float);
    if (address % sizeof(float) != 0 || n < head + kBlock) return false;
    if (head > 0) part(0, head, out);
    alignas(64) float block[kBlock];
    std::size_t done = head;
    for (; n - done >= kBlock; done += kBlock) {
        part(done, kBlock, block);
        Target::stream(out + done, block, kBlock);
    }
    if (done < n) part(done, n - done, out + done);
    Target::fence();
    return true;
}

template <class Target, class Pixel, std::size_t N, class Seq>
[[gnu::always_inline]] inline void compute_streaming(const Pixel& pixel, float* out, const Bands<N>& bands,
                                                     std::size_t n, Seq seq) noexcept {
    const auto part = [&](std::size_t done, std::size_t m, float* to) RASTREL_INLINE_LAMBDA {
        compute_lanes<Target>(pixel, to, advance(bands, done, seq), m, seq);
    };
    if (!stream_blocks<Target, kStreamBlock>(out, n, part)) compute_lanes<Target>(pixel, out, bands, n, seq);
}

template <class Target, class Pixel, std::size_t N>
[[gnu::always_inline]] inline void run_loop(const Pixel& pixel, float* out, const std::uint16_t* const* in,
                                            std::size_t n, Stores stores) noexcept {
    constexpr auto seq = std::make_index_sequence<N>{};
    const Bands<N> bands = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Bands<N>{in[I]...};
    }(seq);
    if (stores == Stores::kStreaming) return compute_streaming<Target>(pixel, out, bands, n, seq);
    compute_lanes<Target>(pixel, out, bands, n, seq);
}

}  // namespace rastrel::kernels::detail
