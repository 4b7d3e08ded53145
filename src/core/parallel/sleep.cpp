#include "core/parallel/sleep.h"

#include <sched.h>

#include <algorithm>

#include "core/isa.h"
#include "core/parallel/injector.h"
#include "core/parallel/latch.h"
#include "core/parallel/shared_loop.h"

namespace rastrel::parallel {

bool Pending::any() const noexcept { return !injected.is_empty() || board.has_work(cpu); }

Sleep::Sleep(std::size_t workers) : workers_(workers), slots_(std::make_unique<Slot[]>(workers)) {}

IdleState Sleep::start_looking(std::size_t worker_index) noexcept {
    counters_.fetch_add(kOneIdle);
    return IdleState{worker_index};
}

void Sleep::work_found() noexcept {
    const std::uint64_t before = counters_.fetch_sub(kOneIdle);
    wake_any_threads(std::min<std::uint32_t>(sleeping_of(before), 2));
}

void Sleep::stop_looking() noexcept { counters_.fetch_sub(kOneIdle); }

std::uint64_t Sleep::bump_jobs_counter(bool want_odd) noexcept {
    std::uint64_t c = counters_.load();
    for (;;) {
        const bool is_odd = (jobs_counter_of(c) & 1) != 0;
        if (is_odd == want_odd) return c;
        // The counter's top bit simply wraps out of the word.
        if (counters_.compare_exchange_weak(c, c + kOneJobsEvent)) return c + kOneJobsEvent;
    }
}

void Sleep::no_work_found(IdleState& idle, CoreLatch& latch, const Pending& pending, bool linger, bool nap) {
    if (linger && idle.rounds < kRoundsUntilSleepy && std::chrono::steady_clock::now() - idle.since < kLinger) {
        // Spinning, not yielding: a thread that yields in a loop keeps its scheduler credit and
        // is picked again and again over another thread that wants this processor (another
        // library's workers took milliseconds per call beside such a loop). A spinning one uses
        // up its credit, and a thread waking here preempts it.
        // It looks at the board between pauses: a loop posted meanwhile is worth the most the
        // sooner it is found (its chunks are a microsecond or two each).
        for (int i = 0; i < 16 && !pending.board.any_posted(); ++i) spin_pause();
    } else if (idle.rounds < kRoundsUntilSleepy) {
        ++idle.rounds;
        sched_yield();
    } else if (idle.rounds == kRoundsUntilSleepy) {
        idle.jobs_counter = jobs_counter_of(bump_jobs_counter(false));
        ++idle.rounds;
        sched_yield();
    } else {
        std::chrono::steady_clock::time_point until{};
        if (nap) {
            const auto now = std::chrono::steady_clock::now();
            if (now - pending.board.last_loop() < kNapWindow) until = now + kNap;
        }
        sleep(idle, latch, pending, until, linger);
    }
}

void Sleep::sleep(IdleState& idle, CoreLatch& latch, const Pending& pending, std::chrono::steady_clock::time_point nap,
                  bool linger) {
    if (!latch.get_sleepy()) return;
    Slot& slot = slots_[idle.worker_index];
    std::unique_lock<std::mutex> lock(slot.mutex);
    if (!latch.fall_asleep()) {
        idle.rounds = 0;
        return;
    }
    std::uint64_t c = counters_.load();
    for (;;) {
        if (jobs_counter_of(c) != idle.jobs_counter) {
            // Work was published since it got sleepy: search again, and get sleepy anew.
            idle.rounds = kRoundsUntilSleepy;
            latch.wake_up();
            return;
        }
        if (counters_.compare_exchange_weak(c, c + kOneSleeping)) break;
    }
    // Counted as asleep. An outside caller's job may have arrived in between; it is not worth a
    // sleep and a wake-up.
    if (pending.any()) {
        counters_.fetch_sub(kOneSleeping);
    } else {
        slot.is_asleep = true;
        // The waker clears the flag and takes this worker off the sleeping count.
        const auto woken = [&slot] { return !slot.is_asleep; };
        if (nap == std::chrono::steady_clock::time_point{}) {
            slot.deep.store(true, std::memory_order_relaxed);
            slot.cv.wait(lock, woken);
            slot.deep.store(false, std::memory_order_relaxed);
        } else if (!slot.cv.wait_until(lock, nap, woken)) {
            // The nap is over and nobody woke it: it takes itself off the count (under the
            // slot's mutex, so a waker after this finds it awake). It lingers if a loop came
            // lately (one that ran on its caller alone), else it gets sleepy again at once.
            slot.is_asleep = false;
            counters_.fetch_sub(kOneSleeping);
            const auto last = pending.board.last_loop();
            idle.restart();
            if (linger && idle.since - last < kLinger) {
                idle.since = last;
            } else {
                idle.rounds = kRoundsUntilSleepy;
            }
            latch.wake_up();
            return;
        }
    }
    idle.restart();
    latch.wake_up();
}

void Sleep::new_jobs(bool queue_was_empty) noexcept {
    const std::uint64_t c = bump_jobs_counter(true);
    const std::uint32_t sleepers = sleeping_of(c);
    if (sleepers == 0) return;
    const std::uint32_t idle = idle_of(c);
    const std::uint32_t awake_but_idle = idle > sleepers ? idle - sleepers : 0;
    // A searching worker will find the job unless the queue was already backed up.
    if (!queue_was_empty || awake_but_idle == 0) wake_any_threads(1);
}

void Sleep::wake_any_threads(std::uint32_t count) noexcept {
    for (std::size_t i = 0; i < workers_ && count > 0; ++i) {
        if (wake_specific_thread(i)) --count;
    }
}

bool Sleep::wake_specific_thread(std::size_t index) noexcept {
    Slot& slot = slots_[index];
    std::lock_guard<std::mutex> guard(slot.mutex);
    if (!slot.is_asleep) return false;
    slot.is_asleep = false;
    slot.cv.notify_one();
    counters_.fetch_sub(kOneSleeping);
    return true;
}

}  // namespace rastrel::parallel
