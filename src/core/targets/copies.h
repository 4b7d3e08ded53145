#pragma once
// How a per-target source builds its copy of every loop family. Each source in this directory
// defines a target policy and expands RASTREL_TARGET_COPIES once:
//
//   struct Avx2 {
//       static constexpr Isa kIsa = Isa::kAvx2;
//       static constexpr bool kStreams = true;             // stream() bypasses the caches
//       static constexpr std::size_t kVectorBytes = 32;
//       static void stream(float* __restrict to, const float* __restrict from, std::size_t n) noexcept;
//       static void fence() noexcept;                      // orders the streamed stores
//   };
//   RASTREL_TARGET_COPIES(kAvx2, Avx2, gnu::target("avx2"))
//
// A target may also choose, before any of its own instructions runs, which copy computes a
// contiguous run of the module's calls: `template <class Pixel> static void pace(kernels::Run<Pixel>
// own, pixel, out, bands, n, stores)`, compiled for the baseline, which calls `own` (this target's
// copy) or another. Its contiguous entries then go through pace in `IsaCopies::calls` only;
// `IsaCopies::kernels` keeps the target's own loops, which the tests check. Likewise pace_block
// (pieces), pace_fused (whole-formula loops) and pace_call (an expression call's other loops,
// bound per call: BlockRuns::pace), in `IsaCopies::calls` and `IsaCopies::call_blocks` only.
//
// The last arguments are the attributes of every entry point, empty for the build's baseline.
// The loops themselves are templates inlined into those entry points, so the compiler vectorises
// each at the width of its target; anything else the entry points call stays compiled for the
// baseline, and no code of a wider instruction set can leak into a function that runs before
// the processor's support is known. stream() takes a 64-byte aligned `to` and n a multiple of 16.
//
// A new family of loops gets one member in IsaCopies, its entry points in the macro, and
// nothing in the per-target sources.
#include <cstddef>
#include <cstdint>

#include "core/expr/block_loops.h"
#include "core/expr/fused_loops.h"
#include "core/isa.h"
#include "core/kernels/run_loops.h"
#include "core/kernels/runs.h"
#include "core/kernels/strided.h"
#include "core/kernels/tiles.h"

namespace rastrel::targets {

extern const IsaCopies kPortable;
#if defined(__x86_64__)
extern const IsaCopies kSse2;
extern const IsaCopies kAvx2;
extern const IsaCopies kAvx512;
// Whether the AVX-512 loops of sample quotients (kernels::detail::compute_vectors) send every
// vector through the divider, as they do on AMD's processors, or every other one through the
// division without it, as elsewhere. The setter is for tests, which check both ways on any
// processor; no loop may run meanwhile.
bool avx512_divider_alone() noexcept;
void set_avx512_divider_alone(bool alone) noexcept;
#endif

namespace detail {

template <class Target, class Pixel>
concept Paces = requires(kernels::Run<Pixel> own, const Pixel& pixel, float* out, const std::uint16_t* const* bands,
                         std::size_t n, Stores stores) {
    Target::template pace<Pixel>(own, pixel, out, bands, n, stores);
};

template <class Target, class Pixel, kernels::Run<Pixel> kOwn>
void paced(const Pixel& pixel, float* out, const std::uint16_t* const* bands, std::size_t n, Stores stores) noexcept {
    Target::template pace<Pixel>(kOwn, pixel, out, bands, n, stores);
}

template <class Target, class Pixel>
concept PacesBlocks = requires(kernels::BlockRun<Pixel> own, const Pixel& pixel, const OutputView& out,
                               const BandView* bands, Stores stores) {
    Target::template pace_block<Pixel>(own, pixel, out, bands, stores);
};

template <class Target, class Pixel, kernels::BlockRun<Pixel> kOwn>
void paced_block(const Pixel& pixel, const OutputView& out, const BandView* bands, Stores stores) noexcept {
    Target::template pace_block<Pixel>(kOwn, pixel, out, bands, stores);
}

template <class Target>
concept PacesFused = requires(FusedFn own, const FusedArgs& args, float* out, const void* const* bands, std::size_t n,
                              Stores stores) {
    Target::template pace_fused<FusedShape::ratio, FusedKind::samples, false>(own, args, out, bands, n, stores);
};

template <class Target, FusedShape S, FusedKind K, bool kValid, FusedFn kOwn>
void paced_fused(const FusedArgs& args, float* out, const void* const* bands, std::size_t n, Stores stores) noexcept {
    Target::template pace_fused<S, K, kValid>(kOwn, args, out, bands, n, stores);
}

// The whole-formula loops of `Entries` as the calls take them, through the target's pace_fused.
template <class Target, class Entries>
struct PacedFused {
    template <FusedShape S, FusedKind K, bool kValid>
    static void fused(const FusedArgs& args, float* out, const void* const* bands, std::size_t n, Stores stores) {
        paced_fused<Target, S, K, kValid, &Entries::template fused<S, K, kValid>>(args, out, bands, n, stores);
    }
};

template <class Target>
concept PacesCalls = requires(std::size_t n, void (*work)(const void*, const BlockRuns*), const void* context) {
    Target::pace_call(n, work, context);
};

template <class Target, class Entries>
BlockRuns paced_blocks(BlockRuns blocks) {
    if constexpr (PacesFused<Target>) blocks.fused = fused_loops::pick<PacedFused<Target, Entries>>;
    if constexpr (PacesCalls<Target>) blocks.pace = &Target::pace_call;
    return blocks;
}

}  // namespace detail

}  // namespace rastrel::targets

