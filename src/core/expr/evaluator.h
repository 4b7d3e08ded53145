#pragma once
// The per-pixel reference evaluator: a 16-slot float32 stack run once per output pixel. Faster
// paths must agree with it bit for bit, so the arithmetic of each op lives here once and is
// shared with them. Interpreter-free; runs on pool workers.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include <math.h>

#include "core/epsilon.h"
#include "core/expr/opcodes.h"
#include "core/expr/program.h"
#include "core/views.h"

namespace rastrel {

// One float32 operation each, rounded once; the build forbids contraction into fused
// multiply-adds, so these are the exact results every path must reproduce.
template <OpCode K>
inline float apply_binary(float a, float b) {
    if constexpr (K == OpCode::add || K == OpCode::mul) {
        // With two NaN operands the machine returns the one in a particular slot of the
        // instruction, and the compiler orders the operands of + and * as it likes, differently
        // in each loop. A NaN on the left therefore meets itself, which returns it whatever the
        // order. The choice is a select of bits, not a branch: the compiler will not compute an
        // operation that may raise a floating-point exception on a path that did not, so a branch
        // here would keep the loops over runs from vectorising.
        const std::uint32_t left_nan = a != a ? ~std::uint32_t{0} : 0;
        const float right = std::bit_cast<float>((std::bit_cast<std::uint32_t>(a) & left_nan) |
                                                 (std::bit_cast<std::uint32_t>(b) & ~left_nan));
        return K == OpCode::add ? a + right : a * right;
    } else if constexpr (K == OpCode::sub) {
        return a - b;
    } else if constexpr (K == OpCode::div) {
        // The guarded divisor is rounded to float32 before the quotient, as a separate step.
        const float divisor = b + DENOM_EPSILON;
        return a / divisor;
    } else if constexpr (K == OpCode::pow) {
        // The C library's own powf: a vectorised or wider pow rounds differently.
        return ::powf(a, b);
    } else {
        static_assert(op_operands(K) == 2, "not a binary op");
    }
}

template <OpCode K>
inline float apply_unary(float x) {
    if constexpr (K == OpCode::neg) {
        return -x;
    } else if constexpr (K == OpCode::abs) {
        return std::fabs(x);
    } else if constexpr (K == OpCode::sqrt) {
        return std::sqrt(x);
    } else {
        static_assert(op_operands(K) == 1, "not a unary op");
    }
}

// The sample of `band` at (row, col), which the caller has checked lies inside it.
inline float band_sample(const BandView& band, std::size_t row, std::size_t col) {
    return load_sample(band.data + static_cast<std::ptrdiff_t>(row) * band.row_stride +
                       static_cast<std::ptrdiff_t>(col) * band.col_stride);
}

// Runs `prog` for output pixel (row, col), reading band k of `bands` at the same position, and
// returns slot 0 of the stack (0.0 for an empty program). Throws Fault with the texts of
// EvalFault on the first step that cannot run. Thread-safe; allocates nothing.
float evaluate_pixel(std::span<const Instruction> prog, std::span<const BandView> bands,
                     std::size_t row, std::size_t col);

// Evaluates rows [row_begin, row_end) x columns [col_begin, col_end) of `out`, row by row, each
// row left to right; positions are absolute in `out` and in the bands. The rectangle must lie
// inside `out`. A fault stops at the faulting pixel; earlier pixels keep their new values.
void evaluate_rect(std::span<const Instruction> prog, std::span<const BandView> bands,
                   const OutputView& out, std::size_t row_begin, std::size_t row_end,
                   std::size_t col_begin, std::size_t col_end);

// Every pixel of `out`, in row-major order.
void evaluate_all(std::span<const Instruction> prog, std::span<const BandView> bands,
                  const OutputView& out);

}  // namespace rastrel
