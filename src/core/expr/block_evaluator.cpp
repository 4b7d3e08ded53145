#include "core/expr/block_evaluator.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "core/fault.h"
#include "core/parallel/traversal.h"

namespace rastrel {

namespace {

constexpr std::size_t kRun = kRunLength;
// Registers are numbered by stack slot; one more holds an output run on its way elsewhere.
constexpr std::uint32_t kOutputSlot = kStackSlots;
// Source table: the registers first, then one entry per band read, holding its current run.
constexpr std::uint32_t kFirstBandSource = kStackSlots;
// Streamed runs start on a cache line, so that no line is written both through the cache and
// past it.
constexpr std::size_t kLineBytes = 64;
static_assert(kRun * sizeof(float) % kLineBytes == 0);

template <class T>
bool is_aligned(T* p) {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0;
}

template <class T>
View2D<T> transpose(const View2D<T>& v) {
    return {v.data, v.cols, v.rows, v.col_stride, v.row_stride};
}

// A view walked over one piece: line l, position i is origin + l * line + i * step.
template <class T>
struct Walk {
    T* origin;
    std::ptrdiff_t line;
    std::ptrdiff_t step;

    T* at(std::size_t l, std::size_t i) const {
        return origin + static_cast<std::ptrdiff_t>(l) * line + static_cast<std::ptrdiff_t>(i) * step;
    }
};

// Lines of `cols` elements that follow each other at one stride can be walked as one long line,
// which keeps runs full when lines are short.
template <class T>
bool lines_join(const View2D<T>& v, std::size_t cols) {
    return cols == 1 || v.row_stride == static_cast<std::ptrdiff_t>(cols) * v.col_stride;
}

template <class T>
Walk<T> walk_of(const View2D<T>& v, std::size_t row0, std::size_t col0, std::size_t cols, bool joined) {
    T* origin = v.data + static_cast<std::ptrdiff_t>(row0) * v.row_stride + static_cast<std::ptrdiff_t>(col0) * v.col_stride;
    if (joined) return {origin, 0, cols == 1 ? v.row_stride : v.col_stride};
    return {origin, v.row_stride, v.col_stride};
}

// Unaligned or strided samples, copied into an aligned run.
const std::uint16_t* gather(std::uint16_t* to, const std::uint16_t* from, std::ptrdiff_t step, std::size_t n) {
    if (step == 1) {
        std::memcpy(to, from, n * sizeof *to);
    } else {
        for (std::size_t i = 0; i < n; ++i) std::memcpy(to + i, from + static_cast<std::ptrdiff_t>(i) * step, sizeof *to);
    }
    return to;
}

void scatter(float* to, std::ptrdiff_t step, const float* from, std::size_t n) {
    if (step == 1) {
        std::memcpy(to, from, n * sizeof *to);
    } else {
        for (std::size_t i = 0; i < n; ++i) std::memcpy(to + static_cast<std::ptrdiff_t>(i) * step, from + i, sizeof *to);
    }
}

OperandKind kind_of(const Operand& x, std::uint32_t dst) {
    switch (x.kind) {
        case Operand::Kind::band: return OperandKind::samples;
        // A register operand of the register being written is the left operand of an update.
        case Operand::Kind::reg: return x.index == dst ? OperandKind::in_place : OperandKind::floats;
        case Operand::Kind::scalar: break;
    }
    return OperandKind::constant;
}

std::uint32_t source_of(const Operand& x) {
    if (x.kind == Operand::Kind::band) return kFirstBandSource + x.index;
    return x.kind == Operand::Kind::reg ? x.index : 0;
}

}  // namespace

// The scratch of one piece, on the stack of the thread that walks it: the registers, and the
// runs of bands and output that cannot be used where they lie.
class BlockProgram::Piece {
public:
    Piece(const BlockProgram& program, std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols)
        : program_(program), sources_(kFirstBandSource + program.bands_.size()) {
        for (std::size_t j = 0; j <= kStackSlots; ++j) dsts_[j] = regs_ + j * kRun;
        for (std::size_t j = 0; j < kStackSlots; ++j) sources_[j] = dsts_[j];
        const bool joined = rows > 1 && lines_join(program.out_, cols) &&
                            std::all_of(program.bands_.begin(), program.bands_.end(),
                                        [cols](const BandSource& b) { return lines_join(b.view, cols); });
        lines_ = joined ? 1 : rows;
        length_ = joined ? rows * cols : cols;
        std::size_t gathered = 0;
        bands_.reserve(program.bands_.size());
        for (const BandSource& band : program.bands_) {
            const auto walk = walk_of(band.view, row0, col0, cols, joined);
            const bool in_place = walk.step == 1 && band.aligned;
            bands_.push_back({walk, in_place ? kInPlace : gathered});
            if (!in_place) gathered += kRun;
        }
        gathered_.resize(gathered);
        out_ = walk_of(program.out_, row0, col0, cols, joined);
        out_in_place_ = out_.step == 1 && program.out_aligned_;
    }

    std::size_t lines() const { return lines_; }
    std::size_t length() const { return length_; }
    bool out_in_place() const { return out_in_place_; }
    float* out_at(std::size_t l, std::size_t i) const { return out_.at(l, i); }

