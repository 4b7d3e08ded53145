#include "core/expr/block_evaluator.h"

#include <algorithm>
#include <cstring>
#include <memory_resource>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "core/expr/evaluator.h"
#include "core/expr/fusion_plan.h"
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

SampleView transpose(const SampleView& v) { return {v.data, v.cols, v.rows, v.col_stride, v.row_stride, v.type}; }

// Runs follow the output's unit stride, so that a column-major output is written in place.
bool runs_down_columns(const OutputView& out) {
    return out.rows > 1 && out.cols > 1 && out.col_stride != 1 && out.row_stride == 1;
}

template <class V, class W>
bool same_walk(const V& a, const W& b) {
    return a.rows == b.rows && a.cols == b.cols && a.row_stride == b.row_stride && a.col_stride == b.col_stride;
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
bool lines_join(std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, std::size_t cols) {
    return cols == 1 || row_stride == static_cast<std::ptrdiff_t>(cols) * col_stride;
}

// `unit` scales the view's element strides to the walk's (bytes, for samples of any type).
template <class T, class V>
Walk<T> walk_of(T* data, const V& v, std::size_t row0, std::size_t col0, std::size_t cols, bool joined,
                std::ptrdiff_t unit = 1) {
    const std::ptrdiff_t rs = v.row_stride * unit, cs = v.col_stride * unit;
    T* origin = data + static_cast<std::ptrdiff_t>(row0) * rs + static_cast<std::ptrdiff_t>(col0) * cs;
    if (joined) return {origin, 0, cols == 1 ? rs : cs};
    return {origin, rs, cs};
}

// Unaligned or strided samples of `Size` bytes each, copied into an aligned run.
template <std::size_t Size>
const std::byte* gather_items(std::byte* to, const std::byte* from, std::ptrdiff_t step, std::size_t n) {
    if (step == static_cast<std::ptrdiff_t>(Size)) {
        std::memcpy(to, from, n * Size);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(to + i * Size, from + static_cast<std::ptrdiff_t>(i) * step, Size);
    }
    return to;
}

const std::byte* gather(std::byte* to, const std::byte* from, std::ptrdiff_t step, std::size_t n, std::size_t size) {
    switch (size) {
        case 1: return gather_items<1>(to, from, step, n);
        case 2: return gather_items<2>(to, from, step, n);
        case 4: return gather_items<4>(to, from, step, n);
        default: break;
    }
    return gather_items<8>(to, from, step, n);
}

std::uint32_t source_of(const Operand& x) {
    if (x.kind == Operand::Kind::band) return kFirstBandSource + x.index;
    return x.kind == Operand::Kind::reg ? x.index : 0;
}

SampleView samples_of(const BandView& v) {
    return {v.data, v.rows, v.cols, v.row_stride, v.col_stride, SampleType::u16};
}

SampleView samples_of(const MaskView& v) {
    return {v.data, v.rows, v.cols, v.row_stride, v.col_stride, SampleType::u8};
}

bool sample_aligned(const SampleView& v) { return reinterpret_cast<std::uintptr_t>(v.data) % sample_size(v.type) == 0; }

// A pixel's cost in the units of the fixed kernels (one normalized difference): a run step
// costs about a third of one, pow (the C library's, one element at a time) about ten.
std::size_t cost_of(const RegisterProgram& program) {
    std::size_t thirds = 3;  // reading the bands and writing the output
    for (const RegisterStep& step : program.steps) thirds += step.op == OpCode::pow ? 30 : 1;
    return thirds / 3;
}

template <class T>
View2D<T> part(const View2D<T>& v, std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) {
    const std::ptrdiff_t r = static_cast<std::ptrdiff_t>(row0), c = static_cast<std::ptrdiff_t>(col0);
    return {v.data + r * v.row_stride + c * v.col_stride, rows, cols, v.row_stride, v.col_stride};
}

}  // namespace

