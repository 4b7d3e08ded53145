#pragma once
// Loops shared between a calling thread and whichever workers are awake.
//
// A thread outside the pool that hands a loop over and then blocks pays twice for the hand-off on
// virtual machines that halt idle processors: once to wake a worker, once to be woken itself
// (tens of microseconds each across processors). Instead, the caller cuts its loop into chunks,
// posts the loop on the pool's board and claims chunks itself from the front; workers that are
// awake, or that the caller wakes, claim the rest from the back. The caller never sleeps on the
// loop: when no chunk is left it takes the loop off the board and waits only for the workers
// still inside it, each of which stays counted in until its chunks have ended (one signal at the
// end of a loop instead of two, each a cache line fetched from the other processor).
//
// The caller claims the unclaimed chunks' share of one thread at a time (half of them with two
// threads), and walks each claim as a few large pieces; a worker claims two chunks first and
// then one at a time, so that a worker the system preempts holds back little, and the two meet
// within a chunk of the even split. Claiming from both ends also keeps each thread on the same
// part of the arrays call after call, so back-to-back calls over the same tiles find their part
// still in that processor's cache instead of fetching it from the other one. Pieces are cut in one step
// from the whole's shape: cutting every chunk by repeated halving of all its parts cost as much
// as walking it (256 x 256 bands took 21 us in chunks of 1024 pixels against 6.5 us now).
//
// A worker never helps a loop posted from its own processor: it would only take turns with the
// caller there.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

namespace rastrel::parallel {

class Interruption;

// One loop, on its caller's stack, type-erased for the workers. Chunks are numbered in cutting
// order; a fault of a chunk ends that chunk only, and the fault of the lowest-numbered faulting
// chunk is the one raised once every chunk has ended.
//
// Aligned to cache lines, so that nothing the caller writes while it walks (its stack below the
// record) shares a line with what every worker reads for every chunk.
class alignas(64) SharedLoop {
public:
    // Walks the 2^level chunks from `first` on (a multiple of 2^level) as one piece: the piece
    // reached by halving the whole depth - level times. May throw (a fault of the loop's
    // function).
    using ChunkFn = void (*)(const SharedLoop& loop, std::size_t first, unsigned level);

    // The loop has 2^depth chunks. With an interruption, the caller asks it now and then
    // (help_as_caller, wait_until_done); once it says stop, pieces not yet started are skipped.
    // `shares`: how many threads may walk the loop at once (the pool's size), which sets the
    // size of the caller's claims.
    // `block_level`: a thread walks at most 2^block_level adjacent chunks of its claims as one
    // piece (at most depth).
    SharedLoop(ChunkFn walk_chunk, unsigned depth, int caller_cpu, Interruption* interruption = nullptr,
               std::size_t shares = 2, unsigned block_level = 0) noexcept
        : walk_chunk_(walk_chunk),
          chunks_(std::size_t{1} << depth),
          depth_(depth),
          block_level_(std::min(block_level, depth)),
          shares_(shares < 1 ? 1 : shares),
          caller_cpu_(caller_cpu),
          interruption_(interruption),
          first_claim_(std::max<std::size_t>(chunks_ / shares_, 1)),
          range_((std::uint64_t{chunks_} << 32) | first_claim_) {}
    SharedLoop(const SharedLoop&) = delete;
    SharedLoop& operator=(const SharedLoop&) = delete;

    std::size_t chunks() const noexcept { return chunks_; }
    int caller_cpu() const noexcept { return caller_cpu_; }
    bool has_unclaimed() const noexcept {
        const std::uint64_t r = range_.load(std::memory_order_relaxed);
        return front_of(r) < back_of(r);
    }

