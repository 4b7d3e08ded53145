// The copy for AVX2: 32-byte vectors. The target is "avx2" alone, not "fma": with fused
// multiply-adds outside the instruction set, no contraction can creep in whatever the flags.
#if defined(__x86_64__)
// The formulas and the loop of every other sample take this target's vectors by value; they are
// always inlined into the entry points compiled for it, so no call passes a vector through the
// baseline's convention, which the compiler would warn of (for the headers below).
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include "core/targets/copies.h"

namespace rastrel::targets {
namespace {

struct Avx2 {
    static constexpr Isa kIsa = Isa::kAvx2;
    static constexpr bool kStreams = true;
    static constexpr std::size_t kVectorBytes = 32;
    [[gnu::target("avx2")]] static void stream(float* __restrict to, const float* __restrict from,
                                               std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 8) _mm256_stream_ps(to + i, _mm256_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
    // to[2i] = v[i] for the 8 lanes of v, leaving the elements in between untouched.
    [[gnu::target("avx2")]] static void store_pairs(float* to, __m256 v) noexcept {
        const __m256i low = _mm256_set_epi32(3, 3, 2, 2, 1, 1, 0, 0);
        const __m256i high = _mm256_set_epi32(7, 7, 6, 6, 5, 5, 4, 4);
        const __m256i even = _mm256_set_epi32(0, -1, 0, -1, 0, -1, 0, -1);
        _mm256_maskstore_ps(to, even, _mm256_permutevar8x32_ps(v, low));
        _mm256_maskstore_ps(to + 8, even, _mm256_permutevar8x32_ps(v, high));
    }
};

}  // namespace

RASTREL_TARGET_COPIES(kAvx2, Avx2, gnu::target("avx2"))

}  // namespace rastrel::targets
#endif