// The scratch of one piece, on the stack of the thread that walks it: the registers, and the
// runs of bands and output that cannot be used where they lie.
class BlockProgram::Piece {
public:
    Piece(const BlockProgram& program, std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols)
        : program_(program), sources_(program.sources_) {
        for (std::size_t j = 0; j <= kStackSlots; ++j) dsts_[j] = regs_ + j * kRun;
        for (std::size_t j = 0; j < kStackSlots; ++j) sources_[j] = dsts_[j];
        const bool joined = rows > 1 && lines_join(program.out_.row_stride, program.out_.col_stride, cols) &&
                            std::all_of(program.inputs_.begin(), program.inputs_.end(), [cols](const Input& in) {
                                return lines_join(in.view.row_stride, in.view.col_stride, cols);
                            });
        lines_ = joined ? 1 : rows;
        length_ = joined ? rows * cols : cols;
        std::size_t gathered = 0, converted = 0;
        inputs_.reserve(program.inputs_.size());
        for (const Input& in : program.inputs_) {
            const std::size_t size = sample_size(in.view.type);
            const auto walk = walk_of(static_cast<const std::byte*>(in.view.data), in.view, row0, col0, cols, joined,
                                      static_cast<std::ptrdiff_t>(size));
            const bool in_place = walk.step == static_cast<std::ptrdiff_t>(size) && in.aligned;
            inputs_.push_back({walk, in_place ? kInPlace : gathered, in.convert ? converted : kInPlace});
            if (!in_place) gathered += kRun * size;
            if (in.convert) converted += kRun;
        }
        gathered_.resize(gathered);
        converted_.resize(converted);
        out_ = walk_of(program.out_.data, program.out_, row0, col0, cols, joined);
        out_in_place_ = out_.step == 1 && program.out_aligned_;
    }

    std::size_t lines() const { return lines_; }
    std::size_t length() const { return length_; }
    bool out_in_place() const { return out_in_place_; }
    float* out_at(std::size_t l, std::size_t i) const { return out_.at(l, i); }

    // Pixels [i, i + n) of line l, n <= kRun; a streamed run is full and its output lies in
    // place on a cache line.
    void run(std::size_t l, std::size_t i, std::size_t n, bool stream) {
        read_inputs(l, i, n);
        float* const out_at = out_.at(l, i);
        float* const out_scratch = regs_ + kOutputSlot * kRun;
        const bool direct = out_in_place_ && !stream;
        dsts_[kOutputSlot] = direct ? out_at : out_scratch;
        const Fused& fused = program_.fused_;
        if (fused.fn != nullptr) {
            const void* bands[kFusedBands];
            for (std::size_t k = 0; k < fused.bands; ++k) bands[k] = sources_[fused.sources[k]];
            fused.fn(fused.args, dsts_[kOutputSlot], bands, n, Stores::kCached);
        } else if (n == kRun) {
            for (const Step& s : program_.steps_) s.full(dsts_[s.dst], sources_[s.a], sources_[s.b], s.sa, s.sb, n);
        } else {
            for (const Step& s : program_.steps_) s.tail(dsts_[s.dst], sources_[s.a], sources_[s.b], s.sa, s.sb, n);
        }
        if (any_invalid_ != 0) program_.runs_.fill(dsts_[kOutputSlot], invalid_, program_.fill_, n);
        if (stream) {
            program_.runs_.stream(out_at, out_scratch, n);
        } else if (!direct) {
            program_.runs_.scatter(out_at, out_.step, out_scratch, n);
        }
    }

    // Whether whole lines can go to the fused loop at once: every band it reads lies in place
    // as the loop reads it, the output too, and nothing else is tested.
    bool whole_lines() const {
        return program_.fused_.fn != nullptr && !program_.checks_ && out_in_place_ &&
               std::all_of(inputs_.begin(), inputs_.end(),
                           [](const InputRun& in) { return in.raw == kInPlace && in.floats == kInPlace; });
    }

