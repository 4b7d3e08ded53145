#pragma once
// Per-pixel formulas of the band indices. Each operation is one float32 operation rounded on its
// own, in exactly this order; the build forbids contraction into fused multiply-adds, so the
// vectorised, remainder and strided loops all give bit-identical pixels. Each takes float32
// samples one at a time, or as the compiler's generic vectors of them (lane by lane the same
// operations).
#include "core/epsilon.h"

namespace rastrel::kernels {

// The division of the formulas: d / s as IEEE rounds it.
struct Divides {
    template <class F>
    [[gnu::always_inline]] F operator()(F d, F s) const {
        return d / s;
    }
};

// The normalized difference and the ratio take their division as an argument: over uint16
// samples, every quotient they can form is one that a target's division without the divider
// (kSampleQuotients, see the AVX-512 copy) is checked to round exactly as d / s does, pair of
// samples by pair of samples. The other formulas' divisors depend on coefficients of any value.
struct NormalizedDifference {
    static constexpr bool kSampleQuotients = true;
    template <class F, class Divide = Divides>
    [[gnu::always_inline]] F operator()(F a, F b, Divide divide = {}) const {
        const F d = a - b;
        F s = a + b;
        s = s + DENOM_EPSILON;
        return divide(d, s);
    }
};

struct Ratio {
    static constexpr bool kSampleQuotients = true;
    template <class F, class Divide = Divides>
    [[gnu::always_inline]] F operator()(F a, F b, Divide divide = {}) const {
        const F s = b + DENOM_EPSILON;
        return divide(a, s);
    }
};

struct AdjustedDifference {
    float l;
    float factor;  // l + 1, computed once per call

    explicit AdjustedDifference(float l_) : l(l_), factor(l_ + 1.0f) {}

    template <class F>
    [[gnu::always_inline]] F operator()(F a, F b) const {
        const F d = a - b;
        F s = a + b;
        s = s + l;
        s = s + DENOM_EPSILON;
        const F q = d / s;
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
