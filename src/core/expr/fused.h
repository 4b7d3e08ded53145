#pragma once
// Whole formulas in one loop. The block evaluator runs a program one step at a time over runs of
// pixels, each step storing its run for the next one to load; for the few formulas that most
// calls compute (the normalized difference, the ratio, the adjusted difference and the enhanced
// vegetation index) a loop that does every step in registers, reading the bands and testing
// their nodata values on the way, is worth having. The loops perform the program's own float32
// operations in the program's order, so they give its bits. Interpreter-free.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/expr/register_program.h"
#include "core/isa.h"

namespace rastrel {

enum class FusedShape : std::uint8_t {
    normalized_difference,  // (a - b) / (a + b)
    ratio,  // a / b
    adjusted_difference,  // f * ((a - b) / ((a + b) + l))
    evi,  // g * ((n - r) / (((n + c1 * r) - c2 * b) + l))
};

constexpr std::size_t shape_bands(FusedShape shape) { return shape == FusedShape::evi ? 3 : 2; }

inline constexpr std::size_t kFusedBands = 3;  // the most bands a shape reads
inline constexpr std::size_t kFusedConstants = 4;

// How a fused loop reads its bands.
enum class FusedKind : std::uint8_t {
    samples,  // uint16 samples, converted exactly
    scaled_samples,  // uint16 samples, converted, times scale, plus offset
    floats,  // float32 values: float32 bands as they lie, others converted beforehand
};

// What one call's loop reads besides the bands, in the shape's band order.
struct FusedArgs {
    // f, l for the adjusted difference; g, c1, c2, l for the index.
    float constants[kFusedConstants];
    // Bit k: the k-th addition or multiplication the shape performs takes its operands the
    // other way round from the comments above. Only the result of two NaN operands depends on
    // it.
    std::uint32_t swaps;
    float nodata[kFusedBands];  // a value equal to it marks the pixel invalid; NaN for none
    bool nan_nodata[kFusedBands];  // a NaN value marks the pixel invalid
    float scale[kFusedBands], offset[kFusedBands];  // scaled_samples only
    float fill;  // the value of invalid pixels
};

// out[i] = the shape over bands[k][i], or fill where `valid` loops find a nodata value; bands
// are runs of the kind's samples, aligned to their item size, and out is aligned to float.
// With Stores::kStreaming, whole cache lines of out are written past the caches (and fenced).
// Never raises.
using FusedFn = void (*)(const FusedArgs& args, float* out, const void* const* bands, std::size_t n, Stores stores);

// A program found to compute one of the shapes.
struct FusedFormula {
    FusedShape shape;
    std::uint32_t bands[kFusedBands];  // positions in RegisterProgram::bands, in the shape's order
    float constants[kFusedConstants];
    std::uint32_t swaps;
};

// The shape `program` computes with the very same operations, or nothing.
std::optional<FusedFormula> match_fused(const RegisterProgram& program);

}  // namespace rastrel
