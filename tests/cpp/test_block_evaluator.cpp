// Evaluation in runs of pixels against the per-pixel stack evaluator, which stays the reference:
// random programs over random layouts must give the same bits (NaN payloads and the sign of zero
// included) and, when a pixel cannot run the program, the same fault text, with nothing written.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "check.h"
#include "core/expr/block_evaluator.h"
#include "core/expr/evaluator.h"
#include "core/expr/fused.h"
#include "core/expr/register_program.h"
#include "core/fault.h"
#include "core/parallel/pool.h"
#include "core/targets/copies.h"
#include "watchdog.h"

using namespace rastrel;

namespace {

using Program = std::vector<Instruction>;
using Rng = std::mt19937_64;

Instruction band(std::uint64_t k) { return {OpCode::push_band, 0.0f, k}; }
Instruction scalar(float v) { return {OpCode::push_scalar, v, 0}; }
Instruction op(OpCode k) { return {k, 0.0f, 0}; }

std::size_t pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// How a view lies in memory: which axis is contiguous, the spacing of elements and of lines,
// reversed axes, a misaligned start, a broadcast axis (stride 0).
struct Layout {
    bool column_major = false;
    std::ptrdiff_t spread = 1;  // elements between neighbours along the contiguous axis
    std::ptrdiff_t pad = 0;     // extra elements between lines
    bool flip_rows = false, flip_cols = false;
    bool misaligned = false;
    bool broadcast_rows = false, broadcast_cols = false;
};

Layout random_layout(Rng& rng, bool may_broadcast) {
    Layout l;
    l.column_major = pick(rng, 3) == 0;
    l.spread = pick(rng, 4) == 0 ? 2 + static_cast<std::ptrdiff_t>(pick(rng, 2)) : 1;
    l.pad = pick(rng, 3) == 0 ? static_cast<std::ptrdiff_t>(pick(rng, 5)) : 0;
    l.flip_rows = pick(rng, 5) == 0;
    l.flip_cols = pick(rng, 5) == 0;
    l.misaligned = pick(rng, 8) == 0;
    l.broadcast_rows = may_broadcast && pick(rng, 12) == 0;
    l.broadcast_cols = may_broadcast && !l.broadcast_rows && pick(rng, 12) == 0;
    return l;
}

// A rows x cols view of T over its own bytes, laid out as `layout` says; elements are read and
// written through load/store, which allow the misaligned layouts.
template <class T>
struct Strided {
    std::vector<unsigned char> bytes;
    View2D<T> view;

