// Private pools: entry from outside threads, join_context results and fault rules, several
// outside callers at once, waking after idle pauses, and a worker thread that cannot start.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.h"
#include "core/parallel/cpus.h"
#include "core/parallel/pool.h"
#include "check.h"
#include "watchdog.h"

using namespace rastrel::parallel;
using rastrel::Fault;

namespace {

// A private pool that is stopped, and waited for, when the test is done with it.
struct ScopedPool {
    explicit ScopedPool(std::size_t n) : pool(WorkerPool::create(n)) { pool->wait_until_primed(); }
    ~ScopedPool() {
        pool->terminate();
        pool->wait_until_stopped();
    }
    WorkerPool* operator->() const { return pool.get(); }
    std::shared_ptr<WorkerPool> pool;
};

void pause_us(int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// Sum of [lo, hi) by recursive halving: thousands of nested forks, stolen or not.
long sum_range(WorkerPool& pool, long lo, long hi) {
    if (hi - lo <= 16) {
        long s = 0;
        for (long i = lo; i < hi; ++i) s += i;
        return s;
    }
    const long mid = lo + (hi - lo) / 2;
    const auto [a, b] = pool.join_context([&](bool) { return sum_range(pool, lo, mid); },
                                          [&](bool) { return sum_range(pool, mid, hi); });
    return a + b;
}

std::string fault_text(const std::function<void()>& body) {
    try {
        body();
    } catch (const Fault& f) {
        return f.what();
    }
    return "(no fault)";
}

void test_entry_and_results() {
    Watchdog watchdog("entry and results", 60);
    ScopedPool pool(3);
    CHECK_EQ(pool->num_threads(), 3u, "");
    CHECK_EQ(ScopedPool(0)->num_threads(), 1u, "a pool has at least one worker");

    const auto where = pool->in_worker([&](WorkerThread& w, bool injected) {
        CHECK(WorkerThread::current() == &w && &w.pool() == pool.pool.get());
        pthread_attr_t attr;
        int detach = 0;
        std::size_t stack = 0;
        CHECK(pthread_getattr_np(pthread_self(), &attr) == 0);
        pthread_attr_getdetachstate(&attr, &detach);
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
        CHECK(detach == PTHREAD_CREATE_DETACHED && stack >= WorkerPool::kStackSize);
        return injected ? 1 : 2;
    });
    CHECK_EQ(where, 1, "from outside the job is injected");
    CHECK_EQ(fault_text([&] { pool->in_worker([](WorkerThread&, bool) { throw Fault("inside"); }); }), "inside",
             "a fault reaches the outside caller");

    // Halves of a join handed in from outside both run as migrated; nested joins inside the pool
    // run their first half as not migrated.
    const auto [ma, mb] = pool->join_context([](bool m) { return m; }, [](bool m) { return m; });
    CHECK(ma && mb);
    const auto inner = pool->in_worker([&](WorkerThread&, bool) {
        return pool->join_context([](bool m) { return m; }, [](bool) { return 0; }).first;
    });
    CHECK(!inner);
    CHECK_EQ(sum_range(*pool.pool, 0, 200000), 199999L * 200000 / 2, "nested joins from outside");

    // A worker of one pool entering another waits by working, and gets the other's result.
    ScopedPool other(2);
    const auto crossed = pool->in_worker([&](WorkerThread&, bool) {
        return other->in_worker([&](WorkerThread& w, bool injected) { return &w.pool() == other.pool.get() && injected; });
    });
    CHECK(crossed);
}

// The join's fault rules, from outside and from inside the pool, with the slow half varied so
// that the other half is sometimes stolen and sometimes taken back.
void test_join_faults() {
    Watchdog watchdog("join faults", 120);
    ScopedPool pool(4);
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const int slow_a = static_cast<int>(rng() % 300), slow_b = static_cast<int>(rng() % 300);
        std::atomic<bool> a_done{false}, b_done{false};
        auto a_faults = [&](bool) { pause_us(slow_a); a_done = true; throw Fault("a"); };
        auto b_faults = [&](bool) { pause_us(slow_b); b_done = true; throw Fault("b"); };
        auto a_ok = [&](bool) { pause_us(slow_a); a_done = true; };
        auto b_ok = [&](bool) { pause_us(slow_b); b_done = true; };
        const bool inside = round % 2 == 0;
        auto run = [&](auto a, auto b) {
            a_done = b_done = false;
            const std::string text = fault_text([&] {
                if (inside) pool->in_worker([&](WorkerThread&, bool) { pool->join_context(a, b); });
                else pool->join_context(a, b);
            });
            CHECK_MSG(a_done && b_done, "both halves finished before the join returned, round " << round);
            return text;
        };
        CHECK_EQ(run(a_faults, b_faults), "a", "both fault: the first half's fault wins, round " << round);
        CHECK_EQ(run(a_faults, b_ok), "a", "round " << round);
        CHECK_EQ(run(a_ok, b_faults), "b", "round " << round);
    }
    CHECK_EQ(sum_range(*pool.pool, 0, 1000), 999L * 1000 / 2, "the pool works on after faults");
}

// Outside threads hand in work after idle pauses long enough for every worker to fall asleep; a
// lost wake-up leaves a caller blocked and the watchdog fires.
void test_wake_after_idle() {
    Watchdog watchdog("wake after idle", 180);
    ScopedPool pool(4);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Sleep::sleeping_of(pool->sleep().counters()) != 4 && std::chrono::steady_clock::now() < deadline) pause_us(500);
    CHECK_EQ(Sleep::sleeping_of(pool->sleep().counters()), 4u, "an idle pool sleeps");

    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            for (int round = 0; round < 150; ++round) {
                pause_us(static_cast<int>(rng() % 3000));
                const long n = 1 + static_cast<long>(rng() % 2000);
                if (sum_range(*pool.pool, 0, n) != n * (n - 1) / 2) wrong.fetch_add(1);
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK_EQ(wrong.load(), 0, "several outside callers at once");
}

// Starting the third worker fails: creation reports the system's error, and the two workers that
// did start leave their loops and end.
int g_starts = 0;
int failing_start(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    return ++g_starts == 3 ? EAGAIN : pthread_create(t, attr, fn, arg);
}

std::size_t count_threads() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

void test_thread_start_failure() {
    Watchdog watchdog("thread start failure", 60);
    const std::size_t before = count_threads();
    detail::thread_start = &failing_start;
    bool thrown = false;
    try {
        WorkerPool::create(4);
    } catch (const ThreadPoolBuildError& e) {
        thrown = true;
        CHECK(e.kind() == ThreadPoolBuildError::Kind::kIOError && e.os_error() == EAGAIN);
        CHECK_EQ(std::string(e.what()).rfind("ThreadPoolBuildError { kind: IOError(", 0), 0u, e.what());
    }
    detail::thread_start = &pthread_create;
    CHECK(thrown);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_threads() > before && std::chrono::steady_clock::now() < deadline) pause_us(1000);
    CHECK_EQ(count_threads(), before, "started workers stop");
}

