// The runs for the baseline every x86-64 processor has: SSE2, 16-byte vectors.
#include <immintrin.h>

#include "core/kernels/run_loops.h"

namespace rastrel::kernels {
namespace {

struct Sse2 {
    static constexpr std::size_t kVectorBytes = 16;
    static void stream(float* __restrict out, const float* __restrict from, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 4) _mm_stream_ps(out + i, _mm_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
};

template <class Pixel, std::size_t N>
void run(const Pixel& pixel, float* out, const std::uint16_t* const* bands, std::size_t n, Stores stores) noexcept {
    detail::run_loop<Sse2, Pixel, N>(pixel, out, bands, n, stores);
}

}  // namespace

namespace detail {
extern const RunTable kSse2Runs{"sse2", run<NormalizedDifference, 2>, run<Ratio, 2>, run<AdjustedDifference, 2>,
                               run<EnhancedVegetationIndex, 3>};
}  // namespace detail

}  // namespace rastrel::kernels
