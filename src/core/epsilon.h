#pragma once
#include <bit>
#include <cstdint>

namespace rastrel {

// The float32 nearest to 1e-10. Added to every divisor so that an all-zero pixel yields 0, not
// NaN; for any divisor of 1 or more it rounds away and leaves the quotient untouched.
inline constexpr float DENOM_EPSILON = std::bit_cast<float>(std::uint32_t{0x2EDBE6FF});

}  // namespace rastrel
