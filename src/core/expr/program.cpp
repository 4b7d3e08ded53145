#include "core/expr/program.h"

#include <utility>

#include "core/fault.h"

namespace rastrel {

namespace {

// Offsets below the band's extent are inside; an empty band has no pixel inside.
bool outside(const BandView& band, std::size_t row, std::size_t col) {
    return row >= band.rows || col >= band.cols;
}

// The first pixel of a rows x cols output, in row-major order, that lies outside `band`.
std::optional<std::pair<std::size_t, std::size_t>> first_outside(const BandView& band,
                                                                 std::size_t rows,
                                                                 std::size_t cols) {
    if (band.rows == 0 || band.cols == 0) return std::pair<std::size_t, std::size_t>{0, 0};
    if (band.cols < cols) return std::pair<std::size_t, std::size_t>{0, band.cols};
    if (band.rows < rows) return std::pair<std::size_t, std::size_t>{band.rows, 0};
    return std::nullopt;
}

// Replays the checks of the per-pixel evaluator for one pixel, in its order: within a push_band
// the band number comes first (a program fault), then the pixel's position, then the stack.
std::optional<PixelFault> fault_of_pixel(std::span<const Instruction> prog, const StackPlan& plan,
                                         std::span<const BandView> bands, std::size_t row,
                                         std::size_t col) {
    const std::size_t end = plan.fault ? plan.fault->step + 1 : prog.size();
    for (std::size_t s = 0; s < end; ++s) {
        const Instruction& ins = prog[s];
        if (ins.kind == OpCode::push_band && ins.band < bands.size() &&
            outside(bands[ins.band], row, col)) {
            return PixelFault{row, col, s, EvalFault::outside_band()};
        }
    }
    if (plan.fault) return PixelFault{row, col, plan.fault->step, plan.fault->fault};
    return std::nullopt;
}

}  // namespace

std::string EvalFault::message() const {
    if (kind == Kind::outside_band) return "ndarray: index out of bounds";
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void raise_eval_fault(const EvalFault& fault) { raise_fault(fault.message()); }

void raise_bounds_fault(std::uint64_t len, std::uint64_t index) {
    raise_eval_fault(EvalFault::bounds(len, index));
}

void raise_outside_band() { raise_eval_fault(EvalFault::outside_band()); }

StackPlan plan_stack(std::span<const Instruction> prog, std::size_t nbands) {
    StackPlan plan;
    plan.depth.reserve(prog.size() + 1);
    std::size_t n = 0;
    for (std::size_t s = 0; s < prog.size(); ++s) {
        plan.depth.push_back(static_cast<std::uint8_t>(n));
        const Instruction& ins = prog[s];
        std::optional<EvalFault> fault;
        if (ins.kind == OpCode::push_band && ins.band >= nbands) {
            fault = EvalFault::bounds(nbands, ins.band);
        } else if (op_operands(ins.kind) == 0 && n == kStackSlots) {
            fault = EvalFault::bounds(kStackSlots, kStackSlots);
        } else if (n < op_operands(ins.kind)) {
            fault = EvalFault::bounds(kStackSlots, op_underflow_slot(ins.kind, n));
        }
        if (fault) {
            plan.fault = StepFault{s, *fault};
            return plan;
        }
        n = static_cast<std::size_t>(static_cast<int>(n) + op_stack_effect(ins.kind));
    }
    plan.depth.push_back(static_cast<std::uint8_t>(n));
    return plan;
}

std::optional<PixelFault> first_fault(std::span<const Instruction> prog, const StackPlan& plan,
                                      std::span<const BandView> bands, std::size_t rows,
                                      std::size_t cols) {
    if (rows == 0 || cols == 0) return std::nullopt;
    // A program fault stops every pixel, so the very first pixel faults.
    if (plan.fault) return fault_of_pixel(prog, plan, bands, 0, 0);
    // Otherwise only positions outside a named band fault. The set of such pixels is a union over
    // the push_band steps, so its first member in row-major order is the least of each step's.
    std::optional<std::pair<std::size_t, std::size_t>> first;
    for (const Instruction& ins : prog) {
        if (ins.kind != OpCode::push_band) continue;
        const auto p = first_outside(bands[ins.band], rows, cols);
        if (p && (!first || *p < *first)) first = p;
    }
    if (!first) return std::nullopt;
    return fault_of_pixel(prog, plan, bands, first->first, first->second);
}

std::optional<PixelFault> validate(std::span<const Instruction> prog,
                                   std::span<const BandView> bands, std::size_t rows,
                                   std::size_t cols) {
    return first_fault(prog, plan_stack(prog, bands.size()), bands, rows, cols);
}

}  // namespace rastrel