    void line(std::size_t l, Stores stores) const {
        const Fused& fused = program_.fused_;
        const void* bands[kFusedBands];
        for (std::size_t k = 0; k < fused.bands; ++k) bands[k] = inputs_[fused.inputs[k]].walk.at(l, 0);
        fused.fn(fused.args, out_.at(l, 0), bands, length_, stores);
    }

private:
    static constexpr std::size_t kInPlace = ~std::size_t{0};
    struct InputRun {
        Walk<const std::byte> walk;  // in bytes
        std::size_t raw;  // offset of its gathered run, or kInPlace when read where it lies
        std::size_t floats;  // offset of its converted run, or kInPlace when not converted
    };

    // Points the source table at this run of every band the program reads, converting those
    // that need it, and marks the run's invalid pixels.
    // Unaligned or strided samples, copied into an aligned run: uint16 ones (the common band)
    // through the vector gather, which takes every other sample at the speed of a contiguous
    // copy.
    const std::byte* gathered(const InputRun& run, const std::byte* at, std::size_t n, std::size_t size) {
        std::byte* const to = gathered_.data() + run.raw;
        const std::ptrdiff_t step = run.walk.step;
        if (size == sizeof(std::uint16_t) && step % 2 == 0) {
            program_.runs_.gather(reinterpret_cast<std::uint16_t*>(to), reinterpret_cast<const std::uint16_t*>(at),
                                  step / 2, n);
            return to;
        }
        return gather(to, at, step, n, size);
    }

    void read_inputs(std::size_t l, std::size_t i, std::size_t n) {
        any_invalid_ = 0;
        if (program_.checks_) std::memset(invalid_, 0, n);
        for (std::size_t u = 0; u < inputs_.size(); ++u) {
            const Input& in = program_.inputs_[u];
            const InputRun& run = inputs_[u];
            const std::byte* at = run.walk.at(l, i);
            const void* raw =
                run.raw == kInPlace ? static_cast<const void*>(at) : gathered(run, at, n, sample_size(in.view.type));
            if (in.check != nullptr) any_invalid_ |= in.check(invalid_, raw, in.nodata, n);
            if (in.source == kUnread) continue;
            if (in.convert != nullptr) {
                float* const values = converted_.data() + run.floats;
                in.convert(values, raw, in.scale, in.offset, n);
                raw = values;
            }
            sources_[in.source] = raw;
        }
    }

    const BlockProgram& program_;
    // Every register is written before it is read within each run, so none is initialised.
    alignas(kLineBytes) float regs_[(kStackSlots + 1) * kRun];
    alignas(kLineBytes) std::uint8_t invalid_[kRun];
    std::uint8_t any_invalid_ = 0;  // whether invalid_ marks any pixel of the current run
    float* dsts_[kStackSlots + 1];
    std::vector<const void*> sources_;
    std::vector<InputRun> inputs_;
    std::vector<std::byte> gathered_;  // from operator new: aligned for every sample type
    std::vector<float> converted_;
    Walk<float> out_;
    std::size_t lines_ = 0, length_ = 0;
    bool out_in_place_ = false;
};

namespace {

// Inputs of a few bands on the stack: a call over a few pixels costs about as much as its
// allocations.
constexpr std::size_t kInputsOnStack = 8;

}  // namespace

BlockProgram::BlockProgram(const RegisterProgram& program, std::span<const BandView> bands, const OutputView& out,
                           const BlockRuns& runs, Stores stores, Fusion fusion,
                           const std::optional<FusedFormula>* matched)
    : runs_(runs) {
    alignas(BandInput) std::byte stack[kInputsOnStack * sizeof(BandInput)];
    std::pmr::monotonic_buffer_resource arena(stack, sizeof stack);
    std::pmr::vector<BandInput> inputs(&arena);
    inputs.reserve(bands.size());
    for (const BandView& band : bands) inputs.push_back({samples_of(band), 1.0f, 0.0f, Nodata{}});
    bind(program, inputs, {}, out, stores, fusion, matched);
    views_ = bands.size();
}

