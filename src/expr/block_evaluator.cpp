#include "expr/block_evaluator.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "expr/evaluator.h"
#include "parallel/traversal.h"

namespace rastrel {

namespace {

constexpr std::size_t kRun = BlockProgram::kRunLength;
// Registers are numbered by stack slot; one more holds an output run that must be scattered.
constexpr std::uint32_t kOutputSlot = kStackSlots;
// Source table: the registers first, then one entry per band read, holding its current run.
constexpr std::uint32_t kFirstBandSource = kStackSlots;

// How a step reads one operand over a run. Each is inlined into the loops below, so a loop is
// specialised to its operand kinds and the compiler sees a plain elementwise loop it vectorises.
struct InPlace {  // the register the step writes: a binary step's left operand, a unary's only one
    using T = float;
    static float load(const T*, float, const float* __restrict d, std::size_t i) { return d[i]; }
};
struct Floats {  // another register
    using T = float;
    static float load(const T* __restrict p, float, const float*, std::size_t i) { return p[i]; }
};
struct Samples {  // a band's run, converted exactly from uint16
    using T = std::uint16_t;
    static float load(const T* __restrict p, float, const float*, std::size_t i) { return static_cast<float>(p[i]); }
};
struct Constant {
    using T = float;
    static float load(const T*, float s, const float*, std::size_t) { return s; }
};

enum class Kind : std::uint8_t { in_place, floats, samples, constant };

// N == 0: a run of n < kRun pixels; otherwise exactly N, so that full runs need no remainder loop.
template <class A, class B, OpCode K, std::size_t N>
void binary_run(float* __restrict d, const void* a, const void* b, float sa, float sb, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    const auto* __restrict pb = static_cast<const typename B::T*>(b);
    if constexpr (N != 0) n = N;
    for (std::size_t i = 0; i < n; ++i) d[i] = apply_binary<K>(A::load(pa, sa, d, i), B::load(pb, sb, d, i));
}

template <class A, OpCode K, std::size_t N>
void unary_run(float* __restrict d, const void* a, const void*, float sa, float, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    if constexpr (N != 0) n = N;
    for (std::size_t i = 0; i < n; ++i) d[i] = apply_unary<K>(A::load(pa, sa, d, i));
}

// The result is a band or a constant exactly as pushed.
template <class A, std::size_t N>
void copy_run(float* __restrict d, const void* a, const void*, float sa, float, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    if constexpr (N != 0) n = N;
    for (std::size_t i = 0; i < n; ++i) d[i] = A::load(pa, sa, d, i);
}

template <class F>
BlockProgram::RunFn with_kind(Kind kind, const F& f) {
    switch (kind) {
        case Kind::in_place: return f(InPlace{});
        case Kind::floats: return f(Floats{});
        case Kind::samples: return f(Samples{});
        case Kind::constant: break;
    }
    return f(Constant{});
}

template <class F>
BlockProgram::RunFn with_op(OpCode op, const F& f) {
    switch (op) {
#define RASTREL_OP_CASE(name, operands, probe) \
    case OpCode::name: return f(std::integral_constant<OpCode, OpCode::name>{});
        RASTREL_OPCODES(RASTREL_OP_CASE)
#undef RASTREL_OP_CASE
    }
    return nullptr;
}

template <std::size_t N>
BlockProgram::RunFn pick_run(OpCode op, Kind ka, Kind kb) {
    return with_op(op, [&](auto k) {
        constexpr OpCode K = decltype(k)::value;
        return with_kind(ka, [&](auto a) -> BlockProgram::RunFn {
            using A = decltype(a);
            if constexpr (op_operands(K) == 0) {
                return &copy_run<A, N>;
            } else if constexpr (op_operands(K) == 1) {
                return &unary_run<A, K, N>;
            } else {
                return with_kind(kb, [&](auto b) -> BlockProgram::RunFn { return &binary_run<A, decltype(b), K, N>; });
            }
        });
    });
}

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

}  // namespace

BlockProgram::BlockProgram(const RegisterProgram& program, std::span<const BandView> bands, const OutputView& out)
    : out_(out),
      out_aligned_(is_aligned(out.data)),
      // Runs follow the output's unit stride, so that a column-major output is written in place.
      transposed_(out.rows > 1 && out.cols > 1 && out.col_stride != 1 && out.row_stride == 1) {
    if (transposed_) out_ = transpose(out_);
    bands_.reserve(program.bands.size());
    for (const std::uint64_t k : program.bands) {
        const BandView view = transposed_ ? transpose(bands[k]) : bands[k];
        bands_.push_back({view, is_aligned(view.data)});
    }
    steps_.reserve(program.steps.size());
    for (const RegisterStep& step : program.steps) {
        const std::uint32_t dst = step.dst == kOutputRegister ? kOutputSlot : step.dst;
        const auto kind = [dst](const Operand& x) {
            switch (x.kind) {
                case Operand::Kind::band: return Kind::samples;
                case Operand::Kind::reg: return x.index == dst ? Kind::in_place : Kind::floats;
                case Operand::Kind::scalar: break;
            }
            return Kind::constant;
        };
        const auto source = [](const Operand& x) -> std::uint32_t {
            if (x.kind == Operand::Kind::band) return kFirstBandSource + x.index;
            return x.kind == Operand::Kind::reg ? x.index : 0;
        };
        const Kind ka = kind(step.a), kb = kind(step.b);
        steps_.push_back({pick_run<kRun>(step.op, ka, kb), pick_run<0>(step.op, ka, kb), source(step.a),
                          source(step.b), step.a.value, step.b.value, dst});
    }
}

void BlockProgram::evaluate(std::size_t row0, std::size_t col0, std::size_t rows, std::size_t cols) const {
    if (transposed_) {
        std::swap(row0, col0);
        std::swap(rows, cols);
    }
    if (rows == 0 || cols == 0) return;
    const bool joined = rows > 1 && lines_join(out_, cols) &&
                        std::all_of(bands_.begin(), bands_.end(), [cols](const BandSource& b) { return lines_join(b.view, cols); });
    const std::size_t lines = joined ? 1 : rows;
    const std::size_t length = joined ? rows * cols : cols;

    // Registers are written before they are read within every run, so they start uninitialised.
    alignas(64) float regs[(kStackSlots + 1) * kRun];
    float* dsts[kStackSlots + 1];
    for (std::size_t j = 0; j <= kStackSlots; ++j) dsts[j] = regs + j * kRun;
    float* const out_scratch = dsts[kOutputSlot];

    constexpr std::size_t kInPlace = ~std::size_t{0};
    struct BandRun {
        Walk<const std::uint16_t> walk;
        std::size_t scratch;  // offset of its gathered run, or kInPlace when read where it lies
    };
    std::vector<const void*> sources(kFirstBandSource + bands_.size());
    for (std::size_t j = 0; j < kStackSlots; ++j) sources[j] = dsts[j];
    std::vector<BandRun> band_runs;
    band_runs.reserve(bands_.size());
    std::size_t gathered_length = 0;
    for (const BandSource& band : bands_) {
        const auto walk = walk_of(band.view, row0, col0, cols, joined);
        const bool in_place = walk.step == 1 && band.aligned;
        band_runs.push_back({walk, in_place ? kInPlace : gathered_length});
        if (!in_place) gathered_length += kRun;
    }
    std::vector<std::uint16_t> gathered(gathered_length);
    const auto out_walk = walk_of(out_, row0, col0, cols, joined);
    const bool out_in_place = out_walk.step == 1 && out_aligned_;

    for (std::size_t l = 0; l < lines; ++l) {
        for (std::size_t i = 0; i < length; i += kRun) {
            const std::size_t n = std::min(kRun, length - i);
            for (std::size_t u = 0; u < band_runs.size(); ++u) {
                const BandRun& band = band_runs[u];
                const std::uint16_t* at = band.walk.at(l, i);
                sources[kFirstBandSource + u] =
                    band.scratch == kInPlace ? at : gather(gathered.data() + band.scratch, at, band.walk.step, n);
            }
            float* const out_at = out_walk.at(l, i);
            dsts[kOutputSlot] = out_in_place ? out_at : out_scratch;
            if (n == kRun) {
                for (const Step& s : steps_) s.full(dsts[s.dst], sources[s.a], sources[s.b], s.sa, s.sb, n);
            } else {
                for (const Step& s : steps_) s.tail(dsts[s.dst], sources[s.a], sources[s.b], s.sa, s.sb, n);
            }
            if (!out_in_place) scatter(out_at, out_walk.step, out_scratch, n);
        }
    }
}

void evaluate_blocks(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out) {
    const auto whole = parallel::zip(parallel::Indices{0, 0, out.rows, out.cols}, out);
    if (out.rows == 0 || out.cols == 0) {
        // No pixel, so no program fault; the traversal still refuses to start without a pool.
        parallel::par_for_each_piece(whole, [](const auto&) {});
        return;
    }
    if (const auto fault = validate(prog, bands, out.rows, out.cols)) raise_eval_fault(fault->fault);
    const BlockProgram program(lower(prog), bands, out);
    parallel::par_for_each_piece(whole, [&program](const auto& piece) {
        const parallel::Indices& at = std::get<0>(piece.parts());
        program.evaluate(at.row0, at.col0, at.rows, at.cols);
    });
}

}  // namespace rastrel
