// Where the time of one call on the pool goes. Each call of the normalized difference over n x n
// bands is timed from the caller and from inside every piece, which splits it into
//   hand-off: from the call to the start of its first piece (a worker took the caller's job),
//   work:     from there to the end of its last piece (with when the second worker began),
//   wake-up:  from the end of the last piece to the caller's return (the caller was woken).
// Two pools take turns round by round in one process, so drifting load hits both alike: one
// worker per processor, bound as the module binds its own, with the caller free; and one worker
// bound to the first processor with the caller pinned there too, which is what a process pinned
// to one processor gets. Last, what it costs to wake a thread blocked on the pool's latch from
// its own processor and from the other one. Run as root, everything is measured again with idle
// processors polling instead of halting.
//
// Build with -DRASTREL_BUILD_BENCH=ON; run as  bench_pool_phases [size] [rounds]  (1024, 30).
// bench/bench_pool.py measures the module itself, from Python, against a pinned process.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/kernels/runs.h"
#include "core/parallel/cpus.h"
#include "core/parallel/traversal.h"

using namespace rastrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCallsPerRound = 60;
constexpr int kWarmCalls = 20;
constexpr int kWakes = 2000;

double micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

std::int64_t nanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void pin_calling_thread(const std::vector<int>& processors) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int p : processors) CPU_SET(p, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) {
        std::fprintf(stderr, "cannot set this thread's processors\n");
        std::exit(1);
    }
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct Phases {
    std::vector<double> total, handoff, work, second, wake;
};

// One pool and the calls timed on it.
class Contender {
public:
    Contender(std::size_t workers, const std::vector<int>& bind_to, std::vector<int> caller_on)
        : pool_(parallel::WorkerPool::create(workers, bind_to)), caller_on_(std::move(caller_on)) {
        pool_->wait_until_primed();
    }

    std::size_t workers() const { return pool_->num_threads(); }
    const Phases& phases() const { return phases_; }

    void round(const OutputView& out, const BandView& a, const BandView& b) {
        pin_calling_thread(caller_on_);
        for (int i = 0; i < kWarmCalls; ++i) call(out, a, b, false);
        for (int i = 0; i < kCallsPerRound; ++i) call(out, a, b, true);
    }

private:
    struct Piece {
        std::size_t worker;
        Clock::time_point start, end;
    };

    void call(const OutputView& out, const BandView& a, const BandView& b, bool keep) {
        const auto run = kernels::runs().of<kernels::NormalizedDifference>();
        const kernels::NormalizedDifference pixel{};
        pieces_used_.store(0, std::memory_order_relaxed);
        parallel::PoolExecutor exec(*pool_);
        const auto zipped = parallel::zip(out, a, b);

        const Clock::time_point called = Clock::now();
        parallel::bridge_pieces(exec, zipped, [&](const auto& piece) {
            const Clock::time_point start = Clock::now();
            const auto& parts = piece.parts();
            const std::uint16_t* const bands[] = {std::get<1>(parts).data, std::get<2>(parts).data};
            run(pixel, std::get<0>(parts).data, bands, piece.size(), Stores::kCached);
            const std::size_t slot = pieces_used_.fetch_add(1, std::memory_order_relaxed);
            if (slot < pieces_.size())
                pieces_[slot] = {parallel::WorkerThread::current()->index(), start, Clock::now()};
        });
        const Clock::time_point returned = Clock::now();
        if (!keep) return;

        const std::size_t used = std::min(pieces_used_.load(std::memory_order_relaxed), pieces_.size());
        Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
        std::vector<Clock::time_point> began(workers(), Clock::time_point::max());
        for (std::size_t i = 0; i < used; ++i) {
            first = std::min(first, pieces_[i].start);
            last = std::max(last, pieces_[i].end);
            began[pieces_[i].worker] = std::min(began[pieces_[i].worker], pieces_[i].start);
        }
        phases_.total.push_back(micros(called, returned));
        phases_.handoff.push_back(micros(called, first));
        phases_.work.push_back(micros(first, last));
        phases_.wake.push_back(micros(last, returned));
        if (workers() > 1) {
            std::sort(began.begin(), began.end());
            // A worker that ran no piece of this call counts as joining at the end.
            phases_.second.push_back(micros(first, std::min(began[1], last)));
        }
    }

    std::shared_ptr<parallel::WorkerPool> pool_;
    std::vector<int> caller_on_;
    std::vector<Piece> pieces_ = std::vector<Piece>(4096);
    std::atomic<std::size_t> pieces_used_{0};
    Phases phases_;
};