    // Claims chunks from the back, one at a time, and walks them until none is left unclaimed.
    // Any thread but the caller; never throws. Returns whether it walked any.
    bool help() noexcept;
    // The caller's share: walks its first claim, taken when the loop was made (before any
    // worker could see it, so without a contended write to the range at the start), then claims
    // chunks from the front, its share of the rest at a time, until none is left.
    void help_as_caller() noexcept;
    // Caller, while it waits for the chunks in flight: asks the interruption, if any.
    void poll() noexcept { (void)stopped(true); }
    // Caller, once every chunk has ended (LoopBoard::withdraw): raises the earliest chunk's
    // fault, if any.
    void rethrow_fault();

private:
    // Unclaimed chunks are [front, back): front in the low half of the word, back in the high.
    static std::size_t front_of(std::uint64_t r) noexcept { return static_cast<std::uint32_t>(r); }
    static std::size_t back_of(std::uint64_t r) noexcept { return static_cast<std::size_t>(r >> 32); }
    // Takes unclaimed chunks, from `first` on: from the front the caller's share of them, from
    // the back `most` at most; false when none is left.
    bool claim(bool from_front, std::size_t most, std::size_t& first, std::size_t& count) noexcept;
    // Walks claimed chunks as a few aligned blocks of at most 2^block_level_ chunks, largest
    // first where alignment allows.
    void walk_range(std::size_t first, std::size_t count, bool caller) noexcept;
    // Walks one block, keeping its fault if it starts at the lowest chunk so far.
    void walk(std::size_t first, unsigned level, bool caller) noexcept;
    bool stopped(bool caller) const noexcept;

    ChunkFn walk_chunk_;
    std::size_t chunks_;
    unsigned depth_;
    unsigned block_level_;
    std::size_t shares_;
    int caller_cpu_;
    Interruption* interruption_;
    std::size_t first_claim_;
    alignas(64) std::atomic<std::uint64_t> range_;
    alignas(64) std::mutex fault_mutex_;
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
    // Caller, once `loop` has no chunk left unclaimed: takes it off its slot and returns once no
    // worker is inside it any more, and so once every chunk has ended (a worker stays counted
    // in until the chunks it claimed are walked). Polls the loop's interruption meanwhile.
    void withdraw(int slot, SharedLoop& loop) noexcept;

    // Worker on processor `cpu` (-1: unknown): helps every posted loop that has chunks left and
    // was not posted from `cpu`. Returns whether it walked any chunk.
    bool help(int cpu) noexcept;
    // Any thread: whether some posted loop has chunks left that a worker on `cpu` could help.
    bool has_work(int cpu) noexcept;
    // Any thread, cheaply (no write): whether any loop is posted at all.
    bool any_posted() const noexcept {
        for (const Slot& s : slots_)
            if (s.loop.load(std::memory_order_relaxed) != nullptr) return true;
        return false;
    }
    // The processor of the last caller that posted a loop here or ran one without posting it
    // (note_caller), or -1.
    int last_caller_cpu() const noexcept { return last_caller_cpu_.load(std::memory_order_relaxed); }
    void note_caller(int cpu) noexcept {
        if (last_caller_cpu_.load(std::memory_order_relaxed) != cpu)
            last_caller_cpu_.store(cpu, std::memory_order_relaxed);
    }
    // Caller, before a post: takes `now` as the time of the latest loop and returns how long
    // before it the previous one came (the longest duration if none did).
    std::chrono::nanoseconds restamp(std::chrono::steady_clock::time_point now) noexcept;
    // The time of the latest loop a caller stamped, or the clock's epoch if none. For a worker
    // once a nap (callers write it at every loop).
    std::chrono::steady_clock::time_point last_loop() const noexcept {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(last_loop_.load(std::memory_order_relaxed)));
    }

private:
    struct alignas(64) Slot {
        std::atomic<SharedLoop*> loop{nullptr};
        // Workers inside the slot: the loop stays on its caller's stack until this is 0, and
        // the release of each decrement publishes the chunks that worker walked.
        std::atomic<int> users{0};
    };

    Slot slots_[kSlots];
    // Read by idle workers at every search, so written only when it changes.
    alignas(64) std::atomic<int> last_caller_cpu_{-1};
    // Written at every loop and read by callers, and by a napping worker once a nap: on the
    // workers' line above, each post had first to take that line back from them.
    alignas(64) std::atomic<std::chrono::steady_clock::rep> last_loop_{0};  // 0: none yet
};

}  // namespace rastrel::parallel
