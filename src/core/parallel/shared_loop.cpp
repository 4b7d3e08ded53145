#include "core/parallel/shared_loop.h"

#include "core/isa.h"
#include "core/parallel/order.h"
#include "core/parallel/pool.h"

#include <sched.h>

#include <algorithm>

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

bool SharedLoop::claim(bool from_front, std::size_t most, std::size_t& first, std::size_t& count) noexcept {
    std::uint64_t r = range_.load(std::memory_order_relaxed);
    for (;;) {
        const std::size_t front = front_of(r), back = back_of(r);
        if (front >= back) return false;
        count = from_front ? std::max<std::size_t>((back - front) / shares_, 1) : std::min(back - front, most);
        first = from_front ? front : back - count;
        const std::uint64_t next = from_front ? r + count : r - (std::uint64_t{count} << 32);
        if (range_.compare_exchange_weak(r, next, std::memory_order_relaxed)) return true;
    }
}

void SharedLoop::walk(std::size_t first, unsigned level, bool caller) noexcept {
    try {
        if (!stopped(caller)) walk_chunk_(*this, first, level);
    } catch (...) {
        const std::lock_guard<std::mutex> guard(fault_mutex_);
        if (!fault_ || first < fault_chunk_) {
            fault_ = std::current_exception();
            fault_chunk_ = first;
        }
    }
}

void SharedLoop::walk_range(std::size_t first, std::size_t count, bool caller) noexcept {
    // Each piece costs its cuts from the whole (tens of nanoseconds each) and its own call.
    while (count > 0) {
        unsigned level = 0;
        while (level < block_level_ && ((first >> level) & 1) == 0 && (std::size_t{2} << level) <= count) ++level;
        walk(first, level, caller);
        first += std::size_t{1} << level;
        count -= std::size_t{1} << level;
    }
}

bool SharedLoop::help() noexcept {
    // The first claim takes two chunks, walked as one piece. A worker that comes to a loop after
    // a pause runs its first pieces on narrower vectors until they add up to enough work (see the
    // targets' pacing), and one chunk at a time its share of a 256 x 256 loop crossed that
    // amount half-way: the wide vectors' first instructions then held it up in the middle of the
    // loop (a call after a millisecond of other work with the worker awake, traced: worker 7.9
    // against the caller's 5.8 us for the same share; as one piece 6.0-6.4).
    std::size_t first = 0, count = 0, most = 2;
    bool walked = false;
    while (claim(false, most, first, count)) {
        walk_range(first, count, false);
        walked = true;
        most = 1;
    }
    return walked;
}

void SharedLoop::help_as_caller() noexcept {
    walk_range(0, first_claim_, true);
    std::size_t first = 0, count = 0;
    while (claim(true, 0, first, count)) walk_range(first, count, true);
}

void SharedLoop::rethrow_fault() {
    // Every chunk has ended and every worker has left, so none touches the fault any more.
    if (fault_) std::rethrow_exception(fault_);
}

int LoopBoard::post(SharedLoop& loop) noexcept {
    for (std::size_t i = 0; i < kSlots; ++i) {
        SharedLoop* expected = nullptr;
        if (slots_[i].loop.compare_exchange_strong(expected, &loop)) {
            note_caller(loop.caller_cpu());
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::chrono::nanoseconds LoopBoard::restamp(std::chrono::steady_clock::time_point now) noexcept {
    const auto ticks = now.time_since_epoch().count();
    const auto previous = last_loop_.exchange(ticks, std::memory_order_relaxed);
    if (previous == 0 || previous > ticks) return std::chrono::nanoseconds::max();
    return std::chrono::steady_clock::duration(ticks - previous);
}

void LoopBoard::withdraw(int slot, SharedLoop& loop) noexcept {
    Slot& s = slots_[slot];
    // Sequentially consistent with help(): a worker either counted itself in before this store,
    // and is waited for below, or loads null after it. The load that finds no worker left
    // acquires what each of them walked.
    s.loop.store(nullptr);
    order_store_before_load();
    int spins = 0;
    while (s.users.load() != 0) {
        loop.poll();
        relax(spins);
    }
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