    Strided(std::size_t rows, std::size_t cols, const Layout& l) {
        const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
        std::ptrdiff_t s0 = l.column_major ? l.spread : c * l.spread + l.pad;
        std::ptrdiff_t s1 = l.column_major ? r * l.spread + l.pad : l.spread;
        if (l.broadcast_rows) s0 = 0;
        if (l.broadcast_cols) s1 = 0;
        const std::ptrdiff_t last = rows == 0 || cols == 0 ? 0 : (r - 1) * s0 + (c - 1) * s1;
        bytes.assign(static_cast<std::size_t>(last + 1) * sizeof(T) + 1, 0xA5);
        std::ptrdiff_t origin = 0;
        if (l.flip_rows && rows > 0) origin += (r - 1) * s0, s0 = -s0;
        if (l.flip_cols && cols > 0) origin += (c - 1) * s1, s1 = -s1;
        auto* base = reinterpret_cast<T*>(bytes.data() + (l.misaligned ? 1 : 0));
        view = {base + origin, rows, cols, s0, s1};
    }
    T* at(std::size_t r, std::size_t c) const {
        return view.data + static_cast<std::ptrdiff_t>(r) * view.row_stride + static_cast<std::ptrdiff_t>(c) * view.col_stride;
    }
    void set(std::size_t r, std::size_t c, std::remove_const_t<T> v) { std::memcpy(const_cast<void*>(static_cast<const void*>(at(r, c))), &v, sizeof v); }
    std::remove_const_t<T> get(std::size_t r, std::size_t c) const {
        std::remove_const_t<T> v;
        std::memcpy(&v, at(r, c), sizeof v);
        return v;
    }
};

using BandStore = Strided<const std::uint16_t>;
using OutStore = Strided<float>;

// Exact bits, NaN payloads and signs included: which NaN an operation on two NaNs returns is
// fixed by the evaluator, so it must not depend on the loop that computed the pixel either.
bool same_float(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// Samples that hit the edges of the arithmetic (zero divisors, the largest value) often.
std::uint16_t random_sample(Rng& rng) {
    switch (pick(rng, 6)) {
        case 0: return static_cast<std::uint16_t>(pick(rng, 3));
        case 1: return 65535;
        default: return static_cast<std::uint16_t>(rng());
    }
}

float random_scalar(Rng& rng) {
    static const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, -2.5f, 1e-10f, 3.0f,
                                    std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::denorm_min(), 6.1f, 7.3f, 1.05f};
    if (pick(rng, 2) == 0) return special[pick(rng, std::size(special))];
    return std::uniform_real_distribution<float>(-8.0f, 8.0f)(rng);
}

// Programs whose steps fit the stack and name existing bands, reaching all 16 slots and at times
// leaving several values; pushes are favoured while the stack is shallow. Unless `valid`, one
// step in twenty may break those rules (and band numbers may run one past the list).
Program random_program(Rng& rng, std::size_t nbands, bool valid = true) {
    Program prog;
    int depth = 0;
    const std::size_t length = pick(rng, 48);
    const bool deep = pick(rng, 4) == 0;
    while (prog.size() < length) {
        const auto k = static_cast<OpCode>(pick(rng, kOpCount));
        const bool legal = depth >= static_cast<int>(op_operands(k)) && depth + op_stack_effect(k) <= 16 &&
                           (k != OpCode::push_band || nbands != 0);
        if (!legal && (valid || pick(rng, 20) != 0)) continue;
        if (deep && op_operands(k) != 0 && depth < 14 && pick(rng, 3) != 0) continue;
        Instruction ins = op(k);
        ins.band = pick(rng, valid ? std::max<std::size_t>(nbands, 1) : nbands + 1);
        ins.scalar = random_scalar(rng);
        prog.push_back(ins);
        depth += op_stack_effect(k);
    }
    return prog;
}

std::optional<std::string> fault_text(const std::function<void()>& run) {
    try {
        run();
    } catch (const Fault& f) {
        return std::string(f.what());
    }
    return std::nullopt;
}

// Bands at least as large as the output (sometimes larger), each in a random layout.
struct Scene {
    std::vector<BandStore> bands;
    std::vector<BandView> views;

