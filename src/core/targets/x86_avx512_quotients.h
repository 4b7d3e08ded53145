#pragma once
// Quotients of uint16 samples without the divider, for the AVX-512 copy. In the first-level cache
// the normalized difference and the ratio are bound by the divider (one 16-lane division every
// 8 cycles or so, against a few cycles for the rest of a pixel's vector), while the two
// floating-point ports sit half idle. A reciprocal estimate and a handful of fused multiply-adds
// on those ports give the very same bits, for the quotients these formulas form; the loops send
// every other vector through here and the rest through the divider, so both work at once.
#if defined(__x86_64__)
#include <immintrin.h>

namespace rastrel::targets::avx512 {

// d / s rounded to nearest, the bits of the divider's result, for d = a - b or a and
// s = (a + b) + DENOM_EPSILON or b + DENOM_EPSILON, where a and b are uint16 samples (converted
// exactly). Not for other operands.
//
// y is 1/s to about 2^-24 (relative): a 14-bit estimate and one Newton step. q0 = d * y is then
// within 3 units in the last place of d / s, and since d and s are integers (s < 2^17), the
// remainder r = d - s * q0 is a multiple of q0's unit with fewer than 24 significant bits: the
// fused multiply-add gives it exactly. q0 + r * y differs from d / s by at most |r / s| * 2^-24,
// under 2^-45 of the quotient, before its one rounding; and a quotient of such integers is
// never nearer than 2^-42 of itself to a midpoint between two floats (its numerator over s * 2^k
// would need 25 significant bits to be one), so the rounding goes the divider's way. A zero
// dividend gives +0 at every step, as 0 / s does. The one divisor that is no integer,
// DENOM_EPSILON (b = 0 or a + b = 0), meets 65536 dividends at most; the tests check every pair
// of samples for both formulas, this case with them.
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
