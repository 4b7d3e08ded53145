// Latches: blocking hand-over between threads, reuse through wait_and_reset, and the state
// machine a worker's own latch goes through on its way to sleep.
#include <atomic>
#include <thread>

#include "core/parallel/latch.h"
#include "check.h"
#include "watchdog.h"

using rastrel::parallel::CoreLatch;
using rastrel::parallel::LockLatch;

namespace {

void test_lock_latch_hand_over_and_reuse() {
    Watchdog watchdog("lock latch ping-pong", 60);
    LockLatch ping, pong;
    int shared = 0;  // plain: ordered by the latches alone (ThreadSanitizer checks that)
    constexpr int kRounds = 2000;
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            ping.wait_and_reset();
            shared += 1;
            pong.set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        shared += 1;
        ping.set();
        pong.wait_and_reset();
    }
    other.join();
    CHECK_EQ(shared, 2 * kRounds, "every round handed over once");
    CHECK(!ping.probe() && !pong.probe());

    LockLatch once;
    once.set();
    once.wait();  // already set: returns at once, stays set
    CHECK(once.probe());
}

void test_core_latch_states() {
    {
        CoreLatch l;  // set while awake: no wake-up owed
        CHECK(!l.probe());
        CHECK(!l.set());
        CHECK(l.probe());
        CHECK(!l.get_sleepy());
    }
    {
        CoreLatch l;  // set while sleepy: the owner's fall_asleep must fail
        CHECK(l.get_sleepy());
        CHECK(!l.set());
        CHECK(!l.fall_asleep());
    }
    {
        CoreLatch l;  // set while asleep: the setter must wake the owner
        CHECK(l.get_sleepy() && l.fall_asleep());
        CHECK(l.set());
        l.wake_up();
        CHECK(l.probe());
    }
    {
        CoreLatch l;  // a wake-up without set returns to unset, ready for the next round
        CHECK(l.get_sleepy() && l.fall_asleep());
        l.wake_up();
        CHECK(!l.probe() && l.get_sleepy());
    }
}

}  // namespace

int main() {
    test_lock_latch_hand_over_and_reuse();
    test_core_latch_states();
    return check::exit_code();
}
