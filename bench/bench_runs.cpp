// One processor, no pool: the band-index loops of every compiled copy (instruction set) this
// processor runs, over n x n pixels placed as contiguous rows, every other column (bands and
// output), a transposed band, Fortran-ordered bands and a Fortran-ordered output. Prints the
// fastest and the median time per call, and the fastest's ratio to the contiguous arrays of the
// same copy run as one line, which is how the module runs contiguous arrays (the block walk of
// "contiguous rows" goes row by row, slower for short rows). The normalized difference by
// default, or the ratio (`ratio`, a fifth argument): the division is nearly all of its work, so
// what a placement adds around it shows most.
//
//   bench_runs [n|RxC [calls [rounds [layout [kernel]]]]]     (1024 x 1024 by default)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/isa.h"
#include "core/kernels/runs.h"

using namespace rastrel;

namespace {

// Band 0's strides (rows, cols) and the output's, in elements, for n x n pixels.
struct Layout {
    const char* name;
    std::ptrdiff_t (*band0)(std::size_t rows, std::size_t cols, int axis);
    std::ptrdiff_t (*band1)(std::size_t rows, std::size_t cols, int axis);
    std::ptrdiff_t (*out)(std::size_t rows, std::size_t cols, int axis);
    std::size_t spread;  // the arrays' buffers hold spread * rows * cols elements
};

std::ptrdiff_t c_order(std::size_t, std::size_t cols, int axis) { return axis == 0 ? std::ptrdiff_t(cols) : 1; }
std::ptrdiff_t f_order(std::size_t rows, std::size_t, int axis) { return axis == 0 ? 1 : std::ptrdiff_t(rows); }
std::ptrdiff_t pairs(std::size_t, std::size_t cols, int axis) { return axis == 0 ? std::ptrdiff_t(2 * cols) : 2; }
std::ptrdiff_t thirds(std::size_t, std::size_t cols, int axis) { return axis == 0 ? std::ptrdiff_t(3 * cols) : 3; }

const Layout kLayouts[] = {
    {"contiguous", c_order, c_order, c_order, 1},
    {"every other column", pairs, pairs, pairs, 2},
    {"every other column, bands", pairs, pairs, c_order, 2},
    {"every third column, bands", thirds, thirds, c_order, 3},
    {"transposed band", f_order, c_order, c_order, 1},
    {"fortran bands", f_order, f_order, c_order, 1},
    {"fortran output", c_order, c_order, f_order, 1},
};

// The arrays of one layout, shared by every copy.
struct Arrays {
    std::vector<std::uint16_t> a, b;
    std::vector<float> out;
    BandView bands[2];
    OutputView o;

    Arrays(const Layout& layout, std::size_t rows, std::size_t cols)
        : a(layout.spread * rows * cols), b(layout.spread * rows * cols), out(layout.spread * rows * cols) {
        std::mt19937 rng(1);
        for (auto& v : a) v = static_cast<std::uint16_t>(rng());
        for (auto& v : b) v = static_cast<std::uint16_t>(rng());
        bands[0] = {a.data(), rows, cols, layout.band0(rows, cols, 0), layout.band0(rows, cols, 1)};
        bands[1] = {b.data(), rows, cols, layout.band1(rows, cols, 0), layout.band1(rows, cols, 1)};
        o = {out.data(), rows, cols, layout.out(rows, cols, 0), layout.out(rows, cols, 1)};
    }
};

template <class Pixel>
kernels::Run<Pixel> run_of(const kernels::RunTable& table) noexcept {
    if constexpr (std::is_same_v<Pixel, kernels::Ratio>) {
        return table.ratio;
    } else {
        return table.normalized_difference;
    }
}

// `whole` runs the (contiguous) arrays as one line instead of walking them as a block.
template <class Pixel>
double seconds_per_call(const kernels::RunTable& table, const Arrays& arrays, int calls, bool whole) {
    const auto block = table.block_of<Pixel>();
    const auto run = run_of<Pixel>(table);
    const std::uint16_t* const bands[] = {arrays.a.data(), arrays.b.data()};
    const std::size_t n = arrays.o.rows * arrays.o.cols;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        if (whole)
            run({}, arrays.o.data, bands, n, Stores::kCached);
        else
            block({}, arrays.o, arrays.bands, Stores::kCached);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
    // "n" for n x n pixels, "RxC" for R rows of C.
    char* rest = nullptr;
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], &rest, 10) : 1024;
    const std::size_t cols = rest != nullptr && *rest == 'x' ? std::strtoul(rest + 1, nullptr, 10) : rows;
    const int calls = argc > 2 ? std::atoi(argv[2]) : std::max(1, int((std::size_t{1} << 22) / (rows * cols)));
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 15;
    if (rows == 0 || cols == 0 || calls < 1 || rounds < 1) {
        std::fprintf(stderr, "bench_runs: the size, calls and rounds must be at least 1\n");
        return 2;
    }
    const bool ratio = argc > 5 && std::string(argv[5]) == "ratio";
    const auto seconds = ratio ? seconds_per_call<kernels::Ratio> : seconds_per_call<kernels::NormalizedDifference>;
    std::vector<const kernels::RunTable*> tables;
    for (const Isa isa : kAllIsas) {
        if (const kernels::RunTable* table = kernels::run_table(isa)) tables.push_back(table);
    }
    std::vector<Arrays> arrays;
    // A fourth argument keeps only the layouts whose names contain it (with the contiguous one,
    // which comes first twice: run as one line, then walked as a block).
    std::vector<const Layout*> layouts{&kLayouts[0]};
    for (const Layout& layout : kLayouts) {
        if (argc <= 4 || &layout == &kLayouts[0] || std::string(layout.name).find(argv[4]) != std::string::npos)
            layouts.push_back(&layout);
    }
    for (const Layout* layout : layouts) arrays.emplace_back(*layout, rows, cols);
    // Interleaved rounds, every copy and layout once a round, so that the load of other
    // processes hits them alike; the fastest round is the one least disturbed.
    std::vector<std::vector<double>> times(tables.size() * arrays.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t t = 0; t < tables.size(); ++t) {
            for (std::size_t l = 0; l < arrays.size(); ++l) {
                times[t * arrays.size() + l].push_back(seconds(*tables[t], arrays[l], calls, l == 0));
            }
        }
    }
    std::printf("%s, %zu x %zu, %d calls per sample, %d interleaved rounds: fastest and median\n",
                ratio ? "ratio" : "normalized difference", rows, cols, calls, rounds);
    for (std::size_t t = 0; t < tables.size(); ++t) {
        double base = 0;
        for (std::size_t l = 0; l < arrays.size(); ++l) {
            auto& v = times[t * arrays.size() + l];
            std::sort(v.begin(), v.end());
            if (l == 0) base = v[0];
            std::printf("%-9s %-26s %10.2f us %10.2f us  %5.2fx\n", tables[t]->isa,
                        l == 0   ? "contiguous, one line"
                        : l == 1 ? "contiguous rows"
                                 : layouts[l]->name,
                        v[0] * 1e6, v[v.size() / 2] * 1e6, v[0] / base);
        }
    }
    return 0;
}
