#include "core/expr/evaluator.h"

#include <array>

namespace rastrel {

namespace {

using Stack = std::array<float, kStackSlots>;

// One step of kind K on a stack holding n values. The checks of a push_band run in a fixed order
// (band number, then the pixel's position in the band, then room on the stack) because each
// raises a different text and callers can observe which one comes first.
template <OpCode K>
inline void step(const Instruction& ins, std::span<const BandView> bands, std::size_t row,
                 std::size_t col, Stack& stack, std::size_t& n) {
    if constexpr (K == OpCode::push_band) {
        if (ins.band >= bands.size()) raise_bounds_fault(bands.size(), ins.band);
        const BandView& band = bands[ins.band];
        if (row >= band.rows || col >= band.cols) raise_outside_band();
        if (n == kStackSlots) raise_bounds_fault(kStackSlots, kStackSlots);
        stack[n++] = band_sample(band, row, col);
    } else if constexpr (K == OpCode::push_scalar) {
        if (n == kStackSlots) raise_bounds_fault(kStackSlots, kStackSlots);
        stack[n++] = ins.scalar;
    } else if constexpr (op_operands(K) == 2) {
        if (n < 2) raise_bounds_fault(kStackSlots, op_underflow_slot(K, n));
        stack[n - 2] = apply_binary<K>(stack[n - 2], stack[n - 1]);
        --n;
    } else {
        if (n < 1) raise_bounds_fault(kStackSlots, op_underflow_slot(K, n));
        stack[n - 1] = apply_unary<K>(stack[n - 1]);
    }
}

}  // namespace

float evaluate_pixel(std::span<const Instruction> prog, std::span<const BandView> bands,
                     std::size_t row, std::size_t col) {
    // All slots start at zero so that slot 0, the result, is 0.0 for an empty program.
    Stack stack{};
    std::size_t n = 0;
    for (const Instruction& ins : prog) {
        switch (ins.kind) {
#define RASTREL_OP_CASE(name, operands, probe)                       \
    case OpCode::name:                                               \
        step<OpCode::name>(ins, bands, row, col, stack, n);          \
        break;
            RASTREL_OPCODES(RASTREL_OP_CASE)
#undef RASTREL_OP_CASE
        }
    }
    // The bottom of the stack, not the top: a program that leaves several values yields the first.
    return stack[0];
}

void evaluate_rect(std::span<const Instruction> prog, std::span<const BandView> bands,
                   const OutputView& out, std::size_t row_begin, std::size_t row_end,
                   std::size_t col_begin, std::size_t col_end) {
    for (std::size_t r = row_begin; r < row_end; ++r) {
        float* line = out.data + static_cast<std::ptrdiff_t>(r) * out.row_stride;
        for (std::size_t c = col_begin; c < col_end; ++c) {
            store_pixel(line + static_cast<std::ptrdiff_t>(c) * out.col_stride,
                        evaluate_pixel(prog, bands, r, c));
        }
    }
}

void evaluate_all(std::span<const Instruction> prog, std::span<const BandView> bands,
                  const OutputView& out) {
    evaluate_rect(prog, bands, out, 0, out.rows, 0, out.cols);
}

}  // namespace rastrel
