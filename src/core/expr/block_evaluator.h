#pragma once
// Evaluation of an expression program over runs of pixels instead of one pixel at a time: the
// program is checked once for the whole output, lowered to registers (register_program.h), and
// each step then runs as one tight loop (block_runs.h) over a run of a few hundred pixels of one
// line, its loop chosen once per call rather than per pixel. Every pixel sees the float32
// operations of the per-pixel evaluator in the same order, so results are bit-identical to it.
// Interpreter-free.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/expr/block_runs.h"
#include "core/expr/bound_cache.h"
#include "core/expr/fusion_plan.h"
#include "core/expr/program.h"
#include "core/expr/register_program.h"
#include "core/kernels/runs.h"
#include "core/parallel/pool.h"
#include "core/samples.h"
#include "core/views.h"

namespace rastrel {

// Whether a program that computes one of the fused shapes (fused.h) runs as one loop; the
// results are the same bits either way.
enum class Fusion : std::uint8_t { kWhereMatched, kNever };

// A register program bound to the views of one call: which loop each step runs, how each band
// and the output are reached, and along which axis runs go. Shared read-only by all pieces.
class BlockProgram {
public:
    // uint16 bands read as they are. `program` must read only bands that `bands` holds, each
    // covering the output's extent (validate() found no fault). Allocates.
    BlockProgram(const RegisterProgram& program, std::span<const BandView> bands, const OutputView& out,
                 const BlockRuns& runs = block_runs(), Stores stores = Stores::kCached,
                 Fusion fusion = Fusion::kWhereMatched, const std::optional<FusedFormula>* matched = nullptr);

    // `matched`, when given, is match_fused(program), kept from an earlier call.
    // Bands of any sample type, converted, scaled and tested for nodata in the same runs as the
    // program, and masks: a pixel that a band's nodata (read by the program or not) or a mask
    // marks invalid gets `fill`. Every band with a nodata test, and every mask, covers the output.
    BlockProgram(const RegisterProgram& program, std::span<const BandInput> bands, std::span<const MaskView> masks,
                 float fill, const OutputView& out, const BlockRuns& runs = block_runs(),
                 Stores stores = Stores::kCached, Fusion fusion = Fusion::kWhereMatched,
                 const std::optional<FusedFormula>* matched = nullptr);

