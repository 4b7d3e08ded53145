// The copy for AVX-512 (the subset of the first server processors that had it): 64-byte vectors,
// asked for explicitly because the compiler otherwise keeps to 32-byte ones on some of these
// processors. This target implies fused multiply-adds; only the build's ban on contraction keeps
// them out, and the tests would see one.
#if defined(__x86_64__)
#include <immintrin.h>

#include "core/targets/copies.h"

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
};

}  // namespace

RASTREL_TARGET_COPIES(kAvx512, Avx512, gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512"))

}  // namespace rastrel::targets
#endif
