#include "core/parallel/latch.h"

#include "core/parallel/sleep.h"

namespace rastrel::parallel {

void LockLatch::set() noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    is_set_ = true;
    // Notified under the mutex: the waiter cannot return (and free the latch with its thread)
    // before this call has finished with the condition variable.
    cv_.notify_all();
}

bool LockLatch::probe() noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    return is_set_;
}

void LockLatch::wait() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return is_set_; });
}

void LockLatch::wait_and_reset() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return is_set_; });
    is_set_ = false;
}

bool LockLatch::wait_for_and_reset(std::chrono::nanoseconds timeout) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return is_set_; })) return false;
    is_set_ = false;
    return true;
}

void SpinLatch::set() noexcept {
    Sleep* const sleep = sleep_;
    const std::size_t owner = owner_;
    if (core_.set()) sleep->wake_specific_thread(owner);
}

}  // namespace rastrel::parallel