BlockProgram::BlockProgram(const RegisterProgram& program, std::span<const BandInput> bands,
                           std::span<const MaskView> masks, float fill, const OutputView& out, const BlockRuns& runs,
                           Stores stores, Fusion fusion, const std::optional<FusedFormula>* matched)
    : runs_(runs), fill_(fill) {
    bind(program, bands, masks, out, stores, fusion, matched);
}

void BlockProgram::bind(const RegisterProgram& program, std::span<const BandInput> bands,
                        std::span<const MaskView> masks, const OutputView& out, Stores stores, Fusion fusion,
                        const std::optional<FusedFormula>* matched) {
    out_ = out;
    out_aligned_ = is_aligned(out.data);
    transposed_ = runs_down_columns(out);
    streaming_ = stores == Stores::kStreaming;
    if (transposed_) out_ = transpose(out_);
    const auto oriented = [this](const SampleView& v) { return transposed_ ? transpose(v) : v; };
    std::optional<FusionPlan> plan;
    if (fusion == Fusion::kWhereMatched) {
        plan = plan_fusion(program, matched != nullptr ? *matched : match_fused(program), bands, !masks.empty());
    }

    // The steps read band operand k from source kFirstBandSource + k; a band that no step reads
    // is still walked when its nodata is tested.
    inputs_.reserve(bands.size() + masks.size());
    // Band b's source, looked up rather than tabled (a table allocates, and programs read few bands).
    const auto read_as = [&program](std::size_t b) {
        for (std::size_t k = program.bands.size(); k-- > 0;) {
            if (program.bands[k] == b) return kFirstBandSource + static_cast<std::uint32_t>(k);
        }
        return kUnread;
    };
    for (std::size_t b = 0; b < bands.size(); ++b) {
        const BandInput& band = bands[b];
        const CheckFn check = plan && plan->folded ? nullptr : runs_.nodata(band.view.type, band.nodata.kind);
        const std::uint32_t source = read_as(b);
        if (source == kUnread && check == nullptr) continue;
        Input in{oriented(band.view),
                 sample_aligned(band.view),
                 nullptr,
                 band.scale,
                 band.offset,
                 check,
                 band.nodata,
                 source,
                 static_cast<std::uint32_t>(b)};
        if (source != kUnread) {
            // uint16 samples go to the steps as they lie (converted there, as ever), float32 ones
            // as floats; everything else, and every scaled band, through a float32 run. A fused
            // loop reads uint16 samples (scaled or not) itself, or else float32 values.
            const bool f32 = band.view.type == SampleType::f32 && !band.scaled();
            const bool u16 =
                band.view.type == SampleType::u16 && (plan ? plan->kind != FusedKind::floats : !band.scaled());
            if (!f32 && !u16) in.convert = runs_.convert(band.view.type, band.scaled());
        }
        inputs_.push_back(in);
    }
    for (const MaskView& mask : masks) {
        const SampleView view = samples_of(mask);
        inputs_.push_back({oriented(view), true, nullptr, 1.0f, 0.0f, runs_.mask, Nodata{}, kUnread, kMask});
    }
    checks_ = std::any_of(inputs_.begin(), inputs_.end(), [](const Input& in) { return in.check != nullptr; });
    sources_ = kFirstBandSource + program.bands.size();
    if (!plan) {
        cost_ = cost_of(program);
        return bind_steps(program, bands);
    }

    const FusedFormula& formula = plan->formula;
    const bool tests =
        std::any_of(bands.begin(), bands.end(), [](const BandInput& b) { return b.nodata.kind != Nodata::Kind::none; });
    // A fused shape costs what the fixed kernel of its formula costs (one normalized difference
    // a pixel for each of them; see the fixed kernels' call frame).
    cost_ = 1;
    fused_.fn = runs_.fused(formula.shape, plan->kind, plan->folded && tests);
    fused_.args = fused_args(*plan, program, bands, fill_);
    fused_.bands = shape_bands(formula.shape);
    for (std::size_t k = 0; k < fused_.bands; ++k) {
        fused_.sources[k] = kFirstBandSource + formula.bands[k];
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (inputs_[i].source == fused_.sources[k]) fused_.inputs[k] = i;
        }
    }
    if (plan->kind == FusedKind::samples && !checks_ && !tests) bind_kernel(formula, program, bands, out);
    // Whole lines straight from the views when every band the loop reads, and the output, lie
    // contiguous and aligned, and nothing else is read.
    lines_ = !checks_ && out_aligned_ && out_.col_stride == 1 &&
             std::all_of(inputs_.begin(), inputs_.end(), [](const Input& in) {
                 return in.convert == nullptr && in.aligned && in.view.col_stride == 1;
             });
}

