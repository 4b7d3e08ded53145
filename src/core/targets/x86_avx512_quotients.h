#pragma once
// Quotients of uint16 samples without the divider, for the AVX-512 copy. In the first-level cache
// of Intel's cores the normalized difference, the ratio and the adjusted difference are bound by
// the divider (one 16-lane division every 8 to 10 cycles, against a few cycles for the rest of a
// vector of pixels), while the two floating-point ports sit half idle. A reciprocal estimate and a handful
// of fused multiply-adds on those ports give the very same bits, for the quotients these
// formulas form; the loops send every other vector through here and the rest through the
// divider, so that both work at once.
#if defined(__x86_64__)
#include <immintrin.h>

namespace rastrel::targets::avx512 {

// d / s rounded to nearest, the bits of the divider's result, where d = D / 2^k and s = S / 2^k
// for integers |D| < 2^20 and 0 < S < 2^20 (the same k), or d = 0: the quotients of
// kernels::NormalizedDifference, Ratio and AdjustedDifference over uint16 samples where their
// sample_quotients() says so, with the ratio's a / DENOM_EPSILON (b = 0) besides. Not for other
// operands.
//
// y is 1/s to within 1.07 * 2^-24 (relative): a 14-bit estimate, one Newton step, one rounding.
// q0 = d * y is then within 2.07 units in the last place of d / s, so the remainder
// r = d - s * q0 (2^k r = D - S * q0, a multiple of q0's unit below 2^23 of them) is exact in the
// fused multiply-add. q0 + r * y differs from d / s = q0 + r / s by |r / s| * 1.07 * 2^-24, under
// 2^-45.8 of the quotient, before its one rounding; and D / S is never nearer than 2^-25 / S of
// itself to a midpoint between two floats (a midpoint has 25 significant bits, D / S has at most
// 20 if it is a binary fraction at all, so the numerator of their difference over S * 2^j is a
// nonzero integer). With S < 2^20 that is more than 2^-45, so the rounding goes the divider's
// way. A zero dividend gives +0 at every step, as 0 / s does for s > 0. The ratio's quotients
// over DENOM_EPSILON are outside the argument; the tests check every pair of samples for the
// three formulas (the adjusted difference at l = 0.5, and at the edges of the l it admits).
//
// For arbitrary floats this shortcut is wrong in rare cases: one Newton step does not give the
// correctly rounded reciprocal, which the correction needs there.
[[gnu::target("avx512f")]] inline __m512 divide_samples(__m512 d, __m512 s) noexcept {
    // Every lane kept: the unmasked form reads an undefined register that the compiler warns of.
    const __m512 estimate = _mm512_maskz_rcp14_ps(0xFFFF, s);
    const __m512 error = _mm512_fnmadd_ps(s, estimate, _mm512_set1_ps(1.0f));
    const __m512 y = _mm512_fmadd_ps(error, estimate, estimate);
    const __m512 q0 = _mm512_mul_ps(d, y);
    const __m512 r = _mm512_fnmadd_ps(s, q0, d);
    return _mm512_fmadd_ps(r, y, q0);
}

}  // namespace rastrel::targets::avx512
#endif
