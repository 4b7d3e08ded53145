// The copy for the baseline every x86-64 processor has: SSE2, 16-byte vectors, with streaming
// stores for outputs far larger than the caches.
#if defined(__x86_64__)
#include <immintrin.h>

#include "core/targets/copies.h"

namespace rastrel::targets {
namespace {

struct Sse2 {
    static constexpr Isa kIsa = Isa::kSse2;
    static constexpr bool kStreams = true;
    static constexpr std::size_t kVectorBytes = 16;
    static void stream(float* __restrict to, const float* __restrict from, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 4) _mm_stream_ps(to + i, _mm_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
};

}  // namespace

RASTREL_TARGET_COPIES(kSse2, Sse2, )

}  // namespace rastrel::targets
#endif
