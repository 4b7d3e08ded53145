// How loops sized by their work should be sized: the normalized difference (or EVI) over n x n
// contiguous bands, through par_for_each_piece with several inline thresholds and grains side by
// side, against the same loop walked whole on the calling thread (what a process pinned to one
// processor does). All contenders share one pool, bound as the module binds its own, and take
// turns call by call within each round, so drifting load hits them alike.
//
// Two regimes: warm, calls back to back; busy, each call after about a millisecond of other
// single-threaded work on the calling thread (untimed), as in a user's pipeline.
//
// Build with -DRASTREL_BUILD_BENCH=ON; run as
//   bench_loop_sizes [sizes] [variants] [rounds] [kernel] [pin]
// with sizes like 128,181,256,362,512,1024, variants like 16/4,32/4,64/8 (inline threshold and
// grain in units of 1024; a third number sets where sleeping workers are woken), rounds (15),
// kernel nd or evi, and pin to keep the calling thread on the first processor (a loaded machine
// moves it around, and the worker that lingers is the one away from it). Prints the median time
// per call in microseconds, each variant's time over the one-processor run, the share of pixels
// the workers walked, and how soon a worker joined a call (in the calls it joined at all).
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/parallel/cpus.h"
#include "loop_scene.h"

using namespace rastrel;
using bench::Clock;
using bench::nanos_now;
using bench::other_work;

namespace {

constexpr int kCallsPerTurn = 40;

std::vector<std::size_t> numbers(const char* text) {
    std::vector<std::size_t> out;
    for (const char* p = text; *p != '\0';) {
        char* end = nullptr;
        out.push_back(std::strtoul(p, &end, 10));
        p = *end == '\0' ? end : end + 1;
    }
    return out;
}

struct Variant {
    std::string name;
    bool pool;
    parallel::LoopSizes sizes;
};

std::vector<Variant> variants(const char* text) {
    std::vector<Variant> out{{"one processor", false, {}}};
    std::string all(text);
    std::size_t at = 0;
    while (at <= all.size()) {
        const std::size_t comma = std::min(all.find(',', at), all.size());
        const std::string item = all.substr(at, comma - at);
        std::vector<std::size_t> v;
        for (std::size_t p = 0; p <= item.size();) {
            const std::size_t slash = std::min(item.find('/', p), item.size());
            v.push_back(std::strtoul(item.substr(p, slash - p).c_str(), nullptr, 10));
            p = slash + 1;
        }
        parallel::LoopSizes s;
        s.inline_below = v[0] << 10;
        if (v.size() > 1) s.grain = v[1] << 10;
        if (v.size() > 2) s.wake_from = v[2] << 10;
        out.push_back({item, true, s});
        at = comma + 1;
    }
    return out;
}

template <class Pixel>
struct Bench : bench::LoopScene {
    Pixel pixel;
    // When the current call began (nanoseconds).
    std::int64_t began = 0;
    // Pixels walked by workers rather than the caller, over all calls so far, and when a worker
    // first began a piece of the current call: written by workers only, on lines of their own,
    // so that keeping count does not move a line between the processors at every piece.
    alignas(64) std::atomic<std::size_t> by_workers{0};
    alignas(64) std::atomic<std::int64_t> first_help{0};

    explicit Bench(std::size_t n_, const Pixel& p) : LoopScene(n_), pixel(p) {}