// Wake-up latency of a thread blocked on a LockLatch, set from a thread on `setter_on`.
std::vector<double> wake_latencies(int waiter_on, int setter_on) {
    parallel::LockLatch latch;
    std::atomic<std::int64_t> set_at{0};
    std::atomic<bool> waiting{false};
    std::vector<double> latencies;
    latencies.reserve(kWakes);
    std::thread waiter([&] {
        pin_calling_thread({waiter_on});
        for (int i = 0; i < kWakes; ++i) {
            waiting.store(true);
            latch.wait_and_reset();
            latencies.push_back(static_cast<double>(nanos() - set_at.load()) / 1e3);
        }
    });
    std::thread setter([&] {
        pin_calling_thread({setter_on});
        for (int i = 0; i < kWakes; ++i) {
            while (!waiting.exchange(false)) std::this_thread::yield();
            // Long enough for the waiter to be asleep in the kernel, not on its way there.
            const Clock::time_point until = Clock::now() + std::chrono::microseconds(200);
            while (Clock::now() < until) {
            }
            set_at.store(nanos());
            latch.set();
        }
    });
    setter.join();
    waiter.join();
    return latencies;
}

void print_row(const char* what, const std::vector<double>& v) {
    std::printf("  %-34s%9.1f%9.1f%9.1f\n", what, percentile(v, 0.1), percentile(v, 0.5), percentile(v, 0.9));
}

void measure(std::size_t n, int rounds, const std::vector<int>& processors) {
    std::mt19937 rng(0);
    std::vector<std::uint16_t> a(n * n), b(n * n);
    std::vector<float> out(n * n);
    std::generate(a.begin(), a.end(), [&] { return static_cast<std::uint16_t>(rng()); });
    std::generate(b.begin(), b.end(), [&] { return static_cast<std::uint16_t>(rng()); });
    const auto stride = static_cast<std::ptrdiff_t>(n);
    const BandView va{a.data(), n, n, stride, 1}, vb{b.data(), n, n, stride, 1};
    const OutputView vo{out.data(), n, n, stride, 1};

    // The pools are left running when this returns, as the module's own pool is never stopped.
    Contender pool(processors.size(), processors, processors);
    Contender one(1, {processors[0]}, {processors[0]});
    for (int r = 0; r < rounds; ++r) {
        pool.round(vo, va, vb);
        one.round(vo, va, vb);
    }
    pin_calling_thread(processors);

    std::printf("normalized difference on %zu x %zu bands, %d rounds of %d calls each; microseconds\n", n, n,
                rounds, kCallsPerRound);
    for (const Contender* c : {&pool, &one}) {
        const Phases& p = c->phases();
        std::printf("%s%32s%9s%9s\n",
                    c == &pool ? "one worker per processor, caller free" : "one worker, caller on its processor",
                    "p10", "median", "p90");
        print_row("call", p.total);
        print_row("hand-off (call to first piece)", p.handoff);
        print_row("work (first piece to last end)", p.work);
        if (!p.second.empty()) print_row("  second worker begins after", p.second);
        print_row("wake-up (last end to return)", p.wake);
    }
    const double calls = percentile(one.phases().total, 0.5) / percentile(pool.phases().total, 0.5);
    const double work = percentile(one.phases().work, 0.5) / percentile(pool.phases().work, 0.5);
    std::printf("speed-up at the median: calls %.2fx, the work alone %.2fx\n\n", calls, work);

    std::printf("waking a thread blocked on the pool's latch%21s%9s%9s\n", "p10", "median", "p90");
    print_row("from its own processor", wake_latencies(processors[0], processors[0]));
    print_row("from another processor", wake_latencies(processors[1], processors[0]));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    const std::vector<int> processors = parallel::affinity_processors();
    if (processors.size() < 2) {
        std::printf("needs at least two processors in the affinity mask; this process has %zu\n", processors.size());
        return 0;
    }
    measure(n, rounds, processors);

    // The kernel keeps idle processors polling while a zero latency request stays open (root
    // only). Where an idle virtual processor halts at once, a wake-up across processors is an
    // interrupt to a halted one; the second measurement shows the calls without that cost.
    const int request = open("/dev/cpu_dma_latency", O_WRONLY);
    if (request < 0) {
        std::printf("\nnot measured again with idle processors polling: /dev/cpu_dma_latency needs root\n");
        return 0;
    }
    const std::int32_t zero = 0;
    if (write(request, &zero, sizeof zero) == static_cast<ssize_t>(sizeof zero)) {
        std::printf("\nagain with idle processors polling (zero latency request on /dev/cpu_dma_latency)\n");
        measure(n, rounds, processors);
    }
    close(request);
    return 0;
}
