#pragma once
// Latches: one-way signals from the thread that finishes a job to the thread that waits for it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace rastrel::parallel {

class Sleep;

// A flag under a mutex, for waiters that should block without spinning: a thread outside the
// pool waiting for the job it handed in, and pool set-up waiting for each worker to start.
class LockLatch {
public:
    // Any thread. The waiter may destroy the latch as soon as it sees the flag; set() touches
    // nothing after releasing the mutex.
    void set() noexcept;
    bool probe() noexcept;
    void wait() noexcept;
    // Waits, then clears the flag so the latch serves the next job of the same thread.
    void wait_and_reset() noexcept;
    // As wait_and_reset, giving up after `timeout`: false then, and the flag stays as it was.
    bool wait_for_and_reset(std::chrono::nanoseconds timeout) noexcept;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool is_set_ = false;
};

// The state a worker's own latch goes through while that worker waits on it: it keeps running
// other jobs, announces itself sleepy, and finally sleeps through the pool's sleep protocol. The
// steps get_sleepy -> fall_asleep run under the worker's sleep-slot mutex, and the setter locks
// that same mutex after seeing kSleeping, so a wake-up cannot slip between the owner's last look
// and its wait.
class CoreLatch {
public:
    bool probe() const noexcept {
        // Acquire: pairs with the release in set(), so the job's stored result is visible to
        // whoever sees the latch set.
        return state_.load(std::memory_order_acquire) == kSet;
    }
    // Owner only. False when the latch is already set.
    bool get_sleepy() noexcept { return advance(kUnset, kSleepy); }
    // Owner only, after get_sleepy, under its sleep-slot mutex. False when set meanwhile.
    bool fall_asleep() noexcept { return advance(kSleepy, kSleeping); }
    // Owner only, after waking: back to unset unless it was set meanwhile.
    void wake_up() noexcept { advance(kSleeping, kUnset); }
    // Any thread. True when the owner had fallen asleep and must be woken by the caller.
    // Release: publishes the job's result to probe(). Acquire: the owner's steps towards sleep
    // that this exchange saw are ordered before the wake-up the caller then sends.
    bool set() noexcept { return state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping; }

private:
    enum : int { kUnset, kSleepy, kSleeping, kSet };

    bool advance(int from, int to) noexcept { return state_.compare_exchange_strong(from, to); }

    std::atomic<int> state_{kUnset};
};

// The latch of a forked half: owned by the worker that forked it, which waits by working.
class SpinLatch {
public:
    SpinLatch(Sleep& sleep, std::size_t owner) noexcept : sleep_(&sleep), owner_(owner) {}

    bool probe() const noexcept { return core_.probe(); }
    CoreLatch& core() noexcept { return core_; }
    // Any thread. After the state change the owner may pop the frame holding this latch, so
    // what the wake-up needs is copied out first.
    void set() noexcept;

private:
    CoreLatch core_;
    Sleep* sleep_;
    std::size_t owner_;
};

}  // namespace rastrel::parallel
