// Where the time of a shared loop goes, call by call: the normalized difference (or EVI) over
// n x n contiguous bands through par_for_each_piece, back to back or each call after about a
// millisecond of other work, with every piece traced (which thread, which lines, when it began and
// ended), against the same loop walked whole on the calling thread in turns within each round.
// Prints medians over the calls of:
//   one:       the loop on the calling thread alone;
//   alone:     calls through the pool that no worker joined;
//   joined:    calls that a worker joined, and over `one`;
//   join:      from the call's start to a worker's first piece, and in how many calls one came;
//   caller:    from the start to the end of the caller's last piece;
//   tail:      from there to the call's return (waiting for a worker still inside);
//   worker:    share of lines the workers walked, and in how many pieces;
//   moved:     share of lines walked by another thread than in the previous call;
//   ns/line:   a piece's time per line, for pieces whose lines the same thread walked last call
//              and for pieces whose lines moved (fetched from the other processor's cache);
// and, in the calls a worker joined, when the caller began its first piece, how long it walked,
// how long the workers walked and when they ended. A loaded machine shows in `join` (the share
// of calls a worker came to) long before it shows in the medians.
//
// Build with -DRASTREL_BUILD_BENCH=ON; run as
//   bench_handoff [n] [rounds] [nd|evi] [warm|busy] [show|-] [gap] [grain] [block]
// `show` prints the last round's calls (microseconds; "o": on the calling thread alone, "-": no
// worker joined), `gap` spins that many microseconds between calls (the interpreter's share of
// a call from Python), `grain` and `block` set the chunks' grain and the largest piece in units
// of 1024 (block 0: pieces of at most an eighth of the loop).
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
#include <vector>

#include "core/parallel/cpus.h"
#include "loop_scene.h"

using namespace rastrel;
using bench::Clock;
using bench::nanos_now;
using bench::other_work;

namespace {

constexpr int kCallsPerTurn = 40;
constexpr int kMaxPieces = 64;
bool show = false;
int gap_us = 0;
parallel::LoopSizes g_sizes;

struct Piece {
    int worker;
    std::size_t row0, rows;
    std::int64_t begin, end;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

template <class Pixel>
struct Bench : bench::LoopScene {
    Pixel pixel;
    alignas(64) Piece pieces[2][kMaxPieces];
    alignas(64) int counts[32] = {};
    std::vector<int> owner, last_owner;

    Bench(std::size_t n_, const Pixel& p)
        : LoopScene(n_), pixel(p), owner(n_, -1), last_owner(n_, -1) {}