std::vector<int> mask_of_this_thread() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) != 0) return {};
    std::vector<int> processors;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) processors.push_back(cpu);
    }
    return processors;
}

std::string text(const std::vector<int>& processors) {
    std::string out;
    for (int cpu : processors) {
        if (!out.empty()) out += ',';
        out += std::to_string(cpu);
    }
    return "{" + out + "}";
}

// A worker keeps to its processor when the pool is given one per worker, and otherwise runs
// anywhere in its creator's mask; a processor outside the mask leaves it unbound, not missing.
void test_binding() {
    Watchdog watchdog("binding", 60);
    const std::vector<int> mask = mask_of_this_thread();
    CHECK_EQ(text(mask), text(affinity_processors()), "the module's reading of the mask");
    const auto worker_mask = [](const std::vector<int>& bind_to) {
        auto pool = WorkerPool::create(1, bind_to);
        pool->wait_until_primed();
        std::vector<int> seen;
        pool->in_worker([&](WorkerThread&, bool) { seen = mask_of_this_thread(); });
        pool->terminate();
        pool->wait_until_stopped();
        return seen;
    };
    CHECK_EQ(text(worker_mask({mask.back()})), text({mask.back()}), "bound");
    CHECK_EQ(text(worker_mask({})), text(mask), "not asked to bind");
    CHECK_EQ(text(worker_mask({mask.front(), mask.back()})), text(mask), "one processor per worker, or none");
    CHECK_EQ(text(worker_mask({CPU_SETSIZE + 5})), text(mask), "a processor that cannot be had");
}

}  // namespace

int main() {
    test_thread_start_failure();  // first: no worker of another pool may still be exiting
    test_entry_and_results();
    test_join_faults();
    test_wake_after_idle();
    test_binding();
    return check::exit_code();
}