    // Evaluates rows [row0, row0 + rows) x columns [col0, col0 + cols) of the output, a rectangle
    // inside it. Thread-safe: pieces may run at once on different threads. Allocates once per
    // call (not per run); never faults.
    void evaluate(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const;

    // A pixel's cost in the units of the fixed kernels (one normalized difference).
    std::size_t cost() const { return cost_; }

    // Whether binding the same program to `bands` and `out` would make this very program but for
    // the data pointers: it was bound to uint16 views of the same count, and every view it reads,
    // and the output, has the same shape, strides and alignment, with the same loops and stores.
    bool fits(std::span<const BandView> bands, const OutputView& out, const BlockRuns& runs, Stores stores) const;
    // Points the program at `bands` and `out`, which fit(). Not while any piece is evaluated.
    void repoint(std::span<const BandView> bands, const OutputView& out);

private:
    class Piece;
    struct Step {
        RunFn full;  // for n == kRunLength, the length fixed at compile time
        RunFn tail;  // for shorter runs
        std::uint32_t a, b;  // entries of the per-piece source table (registers, then band runs)
        float sa, sb;
        std::uint32_t dst;  // a register, or the output's
    };
    // A band the program reads or tests, or a mask: what each run of it goes through.
    struct Input {
        SampleView view;
        bool aligned;  // samples on their item size's boundaries, readable in place
        ConvertFn convert;  // into a float32 run; nullptr when the steps read the samples as they lie
        float scale, offset;
        CheckFn check;  // marks invalid pixels; nullptr when none are tested
        Nodata nodata;
        std::uint32_t source;  // its entry in the source table, or kUnread
        std::uint32_t band;  // which band it is, or kMask for a mask
    };
    static constexpr std::uint32_t kMask = ~std::uint32_t{0};
    static constexpr std::uint32_t kUnread = ~std::uint32_t{0};
    // The loop of a fused shape, when the program is one; fn is nullptr otherwise.
    struct Fused {
        FusedFn fn = nullptr;
        FusedArgs args{};
        std::size_t bands = 0;  // how many the shape reads
        std::uint32_t sources[kFusedBands]{};  // their entries in the source table
        std::size_t inputs[kFusedBands]{};  // and in inputs_
    };

    // The fixed kernel of a fused shape, for pieces the fused loop cannot read in place: it walks
    // any strides itself, with the same operations (uint16 samples, finite constants, no test).
    struct Kernel {
        FixedKernelFn run = nullptr;
        const kernels::RunTable* table = nullptr;
        OutputView out{};  // as the call gave them, before any transposition
        BandView bands[kFusedBands]{};
        std::uint32_t band_of[kFusedBands]{};  // which band each is
    };

    void bind(const RegisterProgram& program, std::span<const BandInput> bands, std::span<const MaskView> masks,
              const OutputView& out, Stores stores, Fusion fusion, const std::optional<FusedFormula>* matched);
    void bind_kernel(const FusedFormula& formula, const RegisterProgram& program, std::span<const BandInput> bands,
                     const OutputView& out);
    void bind_steps(const RegisterProgram& program, std::span<const BandInput> bands);
    // Pieces of a fused program whose bands and output all lie in place.
    void evaluate_lines(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const;
    // Whether the piece's lines (in the walk's order) follow each other as one contiguous line.
    bool one_line(std::size_t rows, std::size_t cols) const;
    // Pieces of a fused program that the fixed kernel of its shape computes.
    void evaluate_kernel(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const;

    const BlockRuns& runs_;
    std::vector<Step> steps_;
    std::vector<Input> inputs_;
    Fused fused_;
    Kernel kernel_;
    std::size_t sources_ = 0;  // entries of the source table
    bool checks_ = false;  // whether any input marks invalid pixels
    std::size_t cost_ = 1;
    bool lines_ = false;  // whether evaluate_lines can take every piece
    float fill_ = 0.0f;
    OutputView out_{};
    bool out_aligned_ = false;
    bool transposed_ = false;  // views swapped so that runs go down the output's columns
    bool streaming_ = false;
    // The count of uint16 bands it was bound to, or kNotViews when they came with their own
    // types, scales, nodata values or masks (never repointed).
    std::size_t views_ = kNotViews;
    static constexpr std::size_t kNotViews = ~std::size_t{0};
};

// What evaluating a program needs before any call, whatever its bands: kept by its owner between
// calls, which may run at once on several threads.
struct PreparedProgram {
    StackPlan plan;  // plan_stack(prog, nbands), which found no fault
    RegisterProgram lowered;
    std::optional<FusedFormula> fused;
    // The bands that the program's push_band steps name, each once.
    std::vector<std::uint64_t> pushed;
    // Programs bound by earlier calls over uint16 views, for later calls over views laid out alike.
    mutable BoundCache bound;

    // Whether no pixel of `out` faults: every band pushed covers it (first_fault finds nothing,
    // and is not needed). Reads shapes only.
    bool clean(std::span<const BandView> bands, const OutputView& out) const;
};

// The preparation of `prog` for calls with `nbands` bands; nullptr when every such call faults
// before its first pixel. Allocates.
std::unique_ptr<const PreparedProgram> prepare(std::span<const Instruction> prog, std::size_t nbands);

// The whole evaluation of `prog` over `out` on the pool, reading band k of `bands` at each
// output position, with the loops of `runs`. A program that some pixel could not run raises,
// before anything is written, the Fault that evaluating the pixels one by one in row-major order
// would raise first. An output without pixels evaluates nothing and always succeeds.
// Interpreter-free; meant to run with the interpreter lock released. With an `interruption`
// that says stop, the pieces not yet started are skipped (see parallel::Interruption).
// `prepared`, when given, is prepare(prog, bands.size()).
void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out,
                     const BlockRuns& runs = block_runs(), parallel::Interruption* interruption = nullptr,
                     const PreparedProgram* prepared = nullptr);

// The same over bands of any sample type with their scale, offset and nodata, and masks; pixels
// marked invalid get `fill`. Every band and mask must have the output's shape (else the fault of
// a pixel outside a band).
void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandInput> bands,
                     std::span<const MaskView> masks, float fill, const OutputView& out,
                     const BlockRuns& runs = block_runs(), parallel::Interruption* interruption = nullptr,
                     const PreparedProgram* prepared = nullptr);

}  // namespace rastrel
