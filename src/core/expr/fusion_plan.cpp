#include "core/expr/fusion_plan.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "core/kernels/formulas.h"

namespace rastrel {

namespace {

bool is_finite(float v) { return std::isfinite(v); }

// Whether float32(sample) is the raw sample itself or tells samples apart exactly, so that the
// loop may compare it with the nodata value instead of the raw sample.
bool read_exactly(const BandInput& band) {
    switch (band.view.type) {
        case SampleType::u8:
        case SampleType::i8:
        case SampleType::u16:
        case SampleType::i16:
        case SampleType::f32: return !band.scaled();
        default: break;
    }
    return false;
}

template <FusedShape S>
void run_kernel(const kernels::RunTable& table, const FusedArgs& args, const OutputView& out, const BandView* bands,
                Stores stores) {
    const float* c = args.constants;
    if constexpr (S == FusedShape::normalized_difference) {
        table.block_of<kernels::NormalizedDifference>()({}, out, bands, stores);
    } else if constexpr (S == FusedShape::ratio) {
        table.block_of<kernels::Ratio>()({}, out, bands, stores);
    } else if constexpr (S == FusedShape::adjusted_difference) {
        // The program's own factor, which need not be l + 1.
        kernels::AdjustedDifference pixel(c[1]);
        pixel.factor = c[0];
        table.block_of<kernels::AdjustedDifference>()(pixel, out, bands, stores);
    } else {
        table.block_of<kernels::EnhancedVegetationIndex>()({c[0], c[1], c[2], c[3]}, out, bands, stores);
    }
}

}  // namespace

std::optional<FusionPlan> plan_fusion(const RegisterProgram& program, const std::optional<FusedFormula>& formula,
                                      std::span<const BandInput> bands, bool masks) {
    if (!formula) return std::nullopt;
    FusionPlan plan{*formula, FusedKind::floats, !masks};
    // With uint16 samples and finite scales, offsets and constants, no addition or
    // multiplication of a shape meets two NaN operands, which the plain loops need.
    bool samples = std::all_of(std::begin(formula->constants), std::end(formula->constants), is_finite);
    bool scaled = false;
    const auto in_shape = [&](std::size_t b) {
        for (std::size_t k = 0; k < shape_bands(formula->shape); ++k) {
            if (program.bands[formula->bands[k]] == b) return true;
        }
        return false;
    };
    for (std::size_t k = 0; k < shape_bands(formula->shape); ++k) {
        const BandInput& band = bands[program.bands[formula->bands[k]]];
        samples = samples && band.view.type == SampleType::u16 && is_finite(band.scale) && is_finite(band.offset);
        scaled = scaled || band.scaled();
    }
    if (samples) plan.kind = scaled ? FusedKind::scaled_samples : FusedKind::samples;
    for (std::size_t b = 0; b < bands.size(); ++b) {
        if (bands[b].nodata.kind == Nodata::Kind::none) continue;
        const bool raw = plan.kind != FusedKind::floats || read_exactly(bands[b]);
        plan.folded = plan.folded && in_shape(b) && raw;
    }
    return plan;
}

FusedArgs fused_args(const FusionPlan& plan, const RegisterProgram& program, std::span<const BandInput> bands,
                     float fill) {
    FusedArgs args{};
    std::copy(std::begin(plan.formula.constants), std::end(plan.formula.constants), args.constants);
    args.swaps = plan.formula.swaps;
    args.fill = fill;
    for (std::size_t k = 0; k < shape_bands(plan.formula.shape); ++k) {
        const BandInput& band = bands[program.bands[plan.formula.bands[k]]];
        args.scale[k] = band.scale;
        args.offset[k] = band.offset;
        args.nodata[k] = std::numeric_limits<float>::quiet_NaN();
        args.nan_nodata[k] = band.nodata.kind == Nodata::Kind::nan;
        if (band.nodata.kind != Nodata::Kind::equal) continue;
        // Exact: the sample types read_exactly admits convert without rounding.
        args.nodata[k] =
            band.view.type == SampleType::f32 ? band.nodata.value.f32 : static_cast<float>(band.nodata.value.integer);
    }
    return args;
}

FixedKernelFn fixed_kernel(FusedShape shape) {
    switch (shape) {
        case FusedShape::normalized_difference: return run_kernel<FusedShape::normalized_difference>;
        case FusedShape::ratio: return run_kernel<FusedShape::ratio>;
        case FusedShape::adjusted_difference: return run_kernel<FusedShape::adjusted_difference>;
        case FusedShape::evi: return run_kernel<FusedShape::evi>;
    }
    return nullptr;
}

}  // namespace rastrel
