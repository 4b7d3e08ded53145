#pragma once
// The loops behind every copy of the fused formulas (fused.h). Included only by the per-target
// sources (targets/), whose entry points inline these into functions compiled for their own
// instruction set, where the compiler vectorises them at that width. Nothing here may name an
// instruction-set intrinsic; the streaming store comes in through the `Target` policy.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/epsilon.h"
#include "core/expr/evaluator.h"
#include "core/expr/fused.h"
#include "core/kernels/run_loops.h"

namespace rastrel::fused_loops {

// Additions and multiplications as the engine performs them: which of two NaN operands the
// result carries depends on their order, so the program's order is kept. `swap` is all ones or
// all zeros, a select of bits that the loops vectorise.
struct InOrder {
    template <OpCode K>
    static float op(float a, float b, std::uint32_t swap) {
        const std::uint32_t x = std::bit_cast<std::uint32_t>(a), y = std::bit_cast<std::uint32_t>(b);
        return apply_binary<K>(std::bit_cast<float>((x & ~swap) | (y & swap)),
                               std::bit_cast<float>((y & ~swap) | (x & swap)));
    }
};

// The same where no operation of the shape can meet two NaN operands (integer samples, finite
// scale, offset and constants): then every order gives the same bits, and the plain operation
// is cheaper.
struct AnyOrder {
    template <OpCode K>
    static float op(float a, float b, std::uint32_t) {
        if constexpr (K == OpCode::add) {
            return a + b;
        } else {
            return a * b;
        }
    }
};

template <FusedKind K>
using Sample = std::conditional_t<K == FusedKind::floats, float, std::uint16_t>;

template <FusedKind K>
using Order = std::conditional_t<K == FusedKind::floats, InOrder, AnyOrder>;

template <FusedShape S, class A>
[[gnu::always_inline]] inline float formula(const float* c, const std::uint32_t* s, const float* v) {
    using K = OpCode;
    if constexpr (S == FusedShape::normalized_difference) {
        const float d = apply_binary<K::sub>(v[0], v[1]);
        const float t = A::template op<K::add>(v[0], v[1], s[0]);
        return apply_binary<K::div>(d, t);
    } else if constexpr (S == FusedShape::ratio) {
        return apply_binary<K::div>(v[0], v[1]);
    } else if constexpr (S == FusedShape::adjusted_difference) {
        const float d = apply_binary<K::sub>(v[0], v[1]);
        float t = A::template op<K::add>(v[0], v[1], s[0]);
        t = A::template op<K::add>(t, c[1], s[1]);
        const float q = apply_binary<K::div>(d, t);
        return A::template op<K::mul>(c[0], q, s[2]);
    } else {
        const float d = apply_binary<K::sub>(v[0], v[1]);
        const float p = A::template op<K::mul>(c[1], v[1], s[0]);
        float t = A::template op<K::add>(v[0], p, s[1]);
        const float u = A::template op<K::mul>(c[2], v[2], s[2]);
        t = apply_binary<K::sub>(t, u);
        t = A::template op<K::add>(t, c[3], s[3]);
        const float q = apply_binary<K::div>(d, t);
        return A::template op<K::mul>(c[0], q, s[4]);
    }
}

// All ones where `set`, else zeros: masks as wide as the floats they select, which the loops
// vectorise at every width.
[[gnu::always_inline]] inline std::uint32_t ones_if(bool set) { return set ? ~std::uint32_t{0} : 0; }

// One band's value; `invalid` gains all ones if its raw sample marks the pixel invalid.
template <FusedKind K, bool kValid>
[[gnu::always_inline]] inline float value(Sample<K> sample, float nodata, std::uint32_t nan_nodata, float scale,
                                          float offset, std::uint32_t& invalid) {
    float v = static_cast<float>(sample);
    if constexpr (kValid) {
        invalid |= ones_if(v == nodata);
        if constexpr (K == FusedKind::floats) invalid |= ones_if(v != v) & nan_nodata;
    }
    if constexpr (K == FusedKind::scaled_samples) {
        // Two roundings, in this order; the build never fuses them.
        v = v * scale;
        v = v + offset;
    }
    return v;
}

// The fixed kernels' loop of vector pairs (kernels::detail::compute_vectors) for the normalized
// difference, the ratio and the adjusted difference of uint16 samples: their quotients are the
// kernels' own, d / (t + DENOM_EPSILON) with the same d and t, so the target's division without
// the divider gives the divider's bits for every vector where it does for the kernels (for the
// adjusted difference, l permitting). Returns how many pixels it computed (none for the index,
// other kinds and targets). Not for pixels tested against nodata: with the test in this loop the
// compiler compared lane by lane (a 1024 x 1024 NDVI with nodata took 8 times the kernel's time),
// while the per-pixel loop below vectorises the test whole.
template <class Target, FusedShape S, FusedKind K, bool kValid, std::size_t... I>
[[gnu::always_inline]] inline std::size_t compute_vectors(const FusedArgs& args, float* __restrict out,
                                                          const Sample<K>* const* in, std::size_t n,
                                                          std::index_sequence<I...>) {
    constexpr bool kShape = S != FusedShape::evi;
    if constexpr (K == FusedKind::samples && kShape && !kValid &&
                  kernels::detail::kDividesSamples<Target, kernels::Ratio>) {
        using Floats = typename kernels::detail::Vectors<Target::kVectorBytes>::Floats;
        const auto load = [in](std::size_t k, std::size_t i)
                              RASTREL_INLINE_LAMBDA -> Floats { return Target::load_samples(in[k] + i); };
        const auto store = [out](std::size_t i, Floats v) RASTREL_INLINE_LAMBDA { std::memcpy(out + i, &v, sizeof v); };
        const auto pixels = [&](const auto& pixel) RASTREL_INLINE_LAMBDA {
            return kernels::detail::compute_vectors<Target>(pixel, n, load, store, std::index_sequence<I...>{});
        };
        if constexpr (S == FusedShape::normalized_difference) {
            return pixels(kernels::NormalizedDifference{});
        } else if constexpr (S == FusedShape::adjusted_difference) {
            // The kernel's operations exactly, with the formula's own factor.
            kernels::AdjustedDifference pixel(args.constants[1]);
            pixel.factor = args.constants[0];
            return pixels(pixel);
        } else {
            return pixels(kernels::Ratio{});
        }
    } else {
        return 0;
    }
}

template <class Target, FusedShape S, FusedKind K, bool kValid, std::size_t... I>
[[gnu::always_inline]] inline void compute(const FusedArgs& args, float* __restrict out, const Sample<K>* const* bands,
                                           std::size_t n, std::index_sequence<I...> seq) {
    // Copies, so that everything sits in registers for the whole loop.
    const Sample<K>* const in[] = {bands[I]...};
    const float c[kFusedConstants] = {args.constants[0], args.constants[1], args.constants[2], args.constants[3]};
    std::uint32_t s[5];
    for (unsigned k = 0; k < 5; ++k) s[k] = ones_if((args.swaps >> k & 1) != 0);
    const float nodata[] = {args.nodata[I]...};
    const std::uint32_t nan_nodata[] = {ones_if(args.nan_nodata[I])...};
    const float scale[] = {args.scale[I]...};
    const float offset[] = {args.offset[I]...};
    const std::uint32_t fill = std::bit_cast<std::uint32_t>(args.fill);
    const std::size_t first = compute_vectors<Target, S, K, kValid>(args, out, in, n, seq);
    for (std::size_t i = first; i < n; ++i) {
        std::uint32_t invalid = 0;
        const float v[] = {value<K, kValid>(in[I][i], nodata[I], nan_nodata[I], scale[I], offset[I], invalid)...};
        const float r = formula<S, Order<K>>(c, s, v);
        if constexpr (kValid) {
            out[i] = std::bit_cast<float>((std::bit_cast<std::uint32_t>(r) & ~invalid) | (fill & invalid));
        } else {
            out[i] = r;
        }
    }
}

template <class Target, FusedShape S, FusedKind K, bool kValid>
[[gnu::always_inline]] inline void run(const FusedArgs& args, float* out, const void* const* bands, std::size_t n,
                                       Stores stores) {
    constexpr std::size_t N = shape_bands(S);
    constexpr auto seq = std::make_index_sequence<N>{};
    const Sample<K>* in[N];
    for (std::size_t k = 0; k < N; ++k) in[k] = static_cast<const Sample<K>*>(bands[k]);
    const auto part = [&](std::size_t done, std::size_t m, float* to) RASTREL_INLINE_LAMBDA {
        std::array<const Sample<K>*, N> moved;
        for (std::size_t k = 0; k < N; ++k) moved[k] = in[k] + done;
        compute<Target, S, K, kValid>(args, to, moved.data(), m, seq);
    };
    if (stores == Stores::kStreaming && kernels::detail::stream_blocks<Target, kernels::detail::kStreamBlock>(out, n, part))
        return;
    compute<Target, S, K, kValid>(args, out, in, n, seq);
}

template <class F>
FusedFn with_shape(FusedShape shape, const F& f) {
    switch (shape) {
        case FusedShape::normalized_difference:
            return f(std::integral_constant<FusedShape, FusedShape::normalized_difference>{});
        case FusedShape::ratio: return f(std::integral_constant<FusedShape, FusedShape::ratio>{});
        case FusedShape::adjusted_difference:
            return f(std::integral_constant<FusedShape, FusedShape::adjusted_difference>{});
        case FusedShape::evi: break;
    }
    return f(std::integral_constant<FusedShape, FusedShape::evi>{});
}

template <class F>
FusedFn with_kind(FusedKind kind, const F& f) {
    switch (kind) {
        case FusedKind::samples: return f(std::integral_constant<FusedKind, FusedKind::samples>{});
        case FusedKind::scaled_samples: return f(std::integral_constant<FusedKind, FusedKind::scaled_samples>{});
        case FusedKind::floats: break;
    }
    return f(std::integral_constant<FusedKind, FusedKind::floats>{});
}

// The entry point of `Entries` for a shape read as `kind`, testing nodata values if `valid`.
template <class Entries>
FusedFn pick(FusedShape shape, FusedKind kind, bool valid) {
    return with_shape(shape, [&](auto s) {
        return with_kind(kind, [&](auto k) -> FusedFn {
            constexpr FusedShape S = decltype(s)::value;
            constexpr FusedKind K = decltype(k)::value;
            return valid ? &Entries::template fused<S, K, true> : &Entries::template fused<S, K, false>;
        });
    });
}

}  // namespace rastrel::fused_loops
