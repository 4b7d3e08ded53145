#pragma once
// Whether a call of a program can run one of the fused formulas' loops, and with what: how the
// loop reads its bands, whether it tests their nodata values itself, its arguments, and the
// fixed kernel that walks the pieces whose strides the fused loop cannot read in place.
// Interpreter-free.
#include <optional>
#include <span>

#include "core/expr/fused.h"
#include "core/expr/register_program.h"
#include "core/kernels/runs.h"
#include "core/samples.h"
#include "core/views.h"

namespace rastrel {

// How a fused shape reads its bands, and whether its loop tests their nodata values itself.
struct FusionPlan {
    FusedFormula formula;
    FusedKind kind;
    bool folded;  // every nodata test is the loop's, and no mask is read
};

// The plan for `formula` (the shape the program was found to compute, if any) over these bands;
// `masks`: whether the call reads masks besides.
std::optional<FusionPlan> plan_fusion(const RegisterProgram& program, const std::optional<FusedFormula>& formula,
                                      std::span<const BandInput> bands, bool masks);

// What the plan's loop reads besides the bands; `fill` is the value of invalid pixels.
FusedArgs fused_args(const FusionPlan& plan, const RegisterProgram& program, std::span<const BandInput> bands,
                     float fill);

// The fixed kernel of a shape, run over uint16 bands with the shape's own constants, from one
// copy's table of kernels. Same operations as the fused loop, hence the same bits.
using FixedKernelFn = void (*)(const kernels::RunTable& table, const FusedArgs& args, const OutputView& out,
                               const BandView* bands, Stores stores);
FixedKernelFn fixed_kernel(FusedShape shape);

}  // namespace rastrel