    Scene(Rng& rng, std::size_t nbands, std::size_t rows, std::size_t cols, std::size_t max_extra) {
        for (std::size_t k = 0; k < nbands; ++k) {
            const std::size_t r = rows + pick(rng, max_extra + 1), c = cols + pick(rng, max_extra + 1);
            const Layout l = random_layout(rng, true);
            BandStore& b = bands.emplace_back(r, c, l);
            for (std::size_t i = 0; i < r; ++i)
                for (std::size_t j = 0; j < c; ++j) b.set(i, j, random_sample(rng));
        }
        for (const BandStore& b : bands) views.push_back(b.view);
    }
};

std::size_t mismatches(const OutStore& got, const OutStore& want) {
    std::size_t wrong = 0;
    for (std::size_t r = 0; r < got.view.rows; ++r)
        for (std::size_t c = 0; c < got.view.cols; ++c) wrong += !same_float(got.get(r, c), want.get(r, c));
    return wrong;
}

// Shapes around the run length, so that full runs, tails and short lines joined into one run
// all occur, plus small and degenerate ones.
std::pair<std::size_t, std::size_t> random_shape(Rng& rng) {
    const std::size_t run = kRunLength;
    switch (pick(rng, 4)) {
        case 0: return {1 + pick(rng, 3), run - 2 + pick(rng, 2 * run)};
        case 1: return {run / 2 + pick(rng, run), 1 + pick(rng, 3)};
        default: return {1 + pick(rng, 24), 1 + pick(rng, 40)};
    }
}

// Every copy of the loops this processor can run, with the output through the caches and past
// them.
struct Variant {
    const BlockRuns* runs;
    Stores stores;
};

std::vector<Variant> variants() {
    std::vector<Variant> all;
    for (const Isa isa : kAllIsas) {
        const BlockRuns* runs = block_runs_for(isa);
        if (runs == nullptr) continue;
        for (const auto stores : {Stores::kCached, Stores::kStreaming}) all.push_back({runs, stores});
    }
#if defined(__x86_64__)
    // The loops that pick a narrower copy for some runs, whether or not this processor's calls
    // take them.
    if (isa_supported(Isa::kAvx512) && targets::kAvx512.call_blocks != targets::kAvx512.blocks) {
        for (const auto stores : {Stores::kCached, Stores::kStreaming})
            all.push_back({targets::kAvx512.call_blocks, stores});
    }
#endif
    return all;
}

void test_random_programs_match_the_reference() {
    Rng rng(7);
    const std::vector<Variant> copies = variants();
    std::printf("loops for:");
    for (std::size_t i = 0; i < copies.size(); i += 2) std::printf(" %s", copies[i].runs->isa);
    std::printf("\n");
    std::size_t pixels = 0;
    for (int iteration = 0; iteration < 3000; ++iteration) {
        const auto [rows, cols] = random_shape(rng);
        const std::size_t nbands = pick(rng, 5);
        Scene scene(rng, nbands, rows, cols, 3);
        const Program prog = random_program(rng, nbands);
        const Layout out_layout = random_layout(rng, false);
        OutStore want(rows, cols, out_layout), got(rows, cols, out_layout);
        evaluate_all(prog, scene.views, want.view);
        evaluate_blocks(prog, scene.views, got.view);
        const auto context = [&] {
            std::ostringstream os;
            os << "iteration " << iteration << ", " << rows << " x " << cols << ", " << prog.size() << " steps";
            return os.str();
        };
        CHECK_EQ(mismatches(got, want), std::size_t{0}, context() << ", on the pool");
        const RegisterProgram lowered = lower(prog);
        for (const Variant& v : copies) {
            OutStore each(rows, cols, out_layout);
            BlockProgram(lowered, scene.views, each.view, *v.runs, v.stores).evaluate(0, 0, rows, cols);
            CHECK_EQ(mismatches(each, want), std::size_t{0},
                     context() << ", " << v.runs->isa << (v.stores == Stores::kStreaming ? " streaming" : ""));
        }
        pixels += rows * cols;
    }
    CHECK_MSG(pixels > 1000000, pixels << " pixels");
}

// Pieces of any shape and position, evaluated directly: only the rectangle is written, with the
// reference's values; positions are absolute in the output and in the bands.
void test_rectangles_write_only_themselves() {
    Rng rng(11);
    const std::vector<Variant> copies = variants();
    for (int iteration = 0; iteration < 600; ++iteration) {
        const auto [rows, cols] = random_shape(rng);
        const std::size_t nbands = 1 + pick(rng, 3);
        Scene scene(rng, nbands, rows, cols, 2);
        const Program prog = random_program(rng, nbands);
        const Layout out_layout = random_layout(rng, false);
        OutStore want(rows, cols, out_layout), got(rows, cols, out_layout);
        const std::size_t r0 = pick(rng, rows), c0 = pick(rng, cols);
        const std::size_t r1 = r0 + pick(rng, rows - r0 + 1), c1 = c0 + pick(rng, cols - c0 + 1);
        evaluate_rect(prog, scene.views, want.view, r0, r1, c0, c1);
        const Variant& v = copies[pick(rng, copies.size())];
        BlockProgram(lower(prog), scene.views, got.view, *v.runs, v.stores).evaluate(r0, c0, r1 - r0, c1 - c0);
        CHECK_EQ(mismatches(got, want), std::size_t{0}, "iteration " << iteration);
        // Both started from the same fill bytes, so untouched pixels compare equal too; check one
        // outside pixel's bytes explicitly in case both paths wrote it alike.
        if (r1 < rows) CHECK_EQ(std::bit_cast<std::uint32_t>(got.get(r1, c0)), 0xA5A5A5A5u, "iteration " << iteration);
    }
}

// Programs with faults of every kind, bands smaller than the output, outputs without pixels: the
// block path raises the text the sequential reference raises first, before writing anything, and
// nothing at all when there is no pixel to evaluate.
void test_faults_match_the_reference() {
    Rng rng(2024);
    std::size_t faulty = 0;
    const int iterations = 4000;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const std::size_t nbands = pick(rng, 4), rows = pick(rng, 6), cols = pick(rng, 6);
        std::vector<BandStore> bands;
        std::vector<BandView> views;
        for (std::size_t k = 0; k < nbands; ++k) bands.emplace_back(pick(rng, 7), pick(rng, 7), random_layout(rng, true));
        for (const BandStore& b : bands) views.push_back(b.view);
        const Program prog = random_program(rng, nbands, false);
        OutStore want(rows, cols, {}), got(rows, cols, {});
        const auto expected = fault_text([&] { evaluate_all(prog, views, want.view); });
        const auto actual = fault_text([&] { evaluate_blocks(prog, views, got.view); });
        faulty += expected.has_value();
        CHECK_EQ(actual.value_or("no fault"), expected.value_or("no fault"), "iteration " << iteration);
        if (actual) {
            bool untouched = true;
            for (unsigned char byte : got.bytes) untouched &= byte == 0xA5;
            CHECK_MSG(untouched, "written before the fault, iteration " << iteration);
        } else {
            CHECK_EQ(mismatches(got, want), std::size_t{0}, "iteration " << iteration);
        }
    }
    CHECK_MSG(faulty > iterations / 4 && faulty < iterations * 3 / 4, faulty << " of " << iterations);
}

