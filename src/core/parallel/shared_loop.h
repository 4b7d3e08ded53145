#pragma once
// Loops shared between a calling thread and whichever workers are awake.
//
// A thread outside the pool that hands a loop over and then blocks pays twice for the hand-off on
// virtual machines that halt idle processors: once to wake a worker, once to be woken itself
// (tens of microseconds each across processors). Instead, the caller cuts its loop into chunks,
// posts the loop on the pool's board and claims chunks itself, one at a time; workers that are
// awake, or that the caller wakes, claim the rest. The caller never sleeps on the loop: when no
// chunk is left it waits only for chunks that helpers are still walking.
//
// A worker never helps a loop posted from its own processor: it would only take turns with the
// caller there.
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>

namespace rastrel::parallel {

class Interruption;

// One loop, on its caller's stack, type-erased for the workers. Chunks are numbered in cutting
// order; a fault of a chunk ends that chunk only, and the fault of the lowest-numbered faulting
// chunk is the one raised once every chunk has ended.
class SharedLoop {
public:
    // Walks chunk i; may throw (a fault of the loop's function).
    using ChunkFn = void (*)(const SharedLoop& loop, std::size_t chunk);

    // With an interruption, the caller asks it now and then (help_as_caller, wait_until_done);
    // once it says stop, chunks not yet started are skipped.
    SharedLoop(ChunkFn walk_chunk, std::size_t chunks, int caller_cpu, Interruption* interruption = nullptr) noexcept
        : walk_chunk_(walk_chunk), chunks_(chunks), caller_cpu_(caller_cpu), interruption_(interruption) {}
    SharedLoop(const SharedLoop&) = delete;
    SharedLoop& operator=(const SharedLoop&) = delete;

    std::size_t chunks() const noexcept { return chunks_; }
    int caller_cpu() const noexcept { return caller_cpu_; }
    bool has_unclaimed() const noexcept { return next_.load(std::memory_order_relaxed) < chunks_; }

    // Claims and walks chunks until none is left unclaimed. Any thread; never throws. Returns
    // whether it walked any.
    bool help() noexcept { return help(false); }
    // help() on the thread that posted the loop.
    void help_as_caller() noexcept { help(true); }
    // Caller, after help(): returns once every chunk has ended, spinning (the chunks in flight
    // are short), and yielding the processor while it waits longer.
    void wait_until_done() const noexcept;
    // Caller, after wait_until_done(): raises the earliest chunk's fault, if any.
    void rethrow_fault();

private:
    bool help(bool caller) noexcept;
    bool stopped(bool caller) const noexcept;

    ChunkFn walk_chunk_;
    std::size_t chunks_;
    int caller_cpu_;
    Interruption* interruption_;
    alignas(64) std::atomic<std::size_t> next_{0};
    alignas(64) std::atomic<std::size_t> done_{0};
    std::mutex fault_mutex_;
    std::size_t fault_chunk_ = 0;
    std::exception_ptr fault_;
};

// Where callers post their loops for the workers of one pool. A few slots: a caller that finds
// none free runs its loop through the pool's jobs instead.
class LoopBoard {
public:
    static constexpr std::size_t kSlots = 4;

    // Caller: posts `loop`; returns its slot, or -1 when every slot is taken.
    int post(SharedLoop& loop) noexcept;
    // Caller: takes the loop off its slot; returns once no worker can still reach it.
    void withdraw(int slot) noexcept;

    // Worker on processor `cpu` (-1: unknown): helps every posted loop that has chunks left and
    // was not posted from `cpu`. Returns whether it walked any chunk.
    bool help(int cpu) noexcept;
    // Any thread: whether some posted loop has chunks left that a worker on `cpu` could help.
    bool has_work(int cpu) noexcept;
    // The processor of the last caller that posted a loop here, or -1.
    int last_caller_cpu() const noexcept { return last_caller_cpu_.load(std::memory_order_relaxed); }

private:
    struct alignas(64) Slot {
        std::atomic<SharedLoop*> loop{nullptr};
        // Workers inside the slot: the loop stays on its caller's stack until this is 0.
        std::atomic<int> users{0};
    };

    Slot slots_[kSlots];
    alignas(64) std::atomic<int> last_caller_cpu_{-1};
};

}  // namespace rastrel::parallel
