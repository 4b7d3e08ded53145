#pragma once
// Per-pixel formulas of the band indices. Each operation is one float32 operation rounded on its
// own, in exactly this order; the build forbids contraction into fused multiply-adds, so the
// vectorised, remainder and strided loops all give bit-identical pixels.
#include "core/epsilon.h"

namespace rastrel::kernels {

struct NormalizedDifference {
    float operator()(float a, float b) const {
        const float d = a - b;
        float s = a + b;
        s = s + DENOM_EPSILON;
        return d / s;
    }
};

struct Ratio {
    float operator()(float a, float b) const {
        const float s = b + DENOM_EPSILON;
        return a / s;
    }
};

struct AdjustedDifference {
    float l;
    float factor;  // l + 1, computed once per call

    explicit AdjustedDifference(float l_) : l(l_), factor(l_ + 1.0f) {}

    float operator()(float a, float b) const {
        const float d = a - b;
        float s = a + b;
        s = s + l;
        s = s + DENOM_EPSILON;
        const float q = d / s;
        return factor * q;
    }
};

struct EnhancedVegetationIndex {
    float g, c1, c2, l;

    float operator()(float n, float r, float b) const {
        const float d = n - r;
        float t = c1 * r;
        t = t + n;
        const float u = c2 * b;
        t = t - u;
        t = t + l;
        t = t + DENOM_EPSILON;
        const float q = d / t;
        return g * q;
    }
};

}  // namespace rastrel::kernels
