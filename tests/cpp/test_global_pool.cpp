// The process-wide pool as module initialisation sets it up: sized from the processors this
// process may use, set up once, and usable from plain threads (one or several at once) with
// faults reaching the caller.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.h"
#include "core/parallel/cpus.h"
#include "core/parallel/traversal.h"
#include "check.h"
#include "watchdog.h"

using namespace rastrel;
using namespace rastrel::parallel;

namespace {

float normalized_difference(float a, float b) {
    const float d = a - b;
    float s = a + b;
    s = s + 1e-10f;
    return d / s;
}

}  // namespace

int main() {
    Watchdog watchdog("process-wide pool", 120);
    set_up_global_pool();
    WorkerPool& pool = current_pool();
    CHECK_EQ(current_num_threads(), available_parallelism().count, "one worker per usable processor");
    set_up_global_pool();
    CHECK(&current_pool() == &pool);

    const std::size_t R = 301, C = 257;
    std::vector<std::uint16_t> a(R * C), b(R * C);
    for (std::size_t i = 0; i < R * C; ++i) {
        a[i] = static_cast<std::uint16_t>(i * 7919u);
        b[i] = static_cast<std::uint16_t>(i * 104729u + 13u);
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            std::vector<float> out(R * C);
            // Alternate a plain row-major output with a transposed one (no common layout flag).
            const bool transposed = t % 2 == 1;
            const OutputView o{out.data(), R, C, transposed ? 1 : std::ptrdiff_t(C), transposed ? std::ptrdiff_t(R) : 1};
            for (int round = 0; round < 10; ++round) {
                par_for_each(zip(o, BandView{a.data(), R, C, std::ptrdiff_t(C), 1}, BandView{b.data(), R, C, std::ptrdiff_t(C), 1}),
                             [](float* p, const std::uint16_t* x, const std::uint16_t* y) {
                                 store_pixel(p, normalized_difference(load_sample(x), load_sample(y)));
                             });
                for (std::size_t r = 0; r < R; ++r)
                    for (std::size_t c = 0; c < C; ++c) {
                        const float got = out[transposed ? c * R + r : r * C + c];
                        wrong += got != normalized_difference(a[r * C + c], b[r * C + c]);
                    }
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK_EQ(wrong.load(), 0, "results from several plain threads");

    std::string text;
    try {
        par_for_each(zip(Indices{0, 0, 64, 64}, OutputView{nullptr, 64, 64, 0, 0}), [](Index2 at, float*) {
            if (at.row == 63) throw Fault("late fault");
        });
    } catch (const Fault& f) {
        text = f.what();
    }
    CHECK_EQ(text, "late fault", "a fault on a worker reaches the plain calling thread");
    return check::exit_code();
}
