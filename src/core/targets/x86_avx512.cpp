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
#include <x86intrin.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "core/targets/copies.h"
#include "core/targets/x86_avx512_quotients.h"

namespace rastrel::targets {
namespace {

// The first 512-bit instructions after the core has run none for a while (50 to 100 microseconds
// here) hold it up about 1.8 us, 256-bit ones about 0.4 (one processor, 64 x 64 of EVI in cache
// after a millisecond of scalar work: 2.6 us AVX-512, 1.3 AVX2, against 0.8 and 0.9 back to
// back). So the runs of a thread that starts after such a pause take the AVX2 copy until they
// add up to enough work to earn the wait back, and this one from then on until the next pause:
// a call after other work, or its lines one by one, never waits; calls back to back soon run
// at full width. The clock is the time-stamp counter, whose rate only sets the pause loosely:
// 2^16 ticks, 16 to 33 us at 2 to 4 GHz.
constexpr std::uint64_t kPauseTicks = std::uint64_t{1} << 16;
constexpr std::size_t kShortRun = std::size_t{16} << 10;

struct Streak {
    std::uint64_t last_end = 0;
    std::size_t pixels = 0;  // since the last pause, this run's included
};
thread_local Streak streak;

// The work from which the wider vectors earn the wait back (the same measurements at 4k to 256k
// pixels): the normalized difference and the ratio, whose wider vectors gain most (0.77 and 0.65
// of AVX2's time in cache), from about 32k pixels; EVI and the adjusted difference (0.95) from
// about 128k.
constexpr std::size_t wide_from(bool gains_most) noexcept {
    return gains_most ? std::size_t{32} << 10 : std::size_t{128} << 10;
}

template <class Pixel>
constexpr bool gains_most() noexcept {
    return std::is_same_v<Pixel, kernels::NormalizedDifference> || std::is_same_v<Pixel, kernels::Ratio>;
}

// Calls work(true) for a run of n pixels where this target's loops should run it, work(false)
// where the narrower ones should, as above. Compiled for the baseline, so that none of this
// target's instructions comes before the choice.
template <class Work>
void pace_work(std::size_t n, std::size_t wide, const Work& work) {
    Streak& s = streak;
    const std::uint64_t start = __rdtsc();
    if (start - s.last_end > kPauseTicks) s.pixels = 0;
    s.pixels += n;
    work(s.pixels >= wide);
    // A short run ends about when it started, as far as the pause goes: one reading of the
    // counter less on the calls where it shows most.
    s.last_end = n < kShortRun ? start : __rdtsc();
}

// Runs own(args...) or narrow(args...) for a run of n pixels.
template <class Fn, class... Args>
void run_paced(Fn own, Fn narrow, std::size_t n, std::size_t wide, const Args&... args) noexcept {
    pace_work(n, wide, [&](bool wide_enough) { (wide_enough || narrow == nullptr ? own : narrow)(args...); });
}

// Whether the divider alone outruns the pairs of divisions of kernels::detail::compute_vectors.
// On Intel's cores it takes 8 to 10 cycles a vector, and the estimate's fused multiply-adds beside
// it gain; AMD's (an EPYC of the Zen 5 family here) divide so much faster that the estimate only
// adds work: 64 x 1024 pixels in the second-level cache on one processor took 4.5-4.6 us through
// the divider alone against 5.3-5.4 in pairs (normalized difference, medians of bench_runs; the
// ratio 3.8-3.9 against 4.4-4.6). Compiled for the baseline, like every choice of loop; a test
// switches it to check both ways.
std::atomic<bool> g_divider_alone{amd_processor()};

struct Avx512 {
    static constexpr Isa kIsa = Isa::kAvx512;
    static constexpr bool kStreams = true;
    static constexpr std::size_t kVectorBytes = 64;
    [[gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")]] static void stream(
        float* __restrict to, const float* __restrict from, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; i += 16) _mm512_stream_ps(to + i, _mm512_load_ps(from + i));
    }
    static void fence() noexcept { _mm_sfence(); }
    // The quotients of the normalized difference and the ratio of samples, without the divider.
    [[gnu::target("avx512f")]] static __m512 divide_samples(__m512 d, __m512 s) noexcept {
        return avx512::divide_samples(d, s);
    }
    static bool divider_alone() noexcept { return g_divider_alone.load(std::memory_order_relaxed); }
    // 16 samples from `from` (any alignment), converted. Every lane kept: the unmasked forms read
    // an undefined register that the compiler warns of.
    [[gnu::target("avx512f")]] static __m512 load_samples(const std::uint16_t* from) noexcept {
        const __m256i samples = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        return _mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_maskz_cvtepu16_epi32(0xFFFF, samples));
    }
    template <class Pixel>
    static void pace(kernels::Run<Pixel> own, const Pixel& pixel, float* out, const std::uint16_t* const* bands,
                     std::size_t n, Stores stores) noexcept {
        static const kernels::RunTable* const narrow = kernels::run_table(Isa::kAvx2);
        run_paced(own, narrow != nullptr ? narrow->of<Pixel>() : nullptr, n, wide_from(gains_most<Pixel>()), pixel, out,
                  bands, n, stores);
    }
    template <class Pixel>
    static void pace_block(kernels::BlockRun<Pixel> own, const Pixel& pixel, const OutputView& out,
                           const BandView* bands, Stores stores) noexcept {
        static const kernels::RunTable* const narrow = kernels::run_table(Isa::kAvx2);
        run_paced(own, narrow != nullptr ? narrow->block_of<Pixel>() : nullptr, out.rows * out.cols,
                  wide_from(gains_most<Pixel>()), pixel, out, bands, stores);
    }
    template <FusedShape S, FusedKind K, bool kValid>
    static void pace_fused(FusedFn own, const FusedArgs& args, float* out, const void* const* bands, std::size_t n,
                           Stores stores) noexcept {
        static const FusedFn narrow =
            block_runs_for(Isa::kAvx2) != nullptr ? block_runs_for(Isa::kAvx2)->fused(S, K, kValid) : nullptr;
        constexpr bool kGainsMost = S == FusedShape::normalized_difference || S == FusedShape::ratio;
        run_paced(own, narrow, n, wide_from(kGainsMost), args, out, bands, n, stores);
    }
    // A whole expression call whose steps are not one fused loop (which paces itself), over n
    // pixels: bound to AVX2's loops or to these, as a run above; EVI's threshold, since which
    // formulas gain most from the wider vectors is not known here.
    static void pace_call(std::size_t n, void (*work)(const void* context, const BlockRuns* narrow),
                          const void* context) {
        static const BlockRuns* const narrow = block_runs_for(Isa::kAvx2);
        pace_work(n, wide_from(false), [&](bool wide_enough) { work(context, wide_enough ? nullptr : narrow); });
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

bool avx512_divider_alone() noexcept { return Avx512::divider_alone(); }
void set_avx512_divider_alone(bool alone) noexcept { g_divider_alone.store(alone, std::memory_order_relaxed); }

RASTREL_TARGET_COPIES(kAvx512, Avx512, gnu::target("avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512"))

}  // namespace rastrel::targets
#endif
