#include "core/parallel/shared_loop.h"

#include "core/isa.h"
#include "core/parallel/pool.h"

#include <sched.h>

namespace rastrel::parallel {

namespace {

// Spins of a waiting caller before it starts yielding its processor to others.
constexpr int kSpinsBeforeYield = 4096;

void relax(int& spins) noexcept {
    if (spins < kSpinsBeforeYield) {
        ++spins;
        spin_pause();
    } else {
        sched_yield();
    }
}

}  // namespace

bool SharedLoop::stopped(bool caller) const noexcept {
    if (interruption_ == nullptr) return false;
    if (caller) interruption_->poll();
    return interruption_->stop_requested();
}

bool SharedLoop::help(bool caller) noexcept {
    bool walked = false;
    for (;;) {
        const std::size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
        if (chunk >= chunks_) return walked;
        walked = true;
        try {
            if (!stopped(caller)) walk_chunk_(*this, chunk);
        } catch (...) {
            const std::lock_guard<std::mutex> guard(fault_mutex_);
            if (!fault_ || chunk < fault_chunk_) {
                fault_ = std::current_exception();
                fault_chunk_ = chunk;
            }
        }
        // Release: the chunk's output is visible to the caller once it counts it done.
        done_.fetch_add(1, std::memory_order_release);
    }
}

void SharedLoop::wait_until_done() const noexcept {
    int spins = 0;
    while (done_.load(std::memory_order_acquire) < chunks_) {
        stopped(true);
        relax(spins);
    }
}

void SharedLoop::rethrow_fault() {
    // Every chunk has ended, so no helper touches the fault any more.
    if (fault_) std::rethrow_exception(fault_);
}

int LoopBoard::post(SharedLoop& loop) noexcept {
    for (std::size_t i = 0; i < kSlots; ++i) {
        SharedLoop* expected = nullptr;
        if (slots_[i].loop.compare_exchange_strong(expected, &loop)) {
            last_caller_cpu_.store(loop.caller_cpu(), std::memory_order_relaxed);
            return static_cast<int>(i);
        }
    }
    return -1;
}

void LoopBoard::withdraw(int slot) noexcept {
    Slot& s = slots_[slot];
    // Sequentially consistent with help(): a worker either counted itself in before this store,
    // and is waited for below, or loads null after it.
    s.loop.store(nullptr);
    int spins = 0;
    while (s.users.load() != 0) relax(spins);
}

bool LoopBoard::help(int cpu) noexcept {
    bool walked = false;
    for (Slot& s : slots_) {
        if (s.loop.load(std::memory_order_relaxed) == nullptr) continue;
        s.users.fetch_add(1);
        SharedLoop* const loop = s.loop.load();
        if (loop != nullptr && loop->caller_cpu() != cpu && loop->has_unclaimed()) walked |= loop->help();
        s.users.fetch_sub(1);
    }
    return walked;
}

bool LoopBoard::has_work(int cpu) noexcept {
    bool found = false;
    for (Slot& s : slots_) {
        if (s.loop.load(std::memory_order_relaxed) == nullptr) continue;
        s.users.fetch_add(1);
        const SharedLoop* const loop = s.loop.load();
        found |= loop != nullptr && loop->caller_cpu() != cpu && loop->has_unclaimed();
        s.users.fetch_sub(1);
    }
    return found;
}

}  // namespace rastrel::parallel
