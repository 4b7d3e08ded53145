#pragma once
// Per-pixel formulas of the band indices. Each operation is one float32 operation rounded on its
// own, in exactly this order; the build forbids contraction into fused multiply-adds, so the
// vectorised, remainder and strided loops all give bit-identical pixels. Each takes float32
// samples one at a time, or as the compiler's generic vectors of them (lane by lane the same
// operations).
#include <cstdint>

#include "core/epsilon.h"

namespace rastrel::kernels {

// The division of the formulas: d / s as IEEE rounds it.
struct Divides {
    template <class F>
    [[gnu::always_inline]] F operator()(F d, F s) const {
        return d / s;
    }
};

// The normalized difference, the ratio and the adjusted difference take their division as an
// argument. Over uint16 samples, every quotient the first two can form is an integer over an
// integer below 2^17, or over DENOM_EPSILON: a target's division without the divider (see the
// AVX-512 copy) rounds every such quotient as d / s does, which the tests check pair of samples
// by pair of samples. sample_quotients() says whether the formula's quotients are all of that
// kind, for the adjusted difference a matter of l.
struct NormalizedDifference {
    constexpr bool sample_quotients() const { return true; }
    template <class F, class Divide = Divides>
    [[gnu::always_inline]] F operator()(F a, F b, Divide divide = {}) const {
        const F d = a - b;
        F s = a + b;
        s = s + DENOM_EPSILON;
        return divide(d, s);
    }
};

struct Ratio {
    constexpr bool sample_quotients() const { return true; }
    template <class F, class Divide = Divides>
    [[gnu::always_inline]] F operator()(F a, F b, Divide divide = {}) const {
        const F s = b + DENOM_EPSILON;
        return divide(a, s);
    }
};

// Whether the adjusted difference's quotients over uint16 samples are integers over integers
// below 2^20, once both are multiplied by the same 2^k: l >= 0 a multiple of 2^-k (k <= 3, so
// 0.5 and 0.25 among others) with 2^k * (2 * 65535 + l) < 2^20. Every divisor is then exact,
// (a + b) + l being a multiple of 2^-k below 2^(20 - k) and DENOM_EPSILON rounding away from it,
// except for a + b + l = 0, where the dividend is 0 too.
inline bool adjusted_sample_quotients(float l) noexcept {
    if (!(l >= 0.0f) || l >= 0x1p20f) return false;
    for (int k = 0; k <= 3; ++k) {
        const float scaled = l * static_cast<float>(1 << k);  // exact, below 2^23
        if (scaled == static_cast<float>(static_cast<std::int32_t>(scaled)))
            return static_cast<double>(1 << k) * (131070.0 + static_cast<double>(l)) < 0x1p20;
    }
    return false;
}

struct AdjustedDifference {
    float l;
    float factor;  // l + 1, computed once per call
    bool narrow_quotients;

    explicit AdjustedDifference(float l_) : l(l_), factor(l_ + 1.0f), narrow_quotients(adjusted_sample_quotients(l_)) {}

    bool sample_quotients() const { return narrow_quotients; }
    template <class F, class Divide = Divides>
    [[gnu::always_inline]] F operator()(F a, F b, Divide divide = {}) const {
        const F d = a - b;
        F s = a + b;
        s = s + l;
        s = s + DENOM_EPSILON;
        const F q = divide(d, s);
        return factor * q;
    }
};

struct EnhancedVegetationIndex {
    float g, c1, c2, l;

    template <class F>
    [[gnu::always_inline]] F operator()(F n, F r, F b) const {
        const F d = n - r;
        F t = c1 * r;
        t = t + n;
        const F u = c2 * b;
        t = t - u;
        t = t + l;
        t = t + DENOM_EPSILON;
        const F q = d / t;
        return g * q;
    }
};

}  // namespace rastrel::kernels
