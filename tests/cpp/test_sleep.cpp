// The idle protocol step by step, with one worker slot driven by hand: yields, sleepy, sleep;
// a job published after the worker got sleepy keeps it awake; a sleeper is woken by new work and
// by its latch.
#include <atomic>
#include <chrono>
#include <thread>

#include "check.h"
#include "core/parallel/injector.h"
#include "core/parallel/latch.h"
#include "core/parallel/shared_loop.h"
#include "core/parallel/sleep.h"
#include "watchdog.h"

using namespace rastrel::parallel;

namespace {

LoopBoard g_board;

// Calls no_work_found until the worker would get sleepy on the next call.
IdleState idle_until_sleepy(Sleep& sleep, CoreLatch& latch, const Pending& q) {
    IdleState idle = sleep.start_looking(0);
    for (unsigned i = 0; i < Sleep::kRoundsUntilSleepy; ++i) sleep.no_work_found(idle, latch, q);
    return idle;
}

void wait_for_sleeper(const Sleep& sleep) {
    while (Sleep::sleeping_of(sleep.counters()) == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void test_publish_after_sleepy_keeps_awake() {
    Sleep sleep(1);
    CoreLatch latch;
    InjectionQueue queue;
    const Pending q{queue, g_board, -1};
    IdleState idle = idle_until_sleepy(sleep, latch, q);
    CHECK_EQ(Sleep::idle_of(sleep.counters()), 1u, "counted idle");
    sleep.no_work_found(idle, latch, q);  // 33rd fruitless search: sleepy, counter even
    CHECK_EQ(Sleep::jobs_counter_of(sleep.counters()) % 2, 0u, "sleepy makes the counter even");
    sleep.new_jobs(true);  // odd again
    sleep.no_work_found(idle, latch, q);  // would sleep, but the counter moved: must return
    CHECK_EQ(Sleep::sleeping_of(sleep.counters()), 0u, "did not sleep");
    CHECK_EQ(idle.rounds, Sleep::kRoundsUntilSleepy, "searches again, then gets sleepy anew");
    sleep.stop_looking();
    CHECK_EQ(sleep.counters() & 0xFFFFFFFFu, 0u, "neither idle nor asleep");
}

void test_sleeper_woken_by_work_and_by_latch() {
    Watchdog watchdog("sleeper wake-ups", 60);
    Sleep sleep(1);
    InjectionQueue queue;
    const Pending q{queue, g_board, -1};
    for (const bool by_latch : {false, true}) {
        CoreLatch latch;
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            IdleState idle = idle_until_sleepy(sleep, latch, q);
            sleep.no_work_found(idle, latch, q);  // sleepy
            sleep.no_work_found(idle, latch, q);  // asleep until woken
            returned = true;
            CHECK_EQ(idle.rounds, 0u, "a woken worker counts from 0");
            sleep.stop_looking();
        });
        wait_for_sleeper(sleep);
        CHECK(!returned);
        if (by_latch) {
            CHECK(latch.set());  // the owner sleeps: the setter must wake it
            sleep.wake_specific_thread(0);
        } else {
            sleep.new_jobs(true);  // no awake idle worker: the sleeper is woken
        }
        worker.join();
        CHECK(returned);
        CHECK_EQ(Sleep::sleeping_of(sleep.counters()), 0u, "the waker took it off the count");
    }
}

}  // namespace

int main() {
    test_publish_after_sleepy_keeps_awake();
    test_sleeper_woken_by_work_and_by_latch();
    return check::exit_code();
}