bool BlockProgram::fits(std::span<const BandView> bands, const OutputView& out, const BlockRuns& runs,
                        Stores stores) const {
    if (views_ != bands.size() || &runs != &runs_ || (stores == Stores::kStreaming) != streaming_) return false;
    if (runs_down_columns(out) != transposed_ || is_aligned(out.data) != out_aligned_) return false;
    if (!same_walk(transposed_ ? transpose(out) : out, out_)) return false;
    // Bands that no input walks play no part in the binding.
    for (const Input& in : inputs_) {
        const BandView& band = bands[in.band];
        if (is_aligned(band.data) != in.aligned || !same_walk(transposed_ ? transpose(band) : band, in.view))
            return false;
    }
    return true;
}

void BlockProgram::repoint(std::span<const BandView> bands, const OutputView& out) {
    out_.data = out.data;
    for (Input& in : inputs_) in.view.data = bands[in.band].data;
    if (kernel_.run == nullptr) return;
    kernel_.out.data = out.data;
    for (std::size_t k = 0; k < fused_.bands; ++k) kernel_.bands[k].data = bands[kernel_.band_of[k]].data;
}

void BlockProgram::bind_kernel(const FusedFormula& formula, const RegisterProgram& program,
                               std::span<const BandInput> bands, const OutputView& out) {
    // The kernel's loops as its calls take them where the runs are the calls' own, which may
    // differ from the copy's plain ones (a short piece after a pause takes a narrower copy).
    for (const Isa isa : kAllIsas) {
        const IsaCopies* copies = isa_copies(isa);
        if (copies == nullptr) continue;
        if (copies->blocks == &runs_) kernel_.table = copies->kernels;
        if (copies->call_blocks == &runs_) kernel_.table = copies->calls;
    }
    if (kernel_.table == nullptr) return;
    kernel_.out = out;
    for (std::size_t k = 0; k < shape_bands(formula.shape); ++k) {
        kernel_.band_of[k] = program.bands[formula.bands[k]];
        const SampleView& v = bands[kernel_.band_of[k]].view;
        kernel_.bands[k] = {static_cast<const std::uint16_t*>(v.data), v.rows, v.cols, v.row_stride, v.col_stride};
    }
    kernel_.run = fixed_kernel(formula.shape);
}

