// Expression programs evaluated in runs of pixels, against the same programs evaluated one pixel
// at a time on the 16-slot stack, and against the fixed formulas the module's kernels use, all on
// the process-wide pool over the same bands, side by side in one run. Rounds are interleaved (the
// order rotates each round) so that drifting memory bandwidth and other load hit every contender
// alike; medians and their ratios are printed, and every output is checked bit for bit against
// the per-pixel one.
//
//     bench_expr_block [size] [rounds]      (defaults: 4096, 9)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "expr/block_evaluator.h"
#include "expr/evaluator.h"
#include "kernels/formulas.h"
#include "parallel/traversal.h"

using namespace rastrel;

namespace {

Instruction band(std::uint64_t k) { return {OpCode::push_band, 0.0f, k}; }
Instruction scalar(float v) { return {OpCode::push_scalar, v, 0}; }
Instruction op(OpCode k) { return {k, 0.0f, 0}; }

// Inexact coefficients, as a user's would be: exact ones hide a fused multiply-add.
constexpr float kG = 2.5f, kC1 = 6.1f, kC2 = 7.3f, kL = 1.05f;

struct Case {
    std::string name;
    std::vector<Instruction> program;
    std::size_t nbands;
    // The fixed formula over the zip of the output and the first nbands bands.
    std::function<void(const OutputView&, const std::vector<BandView>&)> kernel;
};

std::vector<Case> cases() {
    using K = OpCode;
    std::vector<Case> all;
    all.push_back({"normalized difference",
                   {band(0), band(1), op(K::sub), band(0), band(1), op(K::add), op(K::div)},
                   2,
                   [](const OutputView& out, const std::vector<BandView>& b) {
                       const kernels::NormalizedDifference f;
                       parallel::par_for_each(parallel::zip(out, b[0], b[1]), [&f](float* o, const std::uint16_t* x, const std::uint16_t* y) {
                           store_pixel(o, f(load_sample(x), load_sample(y)));
                       });
                   }});
    all.push_back({"ratio", {band(0), band(1), op(K::div)}, 2, [](const OutputView& out, const std::vector<BandView>& b) {
                       const kernels::Ratio f;
                       parallel::par_for_each(parallel::zip(out, b[0], b[1]), [&f](float* o, const std::uint16_t* x, const std::uint16_t* y) {
                           store_pixel(o, f(load_sample(x), load_sample(y)));
                       });
                   }});
    // g * ((n - r) / (n + c1 r - c2 b + l)), in the kernel's order of operations: 17 steps.
    all.push_back({"EVI",
                   {scalar(kG), band(0), band(1), op(K::sub), scalar(kC1), band(1), op(K::mul), band(0), op(K::add),
                    scalar(kC2), band(2), op(K::mul), op(K::sub), scalar(kL), op(K::add), op(K::div), op(K::mul)},
                   3,
                   [](const OutputView& out, const std::vector<BandView>& b) {
                       const kernels::EnhancedVegetationIndex f{kG, kC1, kC2, kL};
                       parallel::par_for_each(parallel::zip(out, b[0], b[1], b[2]),
                                              [&f](float* o, const std::uint16_t* n, const std::uint16_t* r, const std::uint16_t* bl) {
                                                  store_pixel(o, f(load_sample(n), load_sample(r), load_sample(bl)));
                                              });
                   }});
    return all;
}

// The executor as it was: every pixel evaluated on its own stack.
void per_pixel(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out) {
    const auto grid = parallel::Indices{0, 0, out.rows, out.cols};
    parallel::par_for_each(parallel::zip(grid, out), [&](parallel::Index2 at, float* pixel) {
        store_pixel(pixel, evaluate_pixel(prog, bands, at.row, at.col));
    });
}

double seconds(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4096;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
    parallel::set_up_global_pool();

    std::mt19937 rng(1);
    std::vector<std::vector<std::uint16_t>> samples(3, std::vector<std::uint16_t>(n * n));
    for (auto& s : samples)
        for (auto& v : s) v = static_cast<std::uint16_t>(rng());
    std::vector<BandView> bands;
    for (const auto& s : samples) bands.push_back({s.data(), n, n, static_cast<std::ptrdiff_t>(n), 1});
    std::vector<std::vector<float>> outs(3, std::vector<float>(n * n));

    std::printf("%zu x %zu uint16 bands, %zu threads, %d rounds, runs of %zu pixels\n", n, n,
                parallel::current_num_threads(), rounds, BlockProgram::kRunLength);
    std::printf("%-22s%12s%12s%12s%10s%10s\n", "program (steps)", "per-pixel", "blocks", "kernel", "pp/blk", "blk/krn");
    for (const Case& c : cases()) {
        const std::vector<BandView> used(bands.begin(), bands.begin() + static_cast<std::ptrdiff_t>(c.nbands));
        std::vector<OutputView> views;
        for (auto& o : outs) views.push_back({o.data(), n, n, static_cast<std::ptrdiff_t>(n), 1});
        const std::function<void()> runs[] = {
            [&] { per_pixel(c.program, used, views[0]); },
            [&] { evaluate_blocks(c.program, used, views[1]); },
            [&] { c.kernel(views[2], used); },
        };
        for (const auto& run : runs) run();  // warm-up: page faults, the pool's threads
        const bool same_blocks = std::memcmp(outs[0].data(), outs[1].data(), n * n * sizeof(float)) == 0;
        const bool same_kernel = std::memcmp(outs[0].data(), outs[2].data(), n * n * sizeof(float)) == 0;
        std::vector<double> times[3];
        for (int r = 0; r < rounds; ++r)
            for (int k = 0; k < 3; ++k) {
                const int i = (k + r) % 3;
                times[i].push_back(seconds(runs[i]));
            }
        double med[3];
        for (int i = 0; i < 3; ++i) med[i] = median(times[i]) * 1e3;
        const std::string label = c.name + " (" + std::to_string(c.program.size()) + ")";
        std::printf("%-22s%10.2fms%10.2fms%10.2fms%10.1f%10.2f%s%s\n", label.c_str(), med[0], med[1], med[2],
                    med[0] / med[1], med[1] / med[2], same_blocks ? "" : "  BLOCKS DIFFER",
                    same_kernel ? "" : "  KERNEL DIFFERS");
    }
    return 0;
}
