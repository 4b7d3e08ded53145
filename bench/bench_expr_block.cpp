// Expression programs evaluated in runs of pixels against the same programs evaluated one pixel
// at a time on the 16-slot stack (the executor's former loop, which the module no longer offers),
// on the process-wide pool over the same bands, side by side in one run; the runs with each copy
// of the loops this processor can execute. Rounds are interleaved (the order rotates each round)
// so that drifting memory bandwidth and other load hit every contender alike; medians and their
// ratios are printed, and every output is compared bit for bit with the per-pixel one.
//
// Build with -DRASTREL_BUILD_BENCH=ON; run as  bench_expr_block [size] [rounds]  (4096, 9).
// bench/bench_expr_block.py compares the module's expressions with its fixed kernels.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "core/expr/block_evaluator.h"
#include "core/expr/evaluator.h"
#include "core/parallel/traversal.h"

using namespace rastrel;

namespace {

Instruction band(std::uint64_t k) { return {OpCode::push_band, 0.0f, k}; }
Instruction scalar(float v) { return {OpCode::push_scalar, v, 0}; }
Instruction op(OpCode k) { return {k, 0.0f, 0}; }

struct Case {
    const char* name;
    std::vector<Instruction> program;
};

std::vector<Case> cases() {
    using K = OpCode;
    // Inexact coefficients, as a user's would be.
    const float g = 2.5f, c1 = 6.1f, c2 = 7.3f, l = 1.05f;
    return {
        {"normalized difference", {band(0), band(1), op(K::sub), band(0), band(1), op(K::add), op(K::div)}},
        {"ratio", {band(0), band(1), op(K::div)}},
        // g * ((n - r) / (c1 r + n - c2 b + l)), in the EVI kernel's order of operations.
        {"EVI", {scalar(g), band(0), band(1), op(K::sub), scalar(c1), band(1), op(K::mul), band(0), op(K::add),
                 scalar(c2), band(2), op(K::mul), op(K::sub), scalar(l), op(K::add), op(K::div), op(K::mul)}},
    };
}

// Zeroed memory on 2 MiB pages where the system grants them, as NumPy asks for its large
// arrays: with 4 KiB pages, address translation alone slows the faster contenders.
template <class T>
struct Buffer {
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], Free> data;

    explicit Buffer(std::size_t count) {
        constexpr std::size_t kPage = std::size_t{2} << 20;
        const std::size_t bytes = (count * sizeof(T) + kPage - 1) / kPage * kPage;
        data.reset(static_cast<T*>(std::aligned_alloc(kPage, bytes)));
        if (!data) std::abort();
        madvise(data.get(), bytes, MADV_HUGEPAGE);
        std::memset(data.get(), 0, bytes);
    }
};

// The executor's former loop: every pixel evaluated on its own stack.
void per_pixel(std::span<const Instruction> prog, std::span<const BandView> bands, const OutputView& out) {
    const auto grid = parallel::Indices{0, 0, out.rows, out.cols};
    parallel::par_for_each(parallel::zip(grid, out), [&](parallel::Index2 at, float* pixel) {
        store_pixel(pixel, evaluate_pixel(prog, bands, at.row, at.col));
    });
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

    std::vector<const BlockRuns*> copies;
    for (const Isa isa : kAllIsas) {
        if (const BlockRuns* runs = block_runs_for(isa)) copies.push_back(runs);
    }
    std::mt19937 rng(1);
    std::vector<Buffer<std::uint16_t>> samples;
    std::vector<BandView> bands;
    for (int k = 0; k < 3; ++k) {
        std::uint16_t* s = samples.emplace_back(n * n).data.get();
        std::generate(s, s + n * n, [&] { return static_cast<std::uint16_t>(rng()); });
        bands.push_back({s, n, n, static_cast<std::ptrdiff_t>(n), 1});
    }
    const std::size_t contenders = 1 + copies.size();
    std::vector<Buffer<float>> outs;
    std::vector<OutputView> views;
    for (std::size_t k = 0; k < contenders; ++k) views.push_back({outs.emplace_back(n * n).data.get(), n, n, static_cast<std::ptrdiff_t>(n), 1});

    std::printf("%zu x %zu uint16 bands, %zu threads, %d rounds, runs of %zu pixels; median ms\n", n, n,
                parallel::current_num_threads(), rounds, kRunLength);
    std::printf("%-26s%11s", "program (steps)", "per-pixel");
    for (const BlockRuns* runs : copies) std::printf("%11s", runs->isa);
    std::printf("   per-pixel / %s\n", block_runs().isa);
    for (const Case& c : cases()) {
        std::vector<std::function<void()>> runs{[&] { per_pixel(c.program, bands, views[0]); }};
        for (std::size_t k = 0; k < copies.size(); ++k) {
            runs.push_back([&, k] { evaluate_blocks(c.program, bands, views[1 + k], *copies[k]); });
        }
        for (const auto& run : runs) run();  // warm-up: page faults, the pool's threads
        bool identical = true;
        for (std::size_t k = 1; k < contenders; ++k)
            identical &= std::memcmp(views[0].data, views[k].data, n * n * sizeof(float)) == 0;

        std::vector<std::vector<double>> times(contenders);
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t k = 0; k < contenders; ++k) {
                const std::size_t i = (k + static_cast<std::size_t>(r)) % contenders;
                const auto start = std::chrono::steady_clock::now();
                runs[i]();
                times[i].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            }
        }
        const std::string label = std::string(c.name) + " (" + std::to_string(c.program.size()) + ")";
        std::printf("%-26s", label.c_str());
        for (const auto& t : times) std::printf("%11.2f", median(t));
        std::printf("%14.1f%s\n", median(times[0]) / median(times.back()), identical ? "" : "  OUTPUTS DIFFER");
    }
    return 0;
}