void BlockProgram::bind_steps(const RegisterProgram& program, std::span<const BandInput> bands) {
    // uint16 samples go to the steps as they lie, converted there.
    const auto kind_of = [&](const Operand& x, std::uint32_t dst) {
        switch (x.kind) {
            case Operand::Kind::band: {
                const BandInput& band = bands[program.bands[x.index]];
                const bool u16 = band.view.type == SampleType::u16 && !band.scaled();
                return u16 ? OperandKind::samples : OperandKind::floats;
            }
            // A register operand of the register being written is the left operand of an update.
            case Operand::Kind::reg: return x.index == dst ? OperandKind::in_place : OperandKind::floats;
            case Operand::Kind::scalar: break;
        }
        return OperandKind::constant;
    };
    steps_.reserve(program.steps.size());
    for (const RegisterStep& step : program.steps) {
        const std::uint32_t dst = step.dst == kOutputRegister ? kOutputSlot : step.dst;
        const OperandKind a = kind_of(step.a, dst), b = kind_of(step.b, dst);
        const RunFn full = runs_.pick(step.op, a, b, true), tail = runs_.pick(step.op, a, b, false);
        // Lowering leaves no step without a loop (constants alone are folded, and the right
        // operand is never the register written); one would be a broken invariant.
        if (full == nullptr || tail == nullptr) raise_fault("no run loop for a step of kind " + std::string(op_name(step.op)));
        steps_.push_back({full, tail, source_of(step.a), source_of(step.b), step.a.value, step.b.value, dst});
    }
}