// The register form itself: what is folded, what is dropped, what reads in place.
void test_lowering() {
    using K = OpCode;
    const RegisterProgram nd = lower(Program{band(0), band(1), op(K::sub), band(0), band(1), op(K::add), op(K::div)});
    CHECK_EQ(nd.steps.size(), std::size_t{3}, "normalized difference");
    CHECK(nd.steps[2].dst == kOutputRegister && nd.steps[2].a == Operand::reg(0) && nd.steps[2].b == Operand::reg(1));
    CHECK((nd.bands == std::vector<std::uint64_t>{0, 1}));

    // Constants fold, and the steps after slot 0's last write (here an unused band) disappear.
    const RegisterProgram folded = lower(Program{band(5), scalar(2), scalar(3), op(K::mul), op(K::add), band(9), op(K::neg)});
    CHECK_EQ(folded.steps.size(), std::size_t{1}, "folded");
    CHECK(folded.steps[0].b == Operand::scalar(6.0f) && folded.steps[0].dst == kOutputRegister);
    CHECK((folded.bands == std::vector<std::uint64_t>{5}));

    // A result that is a push becomes one copy; the empty program copies 0.0.
    const RegisterProgram copied = lower(Program{band(1), band(2), band(3), op(K::add)});
    CHECK(copied.steps.size() == 1 && copied.steps[0].op == K::push_band && copied.bands.size() == 1);
    const RegisterProgram none = lower(Program{});
    CHECK(none.steps.size() == 1 && none.steps[0].a == Operand::scalar(0.0f) && none.bands.empty());
}

