#pragma once
// What the C++ loop benchmarks share: n x n contiguous bands of random samples and an output,
// cut by the module's own traversal, and about a millisecond of other work between calls.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/kernels/runs.h"
#include "core/parallel/traversal.h"

namespace rastrel::bench {

using Clock = std::chrono::steady_clock;

inline std::int64_t nanos_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// About a millisecond of other work on the calling thread: square roots over 160 KB, as a
// NumPy ufunc would do them.
inline void other_work(std::vector<double>& scratch) {
    const Clock::time_point until = Clock::now() + std::chrono::microseconds(1000);
    while (Clock::now() < until) {
        for (double& x : scratch) x = std::sqrt(x + 1.0);
    }
}

struct LoopScene {
    std::size_t n;
    std::vector<std::uint16_t> a, b, c;
    std::vector<float> out;

    explicit LoopScene(std::size_t n_) : n(n_), a(n_ * n_), b(n_ * n_), c(n_ * n_), out(n_ * n_) {
        std::mt19937 rng(static_cast<unsigned>(n));
        for (auto* v : {&a, &b, &c}) std::generate(v->begin(), v->end(), [&] { return std::uint16_t(rng()); });
    }

    // The output and the three bands, zipped as the module zips them for a call.
    auto zipped() {
        const auto stride = static_cast<std::ptrdiff_t>(n);
        const BandView va{a.data(), n, n, stride, 1}, vb{b.data(), n, n, stride, 1}, vc{c.data(), n, n, stride, 1};
        const OutputView vo{out.data(), n, n, stride, 1};
        return parallel::zip(vo, va, vb, vc);
    }

    Stores stores() const { return stores_for(n * n * sizeof(float)); }

    // One piece of zipped() through the kernel's run, as the module walks it.
    template <class Pixel, class Piece>
    static void run(const Pixel& pixel, const Piece& piece, Stores stores) {
        const auto& parts = piece.parts();
        const std::uint16_t* const bands[] = {std::get<1>(parts).data, std::get<2>(parts).data,
                                              std::get<3>(parts).data};
        kernels::runs().of<Pixel>()(pixel, std::get<0>(parts).data, bands, piece.size(), stores);
    }
};

}  // namespace rastrel::bench