    void call(parallel::WorkerPool& pool, bool shared) {
        const Stores s = stores();
        const auto whole = zipped();
        const auto visit = [&](const auto& piece) {
            const std::int64_t t0 = nanos_now();
            run(pixel, piece, s);
            const std::int64_t t1 = nanos_now();
            // Each thread into its own half of the log, on lines of its own: a shared count
            // would move between the processors at every piece.
            const int w = parallel::WorkerThread::current() != nullptr ? 1 : 0;
            const int k = counts[w * 16]++;
            if (k < kMaxPieces) {
                const auto row0 = static_cast<std::size_t>(std::get<0>(piece.parts()).data - out.data()) / n;
                pieces[w][k] = {w, row0, piece.rows(), t0, t1};
            }
        };
        if (!shared) return visit(whole);
        const std::size_t per = 1;  // the module's cost of every fixed kernel
        parallel::par_for_each_piece(pool, whole, visit, parallel::LoopCost{per}, g_sizes);
    }
};

template <class Pixel>
void measure(parallel::WorkerPool& pool, std::size_t n, int rounds, bool busy, const Pixel& pixel) {
    std::vector<double> scratch(20000, 2.0);
    Bench<Pixel> bench(n, pixel);
    std::vector<double> cstart, cbusy, wbusy, wend, one, call, alone, join, caller, tail, worker, moved, still_ns,
        moved_ns, wpieces;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            const bool shared = ((k + r) & 1) != 0;
            bench.call(pool, shared);
            for (int c = 0; c < kCallsPerTurn; ++c) {
                if (busy) other_work(scratch);
                if (gap_us > 0) {
                    const Clock::time_point until = Clock::now() + std::chrono::microseconds(gap_us);
                    while (Clock::now() < until) {
                    }
                }
                bench.counts[0] = bench.counts[16] = 0;
                const std::int64_t t0 = nanos_now();
                bench.call(pool, shared);
                const std::int64_t t1 = nanos_now();
                if (!shared) {
                    if (show && r == rounds - 1) std::printf("%.0fo ", double(t1 - t0) / 1e3);
                    one.push_back(double(t1 - t0) / 1e3);
                    continue;
                }
                std::vector<Piece> all(bench.pieces[0], bench.pieces[0] + std::min(bench.counts[0], kMaxPieces));
                all.insert(all.end(), bench.pieces[1], bench.pieces[1] + std::min(bench.counts[16], kMaxPieces));
                const int m = int(all.size());
                std::int64_t first_worker = 0, caller_end = t0;
                std::int64_t caller_first = 0, caller_busy = 0, worker_busy = 0, worker_end = 0;
                std::size_t worker_lines = 0, moved_lines = 0, wp = 0;
                for (int i = 0; i < m; ++i) {
                    const Piece& p = all[std::size_t(i)];
                    bool piece_moved = false;
                    for (std::size_t row = p.row0; row < p.row0 + p.rows; ++row) {
                        bench.owner[row] = p.worker;
                        if (bench.last_owner[row] != p.worker) piece_moved = true;
                    }
                    const double per_line = double(p.end - p.begin) / double(p.rows);
                    (piece_moved ? moved_ns : still_ns).push_back(per_line);
                    if (piece_moved) moved_lines += p.rows;
                    if (p.worker != 0) {
                        worker_busy += p.end - p.begin;
                        worker_end = std::max(worker_end, p.end);
                        worker_lines += p.rows;
                        ++wp;
                        if (first_worker == 0 || p.begin < first_worker) first_worker = p.begin;
                    } else {
                        caller_end = std::max(caller_end, p.end);
                        caller_busy += p.end - p.begin;
                        if (caller_first == 0 || p.begin < caller_first) caller_first = p.begin;
                    }
                }
                bench.last_owner = bench.owner;
                if (show && r == rounds - 1)
                    std::printf("%.0f%s ", double(t1 - t0) / 1e3, first_worker != 0 ? "" : "-");
                // Calls the worker joined, apart from those it missed.
                (first_worker != 0 ? call : alone).push_back(double(t1 - t0) / 1e3);
                if (first_worker != 0) join.push_back(double(first_worker - t0) / 1e3);
                if (first_worker != 0) {
                    caller.push_back(double(caller_end - t0) / 1e3);
                    tail.push_back(double(t1 - caller_end) / 1e3);
                    cstart.push_back(double(caller_first - t0) / 1e3);
                    cbusy.push_back(double(caller_busy) / 1e3);
                    wbusy.push_back(double(worker_busy) / 1e3);
                    wend.push_back(double(worker_end - t0) / 1e3);
                    worker.push_back(double(worker_lines) / double(n));
                }
                moved.push_back(double(moved_lines) / double(n));
                wpieces.push_back(double(wp));
            }
        }
    }
    const double total = double(call.size() + alone.size());
    std::printf(
        "%zu %s: one %.2f us; alone %.2f; joined %.2f (x%.2f); join %.2f us in %.0f%%; caller %.2f; tail %.2f; "
        "worker lines %.2f (pieces %.0f); moved %.2f; ns/line still %.0f (%zu) moved %.0f (%zu)\n",
        n, busy ? "busy" : "warm", median(one), median(alone), median(call), median(call) / median(one), median(join),
        100.0 * double(join.size()) / total, median(caller), median(tail), median(worker), median(wpieces),
        median(moved), median(still_ns), still_ns.size(), median(moved_ns), moved_ns.size());
    std::printf("    caller starts %.2f, walks %.2f us; worker walks %.2f, ends %.2f\n", median(cstart), median(cbusy),
                median(wbusy), median(wend));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    const bool evi = argc > 3 && std::strcmp(argv[3], "evi") == 0;
    const bool busy = argc > 4 && std::strcmp(argv[4], "busy") == 0;
    show = argc > 5 && std::strcmp(argv[5], "show") == 0;
    gap_us = argc > 6 ? std::atoi(argv[6]) : 0;
    if (argc > 7) g_sizes.grain = std::strtoul(argv[7], nullptr, 10) << 10;
    if (argc > 8) g_sizes.block = std::strtoul(argv[8], nullptr, 10) << 10;
    const std::vector<int> processors = parallel::affinity_processors();
    const auto pool = parallel::WorkerPool::create(processors.size(), processors);
    pool->wait_until_primed();
    if (evi) {
        measure(*pool, n, rounds, busy, kernels::EnhancedVegetationIndex{2.5f, 6.1f, 7.3f, 1.05f});
    } else {
        measure(*pool, n, rounds, busy, kernels::NormalizedDifference{});
    }
    return 0;
}
