// The copy for AVX-512 (the subset of the first server processors that had it): 64-byte vectors,
// asked for explicitly because the compiler otherwise keeps to 32-byte ones on some of these
// processors. This target implies fused multiply-adds; only the build's ban on contraction keeps
// them out, and the tests would see one.
#if defined(__x86_64__)
// The formulas and the loop of every other sample take this target's vectors by value; they are
// always inlined into the entry points compiled for it, so no call passes a vector through the
// baseline's convention, which the compiler would warn of (for the headers below).
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include "core/targets/copies.h"
#include "core/targets/x86_avx512_quotients.h"

namespace rastrel::targets {
namespace {

struct Avx512 {
    static constexpr Isa kIsa = Isa::kAvx512;
    static constexpr bool kStreams = true;
    static constexpr std::size_t kVectorBytes = 64;
    [[gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")]]
    static void stream(float* __restrict to, const float* __restrict from, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 16) _mm512_stream_ps(to + i, _mm512_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
    // The quotients of the normalized difference and the ratio of samples, without the divider.
    [[gnu::target("avx512f")]] static __m512 divide_samples(__m512 d, __m512 s) noexcept {
        return avx512::divide_samples(d, s);
    }
    // 16 samples from `from` (any alignment), converted. Every lane kept: the unmasked forms read
    // an undefined register that the compiler warns of.
    [[gnu::target("avx512f")]] static __m512 load_samples(const std::uint16_t* from) noexcept {
        const __m256i samples = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        return _mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_maskz_cvtepu16_epi32(0xFFFF, samples));
    }
    // to[2i] = v[i] for the 16 lanes of v, leaving the elements in between untouched.
    [[gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")]] static void store_pairs(
        float* to, __m512 v) noexcept {
        const __m512i low = _mm512_set_epi32(7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0);
        const __m512i high = _mm512_add_epi32(low, _mm512_set1_epi32(8));
        _mm512_mask_storeu_ps(to, 0x5555, _mm512_maskz_permutexvar_ps(0x5555, low, v));
        _mm512_mask_storeu_ps(to + 16, 0x5555, _mm512_maskz_permutexvar_ps(0x5555, high, v));
    }
};

}  // namespace

RASTREL_TARGET_COPIES(kAvx512, Avx512, gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512"))

}  // namespace rastrel::targets
#endif
