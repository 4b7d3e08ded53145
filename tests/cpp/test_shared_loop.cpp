// Loops sized by their work: small ones stay on the calling thread, larger ones are chunked and
// shared with the workers (or run through the pool's jobs when the board is full), and in every
// case each position is visited once, no piece is below the grain, and the fault rules hold.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "core/fault.h"
#include "core/parallel/cpus.h"
#include "core/parallel/traversal.h"
#include "watchdog.h"

using namespace rastrel::parallel;
using rastrel::Fault;
using rastrel::View2D;

namespace {

// Small thresholds, so that small arrays exercise every path.
constexpr LoopSizes kSizes{256, 64, 1024};

struct Walked {
    std::size_t row0, col0, rows, cols;
    bool on_caller;
};

// Runs a loop over an R x C index grid (with an int view of layout `col_major`), recording each
// piece and counting visits per position.
struct Run {
    std::size_t rows, cols;
    std::vector<std::atomic<int>> visits;
    std::vector<Walked> pieces;
    std::mutex mutex;
    std::string fault = "(no fault)";

    Run(std::size_t r, std::size_t c) : rows(r), cols(c), visits(r * c) {}

    template <class Fail>
    void go(WorkerPool& pool, bool col_major, LoopCost cost, const Fail& fail, const LoopSizes& sizes = kSizes) {
        std::vector<int> memory(rows * cols);
        const View2D<int> v{memory.data(), rows, cols, col_major ? 1 : std::ptrdiff_t(cols),
                            col_major ? std::ptrdiff_t(rows) : 1};
        const auto caller = std::this_thread::get_id();
        try {
            par_for_each_piece(
                pool, zip(Indices{0, 0, rows, cols}, v),
                [&](const auto& piece) {
                    const Indices& at = std::get<0>(piece.parts());
                    {
                        const std::lock_guard<std::mutex> guard(mutex);
                        pieces.push_back({at.row0, at.col0, at.rows, at.cols, std::this_thread::get_id() == caller});
                    }
                    walk(piece, [&](Index2 i, int*) {
                        fail(i);
                        visits[i.row * cols + i.col].fetch_add(1);
                    });
                },
                cost, sizes);
        } catch (const Fault& f) {
            fault = f.what();
        }
    }

