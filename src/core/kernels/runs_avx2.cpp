// The runs for AVX2: 32-byte vectors. The target is "avx2" alone, not "fma": with fused
// multiply-adds outside the instruction set, no contraction can creep in whatever the flags.
#include <immintrin.h>

#include "core/kernels/run_loops.h"

namespace rastrel::kernels {
namespace {

struct Avx2 {
    static constexpr std::size_t kVectorBytes = 32;
    [[gnu::target("avx2")]]
    static void stream(float* __restrict out, const float* __restrict from, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 8) _mm256_stream_ps(out + i, _mm256_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
};

template <class Pixel, std::size_t N>
[[gnu::target("avx2")]]
void run(const Pixel& pixel, float* out, const std::uint16_t* const* bands, std::size_t n, Stores stores) noexcept {
    detail::run_loop<Avx2, Pixel, N>(pixel, out, bands, n, stores);
}

}  // namespace

namespace detail {
extern const RunTable kAvx2Runs{"avx2", run<NormalizedDifference, 2>, run<Ratio, 2>, run<AdjustedDifference, 2>,
                               run<EnhancedVegetationIndex, 3>};
}  // namespace detail

}  // namespace rastrel::kernels
