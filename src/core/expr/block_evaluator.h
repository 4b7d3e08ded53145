#pragma once
// Evaluation of an expression program over runs of pixels instead of one pixel at a time: the
// program is checked once for the whole output, lowered to registers (register_program.h), and
// each step then runs as one tight loop (block_runs.h) over a run of a few hundred pixels of one
// line, its loop chosen once per call rather than per pixel. Every pixel sees the float32
// operations of the per-pixel evaluator in the same order, so results are bit-identical to it.
// Interpreter-free.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/expr/block_runs.h"
#include "core/expr/program.h"
#include "core/expr/register_program.h"
#include "core/views.h"

namespace rastrel {

// A register program bound to the views of one call: which loop each step runs, how each band
// and the output are reached, and along which axis runs go. Shared read-only by all pieces.
class BlockProgram {
public:
    // `program` must read only bands that `bands` holds, each covering the output's extent
    // (validate() found no fault). Allocates.
    BlockProgram(const RegisterProgram& program, std::span<const BandView> bands, const OutputView& out,
                 const BlockRuns& runs = block_runs(), Stores stores = Stores::kCached);

    // Evaluates rows [row0, row0 + rows) x columns [col0, col0 + cols) of the output, a rectangle
    // inside it. Thread-safe: pieces may run at once on different threads. Allocates once per
    // call (not per run); never faults.
    void evaluate(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const;

private:
    class Piece;
    struct Step {
        RunFn full;  // for n == kRunLength, the length fixed at compile time
        RunFn tail;  // for shorter runs
        std::uint32_t a, b;  // entries of the per-piece source table (registers, then band runs)
        float sa, sb;
        std::uint32_t dst;  // a register, or the output's
    };
    struct BandSource {
        BandView view;
        bool aligned;  // samples on 2-byte boundaries, so runs of them can be read in place
    };

    const BlockRuns& runs_;
    std::vector<Step> steps_;
    std::vector<BandSource> bands_;  // the bands the program reads, numbered as in its operands
    OutputView out_;
    bool out_aligned_;
    bool transposed_;  // views swapped so that runs go down the output's columns
    bool streaming_;
};

// The whole evaluation of `prog` over `out` on the pool, reading band k of `bands` at each
// output position, with the loops of `runs`. A program that some pixel could not run raises,
// before anything is written, the Fault that evaluating the pixels one by one in row-major order
// would raise first. An output without pixels evaluates nothing and always succeeds.
// Interpreter-free; meant to run with the interpreter lock released.
void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out,
                     const BlockRuns& runs = block_runs());

}  // namespace rastrel
