// The copy for AVX2: 32-byte vectors. The target is "avx2" alone, not "fma": with fused
// multiply-adds outside the instruction set, no contraction can creep in whatever the flags.
#if defined(__x86_64__)
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
};

}  // namespace

RASTREL_TARGET_COPIES(kAvx2, Avx2, gnu::target("avx2"))

}  // namespace rastrel::targets
#endif