    // Pixels [i, i + n) of line l, n <= kRun; a streamed run is full and its output lies in
    // place on a cache line.
    void run(std::size_t l, std::size_t i, std::size_t n, bool stream) {
        for (std::size_t u = 0; u < bands_.size(); ++u) {
            const BandRun& band = bands_[u];
            const std::uint16_t* at = band.walk.at(l, i);
            sources_[kFirstBandSource + u] =
                band.scratch == kInPlace ? at : gather(gathered_.data() + band.scratch, at, band.walk.step, n);
        }
        float* const out_at = out_.at(l, i);
        float* const out_scratch = regs_ + kOutputSlot * kRun;
        const bool direct = out_in_place_ && !stream;
        dsts_[kOutputSlot] = direct ? out_at : out_scratch;
        if (n == kRun) {
            for (const Step& s : program_.steps_) s.full(dsts_[s.dst], sources_[s.a], sources_[s.b], s.sa, s.sb, n);
        } else {
            for (const Step& s : program_.steps_) s.tail(dsts_[s.dst], sources_[s.a], sources_[s.b], s.sa, s.sb, n);
        }
        if (stream) {
            program_.runs_.stream(out_at, out_scratch, n);
        } else if (!direct) {
            scatter(out_at, out_.step, out_scratch, n);
        }
    }

private:
    static constexpr std::size_t kInPlace = ~std::size_t{0};
    struct BandRun {
        Walk<const std::uint16_t> walk;
        std::size_t scratch;  // offset of its gathered run, or kInPlace when read where it lies
    };

    const BlockProgram& program_;
    // Every register is written before it is read within each run, so none is initialised.
    alignas(kLineBytes) float regs_[(kStackSlots + 1) * kRun];
    float* dsts_[kStackSlots + 1];
    std::vector<const void*> sources_;
    std::vector<BandRun> bands_;
    std::vector<std::uint16_t> gathered_;
    Walk<float> out_;
    std::size_t lines_ = 0, length_ = 0;
    bool out_in_place_ = false;
};

BlockProgram::BlockProgram(const RegisterProgram& program, std::span<const BandView> bands, const OutputView& out,
                           const BlockRuns& runs, Stores stores)
    : runs_(runs),
      out_(out),
      out_aligned_(is_aligned(out.data)),
      // Runs follow the output's unit stride, so that a column-major output is written in place.
      transposed_(out.rows > 1 && out.cols > 1 && out.col_stride != 1 && out.row_stride == 1),
      streaming_(stores == Stores::kStreaming) {
    if (transposed_) out_ = transpose(out_);
    bands_.reserve(program.bands.size());
    for (const std::uint64_t k : program.bands) {
        const BandView view = transposed_ ? transpose(bands[k]) : bands[k];
        bands_.push_back({view, is_aligned(view.data)});
    }
    steps_.reserve(program.steps.size());
    for (const RegisterStep& step : program.steps) {
        const std::uint32_t dst = step.dst == kOutputRegister ? kOutputSlot : step.dst;
        const OperandKind a = kind_of(step.a, dst), b = kind_of(step.b, dst);
        const RunFn full = runs.pick(step.op, a, b, true), tail = runs.pick(step.op, a, b, false);
        // Lowering leaves no step without a loop (constants alone are folded, and the right
        // operand is never the register written); one would be a broken invariant.
        if (full == nullptr || tail == nullptr) raise_fault("no run loop for a step of kind " + std::string(op_name(step.op)));
        steps_.push_back({full, tail, source_of(step.a), source_of(step.b), step.a.value, step.b.value, dst});
    }
}

void BlockProgram::evaluate(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const {
    if (transposed_) {
        std::swap(row0, col0);
        std::swap(rows, cols);
    }
    if (rows == 0 || cols == 0) return;
    Piece piece(*this, row0, col0, rows, cols);
    const bool streaming = streaming_ && piece.out_in_place();
    for (std::size_t l = 0; l < piece.lines(); ++l) {
        std::size_t i = 0;
        if (streaming) {
            // Up to the first cache line through the cache; then the full runs from there on are
            // line-aligned and go past it.
            const auto address = reinterpret_cast<std::uintptr_t>(piece.out_at(l, 0));
            const std::size_t head = std::min((kLineBytes - address % kLineBytes) % kLineBytes / sizeof(float), piece.length());
            if (head != 0) piece.run(l, 0, head, false);
            i = head;
        }
        for (; i < piece.length(); i += kRun) {
            const std::size_t n = std::min(kRun, piece.length() - i);
            piece.run(l, i, n, streaming && n == kRun);
        }
    }
    if (streaming) runs_.fence();
}

void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out,
                     const BlockRuns& runs) {
    // Without a pool every loop faults before its first step, and so does this one, ahead of
    // any fault of the program.
    parallel::PoolExecutor exec(parallel::current_pool());
    // No pixel, so no program fault.
    if (out.rows == 0 || out.cols == 0) return;
    if (const auto fault = validate(prog, bands, out.rows, out.cols)) raise_eval_fault(fault->fault);
    // The fixed kernels' threshold: streaming only far above what the caches hold.
    const BlockProgram program(lower(prog), bands, out, runs, stores_for(out.rows * out.cols * sizeof(float)));
    const auto whole = parallel::zip(parallel::Indices{0, 0, out.rows, out.cols}, out);
    parallel::bridge_pieces(exec, whole, [&program](const auto& piece) {
        const parallel::Indices& at = std::get<0>(piece.parts());
        program.evaluate(at.row0, at.col0, at.rows, at.cols);
    });
}

}  // namespace rastrel