#define RASTREL_TARGET_COPIES(variable, Target, ...)                                                                 \
    namespace {                                                                                                      \
    struct Target##Entries {                                                                                         \
        template <class Pixel, std::size_t N>                                                                        \
        [[__VA_ARGS__]] static void kernel(const Pixel& pixel, float* out, const std::uint16_t* const* bands,        \
                                           std::size_t n, Stores stores) noexcept {                                  \
            kernels::detail::run_loop<Target, Pixel, N>(pixel, out, bands, n, stores);                               \
        }                                                                                                            \
        template <class Pixel, std::size_t N>                                                                        \
        static constexpr kernels::Run<Pixel> run_of(bool paced) noexcept {                                           \
            if constexpr (detail::Paces<Target, Pixel>) {                                                            \
                if (paced) return &detail::paced<Target, Pixel, &kernel<Pixel, N>>;                                  \
            }                                                                                                        \
            return &kernel<Pixel, N>;                                                                                \
        }                                                                                                            \
        template <class Pixel, std::size_t N>                                                                        \
        static constexpr kernels::BlockRun<Pixel> block_of(bool paced) noexcept {                                    \
            if constexpr (detail::PacesBlocks<Target, Pixel>) {                                                      \
                if (paced) return &detail::paced_block<Target, Pixel, &block<Pixel, N>>;                             \
            }                                                                                                        \
            return &block<Pixel, N>;                                                                                 \
        }                                                                                                            \
        template <class Pixel, std::size_t N>                                                                        \
        [[__VA_ARGS__]] static void strided(const Pixel& pixel, float* out, std::ptrdiff_t out_step,                 \
                                            const std::uint16_t* const* bands, const std::ptrdiff_t* steps,          \
                                            std::size_t n, Stores stores) noexcept {                                 \
            kernels::detail::run_strided<Target, Pixel, N>(pixel, out, out_step, bands, steps, n, stores);           \
        }                                                                                                            \
        template <class Pixel, std::size_t N>                                                                        \
        [[__VA_ARGS__]] static void block(const Pixel& pixel, const OutputView& out, const BandView* bands,          \
                                          Stores stores) noexcept {                                                  \
            kernels::detail::run_block<Target, Pixel, N>(pixel, out, bands, stores);                                 \
        }                                                                                                            \
        [[__VA_ARGS__]] static void gather(std::uint16_t* to, const std::uint16_t* from, std::ptrdiff_t step,        \
                                           std::size_t n) {                                                          \
            kernels::detail::gather_samples<Target::kVectorBytes>(to, from, step, n);                                \
        }                                                                                                            \
        [[__VA_ARGS__]] static void scatter(float* to, std::ptrdiff_t step, const float* from, std::size_t n) {      \
            kernels::detail::scatter_floats<Target>(to, step, from, n);                                              \
        }                                                                                                            \
        template <class A, class B, OpCode K, std::size_t N>                                                         \
        [[__VA_ARGS__]] static void binary(float* __restrict d, const void* a, const void* b, float sa, float sb,    \
                                           std::size_t n) {                                                          \
            block_loops::binary<A, B, K>(d, a, b, sa, sb, N != 0 ? N : n);                                           \
        }                                                                                                            \
        template <class A, OpCode K, std::size_t N>                                                                  \
        [[__VA_ARGS__]] static void unary(float* __restrict d, const void* a, const void*, float sa, float,          \
                                          std::size_t n) {                                                           \
            block_loops::unary<A, K>(d, a, sa, N != 0 ? N : n);                                                      \
        }                                                                                                            \
        template <class A, std::size_t N>                                                                            \
        [[__VA_ARGS__]] static void copy(float* __restrict d, const void* a, const void*, float sa, float,           \
                                         std::size_t n) {                                                            \
            block_loops::copy<A>(d, a, sa, N != 0 ? N : n);                                                          \
        }                                                                                                            \
        static void stream(float* to, const float* from, std::size_t n) { Target::stream(to, from, n); }             \
        static void fence() { Target::fence(); }                                                                     \
        template <class T, bool kScaled>                                                                             \
        [[__VA_ARGS__]] static void convert(float* __restrict d, const void* s, float scale, float offset,           \
                                            std::size_t n) {                                                         \
            sample_loops::convert<T, kScaled>(d, s, scale, offset, n);                                               \
        }                                                                                                            \
        template <class T, bool kNan>                                                                                \
        [[__VA_ARGS__]] static std::uint8_t nodata(std::uint8_t* __restrict v, const void* s, const Nodata& nodata,  \
                                                   std::size_t n) {                                                  \
            if constexpr (kNan) {                                                                                    \
                return sample_loops::match_nan<T>(v, s, nodata, n);                                                  \
            } else {                                                                                                 \
                return sample_loops::match_equal<T>(v, s, nodata, n);                                                \
            }                                                                                                        \
        }                                                                                                            \
        [[__VA_ARGS__]] static std::uint8_t mask(std::uint8_t* __restrict v, const void* s, const Nodata& nodata,    \
                                                 std::size_t n) {                                                    \
            return sample_loops::mask_or(v, s, nodata, n);                                                           \
        }                                                                                                            \
        [[__VA_ARGS__]] static void fill(float* __restrict out, const std::uint8_t* v, float value, std::size_t n) { \
            sample_loops::fill_invalid(out, v, value, n);                                                            \
        }                                                                                                            \
        template <FusedShape S, FusedKind K, bool kValid>                                                            \
        [[__VA_ARGS__]] static void fused(const FusedArgs& a, float* out, const void* const* bands, std::size_t n,   \
                                          Stores stores) {                                                           \
            fused_loops::run<Target, S, K, kValid>(a, out, bands, n, stores);                                        \
        }                                                                                                            \
        static constexpr kernels::RunTable table(bool paced) noexcept {                                              \
            return {isa_name(Target::kIsa),                                                                          \
                    run_of<kernels::NormalizedDifference, 2>(paced),                                                 \
                    run_of<kernels::Ratio, 2>(paced),                                                                \
                    run_of<kernels::AdjustedDifference, 2>(paced),                                                   \
                    run_of<kernels::EnhancedVegetationIndex, 3>(paced),                                              \
                    &strided<kernels::NormalizedDifference, 2>,                                                      \
                    &strided<kernels::Ratio, 2>,                                                                     \
                    &strided<kernels::AdjustedDifference, 2>,                                                        \
                    &strided<kernels::EnhancedVegetationIndex, 3>,                                                   \
                    block_of<kernels::NormalizedDifference, 2>(paced),                                               \
                    block_of<kernels::Ratio, 2>(paced),                                                              \
                    block_of<kernels::AdjustedDifference, 2>(paced),                                                 \
                    block_of<kernels::EnhancedVegetationIndex, 3>(paced)};                                           \
        }                                                                                                            \
    };                                                                                                               \
    constexpr bool k##Target##Paces = detail::Paces<Target, kernels::NormalizedDifference>;                          \
    const kernels::RunTable Target##Runs = Target##Entries::table(false);                                            \
    const kernels::RunTable Target##PacedRuns = Target##Entries::table(k##Target##Paces);                            \
    const BlockRuns Target##Blocks{isa_name(Target::kIsa),                                                           \
                                   block_loops::pick<Target##Entries>,                                               \
                                   Target##Entries::stream,                                                          \
                                   Target##Entries::fence,                                                           \
                                   block_loops::pick_convert<Target##Entries>,                                       \
                                   block_loops::pick_nodata<Target##Entries>,                                        \
                                   Target##Entries::mask,                                                            \
                                   Target##Entries::fill,                                                            \
                                   Target##Entries::gather,                                                          \
                                   Target##Entries::scatter,                                                         \
                                   fused_loops::pick<Target##Entries>,                                               \
                                   nullptr};                                                                         \
    const BlockRuns Target##PacedBlocks = detail::paced_blocks<Target, Target##Entries>(Target##Blocks);             \
    constexpr bool k##Target##PacesBlocks = detail::PacesFused<Target> || detail::PacesCalls<Target>;                \
    }                                                                                                                \
    const IsaCopies variable{Target::kIsa,                                                                           \
                             isa_name(Target::kIsa),                                                                 \
                             Target::kStreams,                                                                       \
                             &Target##Runs,                                                                          \
                             k##Target##Paces ? &Target##PacedRuns : &Target##Runs,                                  \
                             &Target##Blocks,                                                                        \
                             k##Target##PacesBlocks ? &Target##PacedBlocks : &Target##Blocks};