// Programs of the fused shapes, their additions and multiplications written either way round,
// over bands that may repeat, with constants from random_scalar.
Program cat(std::initializer_list<Program> parts) {
    Program all;
    for (const Program& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Program binary(Rng& rng, const Program& x, const Program& y, OpCode k) {
    const bool swap = (k == OpCode::add || k == OpCode::mul) && pick(rng, 2) == 0;
    return swap ? cat({y, x, {op(k)}}) : cat({x, y, {op(k)}});
}

Program shape_program(Rng& rng, std::size_t nbands) {
    using K = OpCode;
    const Program x{band(pick(rng, nbands))}, y{band(pick(rng, nbands))}, z{band(pick(rng, nbands))};
    const Program c0{scalar(random_scalar(rng))}, c1{scalar(random_scalar(rng))}, c2{scalar(random_scalar(rng))},
        c3{scalar(random_scalar(rng))};
    const Program difference = cat({x, y, {op(K::sub)}});
    switch (pick(rng, 4)) {
        case 0: return cat({difference, binary(rng, x, y, K::add), {op(K::div)}});
        case 1: return cat({x, y, {op(K::div)}});
        case 2: {
            const Program bottom = binary(rng, binary(rng, x, y, K::add), c1, K::add);
            return binary(rng, c0, cat({difference, bottom, {op(K::div)}}), K::mul);
        }
        default: break;
    }
    const Program left = binary(rng, x, binary(rng, c1, y, K::mul), K::add);
    const Program bottom = binary(rng, cat({left, binary(rng, c2, z, K::mul), {op(K::sub)}}), c3, K::add);
    return binary(rng, c0, cat({difference, bottom, {op(K::div)}}), K::mul);
}

// Each shape as one loop gives the reference's bits, in every copy of the loops, through the
// caches and past them, whole lines and runs alike.
void test_fused_shapes_match_the_reference() {
    Rng rng(31);
    const std::vector<Variant> copies = variants();
    for (int iteration = 0; iteration < 1500; ++iteration) {
        const auto [rows, cols] = random_shape(rng);
        const std::size_t nbands = 1 + pick(rng, 3);
        Scene scene(rng, nbands, rows, cols, 2);
        const Program prog = shape_program(rng, nbands);
        const RegisterProgram lowered = lower(prog);
        CHECK_MSG(match_fused(lowered).has_value(), "iteration " << iteration);
        const Layout out_layout = random_layout(rng, false);
        OutStore want(rows, cols, out_layout), got(rows, cols, out_layout);
        evaluate_all(prog, scene.views, want.view);
        evaluate_blocks(prog, scene.views, got.view);
        CHECK_EQ(mismatches(got, want), std::size_t{0}, "iteration " << iteration << ", on the pool");
        for (const Variant& v : copies) {
            OutStore each(rows, cols, out_layout);
            BlockProgram(lowered, scene.views, each.view, *v.runs, v.stores).evaluate(0, 0, rows, cols);
            CHECK_EQ(mismatches(each, want), std::size_t{0}, "iteration " << iteration << ", " << v.runs->isa);
        }
    }
}

// float32 samples with NaNs of many payloads (so that the order of two NaN operands shows),
// infinities and signed zeros.
float random_float_sample(Rng& rng) {
    switch (pick(rng, 5)) {
        case 0: return std::bit_cast<float>(0x7F800001u | static_cast<std::uint32_t>(rng() & 0x807FFFFFu));
        case 1: return random_scalar(rng);
        default: return std::uniform_real_distribution<float>(-3000.0f, 3000.0f)(rng);
    }
}

// Bands of uint16, int16 and float32 samples with scale, offset, nodata and masks: the fused
// loops give the bits of the steps run one by one.
struct TypedScene {
    std::vector<BandStore> u16;
    std::vector<Strided<const std::int16_t>> i16;
    std::vector<Strided<const float>> f32;
    std::vector<Strided<const std::uint8_t>> masks;
    std::vector<BandInput> inputs;
    std::vector<MaskView> mask_views;

    TypedScene(Rng& rng, std::size_t nbands, std::size_t rows, std::size_t cols) {
        // Views point into each store's own bytes, which moving a store keeps.
        u16.reserve(nbands);
        i16.reserve(nbands);
        f32.reserve(nbands);
        const float scales[] = {1.0f, 1e-4f, -2.5f, std::numeric_limits<float>::infinity(),
                                std::numeric_limits<float>::quiet_NaN()};
        for (std::size_t k = 0; k < nbands; ++k) {
            SampleView view{};
            const std::size_t type = pick(rng, 3);
            const Layout l = random_layout(rng, false);
            if (type == 0) {
                BandStore& b = u16.emplace_back(rows, cols, l);
                for (std::size_t i = 0; i < rows * cols; ++i) b.set(i / cols, i % cols, random_sample(rng));
                view = {b.view.data, rows, cols, b.view.row_stride, b.view.col_stride, SampleType::u16};
            } else if (type == 1) {
                auto& b = i16.emplace_back(rows, cols, l);
                for (std::size_t i = 0; i < rows * cols; ++i)
                    b.set(i / cols, i % cols, static_cast<std::int16_t>(rng()));
                view = {b.view.data, rows, cols, b.view.row_stride, b.view.col_stride, SampleType::i16};
            } else {
                auto& b = f32.emplace_back(rows, cols, l);
                for (std::size_t i = 0; i < rows * cols; ++i) b.set(i / cols, i % cols, random_float_sample(rng));
                view = {b.view.data, rows, cols, b.view.row_stride, b.view.col_stride, SampleType::f32};
            }
            const bool scaled = pick(rng, 3) == 0;
            const float scale = scaled ? scales[pick(rng, std::size(scales))] : 1.0f;
            const float offset = scaled ? random_scalar(rng) : 0.0f;
            const double nodata[] = {0.0, 1.0, 65535.0, -0.0, std::nan("")};
            const Nodata tested =
                pick(rng, 2) == 0 ? Nodata{} : Nodata::of(view.type, nodata[pick(rng, std::size(nodata))]);
            inputs.push_back({view, scale, offset, tested});
        }
        if (pick(rng, 4) == 0) {
            auto& m = masks.emplace_back(rows, cols, random_layout(rng, false));
            for (std::size_t i = 0; i < rows * cols; ++i) m.set(i / cols, i % cols, pick(rng, 7) == 0);
            mask_views.push_back(m.view);
        }
    }
};

void test_fused_reads_every_band_as_the_steps_do() {
    Rng rng(43);
    const std::vector<Variant> copies = variants();
    for (int iteration = 0; iteration < 1500; ++iteration) {
        const auto [rows, cols] = random_shape(rng);
        const std::size_t nbands = 1 + pick(rng, 3);
        TypedScene scene(rng, nbands, rows, cols);
        const RegisterProgram lowered = lower(shape_program(rng, nbands));
        const Layout out_layout = random_layout(rng, false);
        const float fill = random_scalar(rng);
        const Variant& v = copies[pick(rng, copies.size())];
        OutStore want(rows, cols, out_layout), got(rows, cols, out_layout);
        BlockProgram(lowered, scene.inputs, scene.mask_views, fill, want.view, *v.runs, v.stores, Fusion::kNever)
            .evaluate(0, 0, rows, cols);
        BlockProgram(lowered, scene.inputs, scene.mask_views, fill, got.view, *v.runs, v.stores)
            .evaluate(0, 0, rows, cols);
        CHECK_EQ(mismatches(got, want), std::size_t{0}, "iteration " << iteration << ", " << v.runs->isa);
    }
}

// One prepared program called over a few layouts in turn, more than it keeps bound, each call
// over views of its own, from several threads at once: every call reads and writes its own views,
// whichever kept program it finds, and no kept program passes between calls running at once.
void test_prepared_calls_over_layouts_from_threads() {
    constexpr int kThreads = 4, kCalls = 16;
    Rng rng(53);
    const Watchdog watchdog("prepared calls over layouts from threads", 240);
    for (int round = 0; round < 30; ++round) {
        const std::size_t nbands = 1 + pick(rng, 3);
        const Program prog = pick(rng, 2) == 0 ? shape_program(rng, nbands) : random_program(rng, nbands);
        const std::unique_ptr<const PreparedProgram> prepared = prepare(prog, nbands);
        CHECK_MSG(prepared != nullptr, "round " << round);
        if (!prepared) continue;
        struct Case {
            std::size_t rows, cols, extra;
            std::vector<Layout> bands;
            Layout out;
        };
        std::vector<Case> cases(6);
        for (Case& c : cases) {
            std::tie(c.rows, c.cols) = random_shape(rng);
            c.extra = pick(rng, 2);
            for (std::size_t k = 0; k < nbands; ++k) c.bands.push_back(random_layout(rng, true));
            c.out = random_layout(rng, false);
        }
        struct Call {
            std::vector<BandStore> bands;
            std::vector<BandView> views;
            OutStore want, got;
        };
        std::vector<std::vector<Call>> calls(kThreads);
        for (std::vector<Call>& mine : calls) {
            for (int i = 0; i < kCalls; ++i) {
                const Case& c = cases[pick(rng, cases.size())];
                Call& call =
                    mine.emplace_back(Call{{}, {}, OutStore(c.rows, c.cols, c.out), OutStore(c.rows, c.cols, c.out)});
                for (const Layout& l : c.bands) {
                    BandStore& b = call.bands.emplace_back(c.rows + c.extra, c.cols + c.extra, l);
                    for (std::size_t r = 0; r < b.view.rows; ++r)
                        for (std::size_t j = 0; j < b.view.cols; ++j) b.set(r, j, random_sample(rng));
                }
                for (const BandStore& b : call.bands) call.views.push_back(b.view);
                evaluate_all(prog, call.views, call.want.view);
            }
        }
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (Call& call : calls[static_cast<std::size_t>(t)]) {
                    evaluate_blocks(prog, call.views, call.got.view, block_runs(), nullptr, prepared.get());
                    CHECK_EQ(mismatches(call.got, call.want), std::size_t{0}, "round " << round << ", thread " << t);
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
}

}  // namespace

int main() {
    parallel::set_up_global_pool();
    test_lowering();
    test_random_programs_match_the_reference();
    test_rectangles_write_only_themselves();
    test_faults_match_the_reference();
    test_fused_shapes_match_the_reference();
    test_fused_reads_every_band_as_the_steps_do();
    test_prepared_calls_over_layouts_from_threads();
    return check::exit_code();
}