    bool each_once() const {
        return std::all_of(visits.begin(), visits.end(), [](const std::atomic<int>& x) { return x == 1; });
    }
};

void test_sizes_and_coverage() {
    Watchdog watchdog("sizes and coverage", 120);
    const auto pool = WorkerPool::create(2);
    const auto never = [](Index2) {};
    struct Case {
        std::size_t rows, cols;
        bool col_major;
        std::size_t cost;
    } cases[] = {{8, 8, false, 1},   {8, 31, false, 1},   {8, 32, true, 1},   {1, 5000, false, 1}, {5000, 1, true, 1},
                 {37, 53, false, 1}, {300, 200, true, 1}, {64, 64, false, 3}, {3, 3, false, 100}};
    for (const Case& c : cases) {
        for (int round = 0; round < 5; ++round) {
            Run run(c.rows, c.cols);
            run.go(*pool, c.col_major, {c.cost}, never);
            const std::size_t work = c.rows * c.cols * c.cost;
            CHECK_MSG(run.each_once(), c.rows << "x" << c.cols);
            if (work < kSizes.inline_below) {
                CHECK_MSG(run.pieces.size() == 1 && run.pieces[0].on_caller, "inline " << c.rows << "x" << c.cols);
            } else if (work < kSizes.wake_from && run.pieces.size() == 1) {
                // Every worker asleep and none to be woken: the caller walks it whole.
                CHECK_MSG(run.pieces[0].on_caller, "whole on the caller " << c.rows << "x" << c.cols);
            } else {
                bool big_enough = true;
                for (const Walked& w : run.pieces) big_enough &= w.rows * w.cols * c.cost >= kSizes.grain;
                CHECK_MSG(run.pieces.size() > 1 && big_enough, "chunked " << c.rows << "x" << c.cols);
            }
        }
    }
    pool->terminate();
    pool->wait_until_stopped();
}

// Faults in three pieces: the earliest piece's fault arrives, every other piece is finished, and
// the faulting pieces stop where they faulted. Many callers at once also fill the board, so some
// loops take the pool's jobs instead.
void test_faults_and_crowds() {
    Watchdog watchdog("faults and crowds", 240);
    const auto pool = WorkerPool::create(2);
    std::vector<std::thread> callers;
    for (int t = 0; t < 2 * int(LoopBoard::kSlots) + 1; ++t) {
        callers.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                Run run(512, 16);
                run.go(*pool, false, {1}, [](Index2 i) {
                    if (i.col == 5 && (i.row == 300 || i.row == 40 || i.row == 500))
                        throw Fault("row " + std::to_string(i.row));
                });
                CHECK_EQ(run.fault, "row 40", "earliest piece's fault");
                for (const Walked& w : run.pieces) {
                    const bool faults = w.row0 <= 40 && 40 < w.row0 + w.rows;
                    const bool later =
                        (w.row0 <= 300 && 300 < w.row0 + w.rows) || (w.row0 <= 500 && 500 < w.row0 + w.rows);
                    if (faults || later) continue;
                    bool done = true;
                    for (std::size_t r = w.row0; r < w.row0 + w.rows; ++r)
                        for (std::size_t c = w.col0; c < w.col0 + w.cols; ++c) done &= run.visits[r * 16 + c] == 1;
                    CHECK_MSG(done, "piece at row " << w.row0 << " finished");
                }
                // A piece stops at its first fault: a later fault row of the same piece is never
                // reached, which claims of any size may bring about.
                for (std::size_t row : {40u, 300u, 500u}) {
                    bool reached = true;
                    for (const Walked& w : run.pieces) {
                        if (w.row0 > row || row >= w.row0 + w.rows) continue;
                        for (std::size_t earlier : {40u, 300u}) reached &= !(w.row0 <= earlier && earlier < row);
                    }
                    for (std::size_t c = 0; c < 16; ++c)
                        CHECK(run.visits[row * 16 + c] == (reached && c < 5 ? 1 : 0));
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    pool->terminate();
    pool->wait_until_stopped();
}

// A chunked loop too short to wake every sleeping worker still wakes one when it follows another
// closely, so that a run of such loops does not stay on the caller alone for good once the
// workers have gone to sleep; a lone one, which nobody could join, is walked whole.
void test_short_loops_wake_one() {
    // Bound as the process-wide pool binds its workers: an unbound worker woken from the caller's
    // processor tends to start there, where it leaves the loop to the caller.
    const std::vector<int> cpus = affinity_processors();
    if (cpus.size() < 2) return;
    Watchdog watchdog("short loops wake one", 120);
    const auto pool = WorkerPool::create(2, {cpus[0], cpus[1]});
    while (Sleep::sleeping_of(pool->sleep().counters()) < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool helped = false;
    for (int round = 0; round < 50 && !helped; ++round) {
        Run run(64, 64);
        // Chunks that take a while, so that a worker woken by this loop arrives before its end.
        run.go(
            *pool, false, {1},
            [](Index2 i) {
                if (i.col != 0) return;
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
                while (std::chrono::steady_clock::now() < until) {
                }
            },
            LoopSizes{256, 64, std::size_t{1} << 30, std::chrono::microseconds(10000)});
        CHECK(run.each_once());
        // The first loop follows none: with every worker asleep, nobody is woken or could join.
        if (round == 0) CHECK_MSG(run.pieces.size() == 1 && run.pieces[0].on_caller, "a lone loop stays whole");
        for (const Walked& w : run.pieces) helped |= !w.on_caller;
    }
    CHECK_MSG(helped, "a worker helped");
    pool->terminate();
    pool->wait_until_stopped();
}

// Loops a millisecond apart (a pipeline's), each too short to wake anyone and walked alone
// while every worker sleeps: a worker still comes to join them (woken once, or at the end of a
// nap), every element is walked once, and once the loops stop the workers sleep again.
void test_pipeline_joined() {
    const std::vector<int> cpus = affinity_processors();
    if (cpus.size() < 2) return;
    Watchdog watchdog("pipeline joined", 120);
    const auto pool = WorkerPool::create(2, {cpus[0], cpus[1]});
    while (Sleep::sleeping_of(pool->sleep().counters()) < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const LoopSizes sizes{256, 64, std::size_t{1} << 30, std::chrono::microseconds(300)};
    bool helped = false;
    for (int round = 0; round < 400 && !helped; ++round) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
        while (std::chrono::steady_clock::now() < until) {
        }
        Run run(64, 64);
        run.go(
            *pool, false, {1}, [](Index2) {}, sizes);
        CHECK(run.each_once());
        for (const Walked& w : run.pieces) helped |= !w.on_caller;
    }
    CHECK_MSG(helped, "a worker joined the pipeline");
    while (Sleep::sleeping_of(pool->sleep().counters()) < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pool->terminate();
    pool->wait_until_stopped();
}

}  // namespace

int main() {
    test_sizes_and_coverage();
    test_faults_and_crowds();
    test_short_loops_wake_one();
    test_pipeline_joined();
    return check::exit_code();
}