void BlockProgram::evaluate(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const {
    // Pieces that are one contiguous line go through the fused loop, which reads them in place;
    // others through the fixed kernel, which walks any strides without going through the runs'
    // scratch, and windows' rows without a call for each (a 64 x 64 window took 1.7 times the
    // contiguous call line by line).
    if (kernel_.run != nullptr && !(lines_ && (transposed_ ? one_line(cols, rows) : one_line(rows, cols))))
        return evaluate_kernel(row0, col0, rows, cols);
    if (transposed_) {
        std::swap(row0, col0);
        std::swap(rows, cols);
    }
    if (rows == 0 || cols == 0) return;
    // A single column joins its lines into one strided one, which the loop cannot read in place.
    if (lines_ && (cols > 1 || rows == 1)) return evaluate_lines(row0, col0, rows, cols);
    Piece piece(*this, row0, col0, rows, cols);
    const bool streaming = streaming_ && piece.out_in_place();
    if (piece.whole_lines()) {
        const Stores stores = streaming ? Stores::kStreaming : Stores::kCached;
        for (std::size_t l = 0; l < piece.lines(); ++l) piece.line(l, stores);
        return;
    }
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

void BlockProgram::evaluate_kernel(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const {
    if (rows == 0 || cols == 0) return;
    BandView bands[kFusedBands];
    for (std::size_t k = 0; k < fused_.bands; ++k) bands[k] = part(kernel_.bands[k], row0, col0, rows, cols);
    const Stores stores = streaming_ ? Stores::kStreaming : Stores::kCached;
    kernel_.run(*kernel_.table, fused_.args, part(kernel_.out, row0, col0, rows, cols), bands, stores);
}

bool BlockProgram::one_line(std::size_t rows, std::size_t cols) const {
    return rows == 1 || (out_.row_stride == static_cast<std::ptrdiff_t>(cols) &&
                         std::all_of(inputs_.begin(), inputs_.end(), [cols](const Input& in) {
                             return in.view.row_stride == static_cast<std::ptrdiff_t>(cols);
                         }));
}

void BlockProgram::evaluate_lines(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const {
    const bool joined = rows > 1 && one_line(rows, cols);
    const std::size_t lines = joined ? 1 : rows, length = joined ? rows * cols : cols;
    const Stores stores = streaming_ ? Stores::kStreaming : Stores::kCached;
    const auto at = [&](const auto& v, std::size_t l, std::ptrdiff_t unit) {
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(row0 + l), col = static_cast<std::ptrdiff_t>(col0);
        return (row * v.row_stride + col) * unit;
    };
    for (std::size_t l = 0; l < lines; ++l) {
        const void* bands[kFusedBands];
        for (std::size_t k = 0; k < fused_.bands; ++k) {
            const SampleView& v = inputs_[fused_.inputs[k]].view;
            const auto size = static_cast<std::ptrdiff_t>(sample_size(v.type));
            bands[k] = static_cast<const std::byte*>(v.data) + at(v, l, size);
        }
        fused_.fn(fused_.args, out_.data + at(out_, l, 1), bands, length, stores);
    }
}

namespace {

// Outputs of at most this many pixels that `by_pixel` may take: binding a block program (its
// inputs, loops and pieces) costs more than running the reference evaluator over them.
constexpr std::size_t kPixelByPixel = 4;

// Streaming stores from this much traffic on (bands and masks read, output written), as well as
// for outputs of kStreamingBytes: NDVI over float32 bands at 1024 x 1024 (12 MiB, a 4 MiB
// output) took 0.80 to 0.95 of the time with cached stores, in the best of 600 calls and in the
// median alike, on 2-core virtual machines under load. At 512 x 512 the caches hold it all.
constexpr std::size_t kStreamingTraffic = std::size_t{12} << 20;

Stores stores_of(const OutputView& out, std::size_t pixel_bytes) {
    const std::size_t pixels = out.rows * out.cols;
    const bool heavy = pixels >= kStreamingTraffic / pixel_bytes && widest_copies().streams;
    return heavy ? Stores::kStreaming : stores_for(pixels * sizeof(float));
}

// Calls run(runs), or run(*narrow) where `runs` gives a call to a narrower copy (BlockRuns::pace),
// for programs that are not one fused loop: a fused loop chooses for itself, run by run.
template <class Run>
void run_paced(const BlockRuns& runs, const PreparedProgram& ready, std::size_t pixels, const Run& run) {
    if (runs.pace == nullptr || ready.fused) return run(runs);
    struct Context {
        const Run& run;
        const BlockRuns& runs;
    } context{run, runs};
    const auto work = [](const void* c, const BlockRuns* narrow) {
        const auto& [own_run, own] = *static_cast<const Context*>(c);
        own_run(narrow != nullptr ? *narrow : own);
    };
    runs.pace(pixels, work, &context);
}

// The pool, the program's faults, then the loop: the order every evaluation keeps. `by_pixel`
// evaluates a small output one pixel at a time and returns true, or returns false to leave it
// to the block program. `bind(ready, stores, loop)` calls loop with the program bound to the
// views. `pixel_bytes`: the bytes a pixel reads and writes.
template <class Bind, class ByPixel>
void run_blocks(std::span<const Instruction> prog, std::span<const BandView> shapes, const OutputView& out,
                std::size_t pixel_bytes, parallel::Interruption* interruption, const PreparedProgram* prepared,
                const Bind& bind, const ByPixel& by_pixel) {
    // Without a pool every loop faults before its first step, and so does this one, ahead of
    // any fault of the program.
    parallel::WorkerPool& pool = parallel::current_pool();
    // No pixel, so no program fault.
    if (out.rows == 0 || out.cols == 0) return;
    if (prepared == nullptr || !prepared->clean(shapes, out)) {
        const auto fault = prepared != nullptr ? first_fault(prog, prepared->plan, shapes, out.rows, out.cols)
                                               : validate(prog, shapes, out.rows, out.cols);
        if (fault) raise_eval_fault(fault->fault);
    }
    if (out.rows * out.cols <= kPixelByPixel && by_pixel()) return;
    const std::unique_ptr<const PreparedProgram> own = prepared != nullptr ? nullptr : prepare(prog, shapes.size());
    const PreparedProgram& ready = prepared != nullptr ? *prepared : *own;
    bind(ready, stores_of(out, pixel_bytes), [&](const BlockProgram& program) {
        // A loop too small to share runs here whole, as the traversal would run it.
        if (parallel::runs_whole_here(pool, out.rows * out.cols, {program.cost()})) {
            if (interruption == nullptr || !interruption->stop_requested()) program.evaluate(0, 0, out.rows, out.cols);
            return;
        }
        const auto whole = parallel::zip(parallel::Indices{0, 0, out.rows, out.cols}, out);
        parallel::par_for_each_piece(
            pool, whole,
            [&program, interruption](const auto& piece) {
                if (interruption != nullptr && interruption->stop_requested()) return;
                const parallel::Indices& at = std::get<0>(piece.parts());
                program.evaluate(at.row0, at.col0, at.rows, at.cols);
            },
            {program.cost()}, {}, interruption);
    });
}

}  // namespace

bool PreparedProgram::clean(std::span<const BandView> bands, const OutputView& out) const {
    if (plan.fault) return false;
    return std::all_of(pushed.begin(), pushed.end(), [&](std::uint64_t b) {
        return b < bands.size() && bands[b].rows >= out.rows && bands[b].cols >= out.cols;
    });
}

std::unique_ptr<const PreparedProgram> prepare(std::span<const Instruction> prog, std::size_t nbands) {
    StackPlan plan = plan_stack(prog, nbands);
    if (plan.fault) return nullptr;
    RegisterProgram lowered = lower(prog);
    std::optional<FusedFormula> fused = match_fused(lowered);
    // Every band a step pushes, lowered away or not: each is read at every pixel's position.
    std::vector<std::uint64_t> pushed;
    for (const Instruction& ins : prog) {
        if (ins.kind == OpCode::push_band && std::find(pushed.begin(), pushed.end(), ins.band) == pushed.end())
            pushed.push_back(ins.band);
    }
    return std::unique_ptr<const PreparedProgram>(
        new PreparedProgram{std::move(plan), std::move(lowered), fused, std::move(pushed), {}});
}

void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out,
                     const BlockRuns& runs, parallel::Interruption* interruption, const PreparedProgram* prepared) {
    run_blocks(
        prog, bands, out, sizeof(float) + bands.size() * sizeof(std::uint16_t), interruption, prepared,
        [&](const PreparedProgram& ready, Stores stores, const auto& loop) {
            run_paced(runs, ready, out.rows * out.cols, [&](const BlockRuns& chosen) {
                std::unique_ptr<BlockProgram> program = ready.bound.take(bands, out, chosen, stores);
                if (!program) {
                    program = std::make_unique<BlockProgram>(ready.lowered, bands, out, chosen, stores,
                                                             Fusion::kWhereMatched, &ready.fused);
                }
                loop(*program);
                ready.bound.keep(std::move(program));
            });
        },
        [&] {
            // No pixel faults (checked above), and the reference gives the block program's bits.
            evaluate_all(prog, bands, out);
            return true;
        });
}

void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandInput> bands,
                     std::span<const MaskView> masks, float fill, const OutputView& out, const BlockRuns& runs,
                     parallel::Interruption* interruption, const PreparedProgram* prepared) {
    // Faults are found on shapes alone; bands and masks that no step reads must cover the
    // output all the same, since their every pixel is tested.
    std::vector<BandView> shapes;
    shapes.reserve(bands.size());
    for (const BandInput& band : bands) shapes.push_back({nullptr, band.view.rows, band.view.cols, 0, 0});
    const auto covers = [&out](std::size_t rows, std::size_t cols) { return rows >= out.rows && cols >= out.cols; };
    const bool covered =
        std::all_of(bands.begin(), bands.end(), [&](const BandInput& b) { return covers(b.view.rows, b.view.cols); }) &&
        std::all_of(masks.begin(), masks.end(), [&](const MaskView& m) { return covers(m.rows, m.cols); });
    if (out.rows != 0 && out.cols != 0 && !covered) raise_outside_band();
    std::size_t pixel_bytes = sizeof(float) + masks.size();
    for (const BandInput& band : bands) pixel_bytes += sample_size(band.view.type);
    run_blocks(
        prog, shapes, out, pixel_bytes, interruption, prepared,
        [&](const PreparedProgram& ready, Stores stores, const auto& loop) {
            run_paced(runs, ready, out.rows * out.cols, [&](const BlockRuns& chosen) {
                loop(BlockProgram(ready.lowered, bands, masks, fill, out, chosen, stores, Fusion::kWhereMatched,
                                  &ready.fused));
            });
        },
        [] { return false; });
}

}  // namespace rastrel
