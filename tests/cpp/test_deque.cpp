// The work-stealing deque: owner order, thief order, growth and shrinking, and one owner racing
// 1 to 8 thieves where every job must be taken exactly once.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/parallel/deque.h"
#include "check.h"
#include "watchdog.h"

using rastrel::parallel::JobRef;
using rastrel::parallel::WorkDeque;

namespace {

JobRef job(std::uintptr_t id) { return JobRef{nullptr, reinterpret_cast<void*>(id)}; }
std::uintptr_t id_of(const JobRef& j) { return reinterpret_cast<std::uintptr_t>(j.data); }

void test_single_thread_order_growth_and_shrink() {
    WorkDeque d;
    CHECK(d.is_empty());
    CHECK(!d.pop());
    JobRef out;
    CHECK(d.steal(out) == WorkDeque::Steal::kEmpty);

    // Doubles only when full: 64 jobs fit in 64 slots, the 65th doubles, 1000 need 1024.
    for (std::uintptr_t i = 1; i <= 1000; ++i) {
        d.push(job(i));
        if (i == 64) CHECK_EQ(d.capacity(), 64u, "64 jobs");
        if (i == 65) CHECK_EQ(d.capacity(), 128u, "65 jobs");
    }
    CHECK_EQ(d.capacity(), 1024u, "after 1000 pushes");
    CHECK(d.steal(out) == WorkDeque::Steal::kSuccess && id_of(out) == 1);  // oldest
    CHECK(d.steal(out) == WorkDeque::Steal::kSuccess && id_of(out) == 2);
    // Owner pops newest first, through every halving, and nothing is lost in the copies.
    for (std::uintptr_t i = 1000; i >= 3; --i) {
        const auto j = d.pop();
        CHECK_MSG(j && id_of(*j) == i, "pop " << i);
        // Halves once a pop leaves it under a quarter full: 256 jobs left keep 1024 slots.
        if (i - 3 == 256) CHECK_EQ(d.capacity(), 1024u, "256 left");
        if (i - 3 == 255) CHECK_EQ(d.capacity(), 512u, "255 left");
    }
    CHECK(!d.pop());
    CHECK_EQ(d.capacity(), 64u, "after draining");

    // Wrap-around in a ring that is neither growing nor shrinking.
    for (std::uintptr_t round = 0; round < 10; ++round) {
        for (std::uintptr_t i = 0; i < 50; ++i) d.push(job(round * 100 + i + 1));
        for (std::uintptr_t i = 0; i < 50; ++i) {
            CHECK(d.steal(out) == WorkDeque::Steal::kSuccess && id_of(out) == round * 100 + i + 1);
        }
    }
    CHECK_EQ(d.capacity(), 64u, "steady ring");
}

// The owner pushes `n` jobs, popping some as it goes and the rest at the end, while `thieves`
// threads steal. Every id must be taken exactly once, by someone. Returns whether the ring grew
// and shrank while thieves were reading it.
bool race(std::size_t n, int thieves, std::uint32_t seed) {
    WorkDeque d;
    std::vector<std::atomic<int>> taken(n + 1);
    std::atomic<bool> owner_done{false};
    std::atomic<std::size_t> stolen{0};

    std::vector<std::thread> pool;
    for (int t = 0; t < thieves; ++t) {
        pool.emplace_back([&] {
            JobRef out;
            for (;;) {
                const bool done = owner_done.load();
                const auto r = d.steal(out);
                if (r == WorkDeque::Steal::kSuccess) {
                    taken[id_of(out)].fetch_add(1);
                    stolen.fetch_add(1);
                } else if (r == WorkDeque::Steal::kEmpty && done) {
                    return;
                }
            }
        });
    }
    std::mt19937 rng(seed);
    std::size_t max_capacity = 64;
    for (std::size_t i = 1; i <= n; ++i) {
        d.push(job(i));
        max_capacity = std::max(max_capacity, d.capacity());
        if (rng() % 3 == 0) {
            if (const auto j = d.pop()) taken[id_of(*j)].fetch_add(1);
        }
    }
    while (const auto j = d.pop()) taken[id_of(*j)].fetch_add(1);
    const bool resized = max_capacity > 64 && d.capacity() < max_capacity;
    owner_done.store(true);
    for (auto& t : pool) t.join();

    std::size_t wrong = 0;
    for (std::size_t i = 1; i <= n; ++i) wrong += taken[i].load() != 1;
    CHECK_MSG(wrong == 0, wrong << " of " << n << " jobs not taken exactly once, " << thieves << " thieves");
    return resized;
}

}  // namespace

int main() {
    test_single_thread_order_growth_and_shrink();
    Watchdog watchdog("owner racing thieves", 240);
    int resized = 0;
    for (int thieves = 1; thieves <= 8; ++thieves) {
        for (std::size_t n : {1, 2, 63, 64, 65, 257, 1000, 4096, 20000}) {
            resized += race(n, thieves, static_cast<std::uint32_t>(n * 31 + thieves));
        }
    }
    CHECK_MSG(resized > 0, "no run grew and shrank the ring under thieves");
    return check::exit_code();
}