    void call(parallel::WorkerPool& pool, const Variant& v) {
        const Stores s = stores();
        const auto whole = zipped();
        const auto visit = [&](const auto& piece) {
            if (parallel::WorkerThread::current() != nullptr && first_help.load(std::memory_order_relaxed) == 0) {
                first_help.store(nanos_now(), std::memory_order_relaxed);
            }
            run(pixel, piece, s);
            if (parallel::WorkerThread::current() != nullptr) {
                by_workers.fetch_add(piece.size(), std::memory_order_relaxed);
            }
        };
        if (!v.pool) return visit(whole);
        began = nanos_now();
        first_help.store(0);
        const std::size_t per = 1;  // the module's cost of every fixed kernel
        parallel::par_for_each_piece(pool, whole, visit, parallel::LoopCost{per}, v.sizes);
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

template <class Pixel>
void measure(parallel::WorkerPool& pool, const std::vector<std::size_t>& sizes, const std::vector<Variant>& vs,
             int rounds, const Pixel& pixel) {
    std::vector<double> scratch(20000, 2.0);
    std::printf("%-8s %-6s", "size", "regime");
    for (const Variant& v : vs) std::printf(" %18s", v.name.c_str());
    std::printf("\n");
    for (const std::size_t n : sizes) {
        Bench<Pixel> bench(n, pixel);
        for (const bool busy : {false, true}) {
            std::vector<std::vector<double>> times(vs.size());
            std::vector<std::size_t> helped(vs.size());
            std::vector<double> sums(vs.size());
            std::vector<std::vector<double>> arrivals(vs.size());
            for (int r = 0; r < rounds; ++r) {
                for (std::size_t k = 0; k < vs.size(); ++k) {
                    const std::size_t i = (k + static_cast<std::size_t>(r)) % vs.size();
                    if (!busy) bench.call(pool, vs[i]);
                    const std::size_t before = bench.by_workers.load();
                    for (int c = 0; c < kCallsPerTurn; ++c) {
                        if (busy) other_work(scratch);
                        const Clock::time_point t0 = Clock::now();
                        bench.call(pool, vs[i]);
                        times[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                        sums[i] += times[i].back();
                        if (bench.first_help.load() != 0)
                            arrivals[i].push_back(double(bench.first_help.load() - bench.began) / 1e3);
                    }
                    helped[i] += bench.by_workers.load() - before;
                }
            }
            const double one = median(times[0]);
            std::printf("%-8zu %-6s", n, busy ? "busy" : "warm");
            for (std::size_t i = 0; i < vs.size(); ++i) {
                const double m = median(times[i]);
                if (i == 0) {
                    std::printf(" %11.2f us", m);
                } else {
                    const double share = double(helped[i]) / double(n * n * kCallsPerTurn * rounds);
                    std::printf(" %7.2f x%.2f w%02d", m, m / one, int(share * 100 + 0.5) % 100);
                }
            }
            std::printf("\n%-15s", "  mean");
            for (std::size_t i = 0; i < vs.size(); ++i)
                std::printf(" %11.2f x%.2f    ", sums[i] / double(times[i].size()),
                            sums[i] / double(times[i].size()) / (sums[0] / double(times[0].size())));
            std::printf("\n%-15s", "  workers join");
            for (std::size_t i = 1; i < vs.size(); ++i)
                std::printf(" %8.2f us in %3.0f%%", median(arrivals[i]),
                            100.0 * double(arrivals[i].size()) / double(kCallsPerTurn * rounds));
            std::printf("\n");
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::size_t> sizes = numbers(argc > 1 ? argv[1] : "128,181,256,362,512,1024");
    const std::vector<Variant> vs = variants(argc > 2 ? argv[2] : "16/4,32/4,64/4,64/8");
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 15;
    const bool evi = argc > 4 && std::strcmp(argv[4], "evi") == 0;
    const std::vector<int> processors = parallel::affinity_processors();
    // The pool is left running, as the module's own is never stopped.
    const auto pool = parallel::WorkerPool::create(processors.size(), processors);
    pool->wait_until_primed();
    if (argc > 5 && std::strcmp(argv[5], "pin") == 0) {
        // The caller on the first processor, as a process that never migrates.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(parallel::affinity_processors()[0], &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
    std::printf(
        "%s over n x n contiguous bands, %zu workers, %d rounds of %d calls per contender; "
        "median microseconds per call, over the one-processor run, and the share of pixels the "
        "workers walked (percent)\n",
        evi ? "EVI" : "normalized difference", pool->num_threads(), rounds, kCallsPerTurn);
    if (evi) {
        measure(*pool, sizes, vs, rounds, kernels::EnhancedVegetationIndex{2.5f, 6.1f, 7.3f, 1.05f});
    } else {
        measure(*pool, sizes, vs, rounds, kernels::NormalizedDifference{});
    }
    return 0;
}
