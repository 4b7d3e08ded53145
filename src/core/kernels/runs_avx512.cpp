// The runs for AVX-512 (the subset of the first server processors that had it): 64-byte
// vectors, asked for explicitly because the compiler otherwise keeps to 32-byte ones on some of
// these processors. This target implies fused multiply-adds; only the build's ban on contraction
// keeps them out, and the tests would see one.
#include <immintrin.h>

#include "core/kernels/run_loops.h"

namespace rastrel::kernels {
namespace {

struct Avx512 {
    static constexpr std::size_t kVectorBytes = 64;
    [[gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")]]
    static void stream(float* __restrict out, const float* __restrict from, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 16) _mm512_stream_ps(out + i, _mm512_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
};

template <class Pixel, std::size_t N>
[[gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")]]
void run(const Pixel& pixel, float* out, const std::uint16_t* const* bands, std::size_t n, Stores stores) noexcept {
    detail::run_loop<Avx512, Pixel, N>(pixel, out, bands, n, stores);
}

}  // namespace

namespace detail {
extern const RunTable kAvx512Runs{"avx512", run<NormalizedDifference, 2>, run<Ratio, 2>, run<AdjustedDifference, 2>,
                               run<EnhancedVegetationIndex, 3>};
}  // namespace detail

}  // namespace rastrel::kernels
