#pragma once
// How idle workers go to sleep and who wakes them.
//
// One 64-bit word counts the sleeping workers (bits 0-15) and the idle ones, searching or
// sleeping (bits 16-31), and holds the jobs-event counter (bits 32-63). Publishing a job makes
// the counter odd; a worker about to sleep first makes it even and remembers that value
// ("sleepy"), searches once more, and then sleeps only if the counter still holds that value. So
// a job published after it got sleepy either changes the counter (and the worker searches again)
// or is published after the worker counted itself asleep (and the publisher sees a sleeper to
// wake). A worker waits for one CoreLatch at a time (its join's latch, or its terminate signal in
// the main loop); setting that latch wakes it through the latch's own handshake.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace rastrel::parallel {

class CoreLatch;
class InjectionQueue;
class LoopBoard;

// A worker's progress towards sleep since it last found work or woke up.
struct IdleState {
    std::size_t worker_index;
    unsigned rounds = 0;  // fruitless searches so far
    std::uint32_t jobs_counter = 0;  // the even value remembered when it got sleepy
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();

    // It found something to do outside the queues (a posted loop): the count starts again.
    void restart() noexcept {
        rounds = 0;
        since = std::chrono::steady_clock::now();
    }
};

// Where work can turn up for a worker besides its latch: the injection queue, and loops posted
// on the board that a worker on `cpu` may help.
struct Pending {
    const InjectionQueue& injected;
    LoopBoard& board;
    int cpu;

    bool any() const noexcept;
};

class Sleep {
public:
    static constexpr unsigned kRoundsUntilSleepy = 32;
    static constexpr unsigned kRoundsUntilSleeping = kRoundsUntilSleepy + 1;
    // How long a lingering worker keeps searching (yielding between searches) before it counts
    // its rounds towards sleep: long enough that a caller's next loop, after a millisecond or so
    // of other work, still finds it awake; short enough not to hold a processor for long.
    static constexpr std::chrono::microseconds kLinger{2000};
    // A napping worker (WorkerPool::kNappers) sleeps in naps of kNap, each ended by its own
    // timer, while the latest loop is less than kNapWindow old; then until woken. A caller's
    // loops in a pipeline (a call after each millisecond or so of other work) run alone on the
    // caller while every worker sleeps, and waking one cost the caller 16-20 us on these virtual
    // machines (an interrupt to a halted processor), as much as the loop; a worker at the end of
    // a nap that finds a loop stamped within kLinger lingers instead, and joins the pipeline's
    // next loops without anyone paying for its wake-up.
    static constexpr std::chrono::microseconds kNap{1000};
    static constexpr std::chrono::milliseconds kNapWindow{250};

    explicit Sleep(std::size_t workers);

    // The worker stops finding jobs and counts itself idle.
    IdleState start_looking(std::size_t worker_index) noexcept;
    // It found a job: stops counting itself idle and wakes up to two sleepers, since where one
    // job turned up more are likely to follow.
    void work_found() noexcept;
    // The latch it waited for was set: it stops counting itself idle and wakes nobody.
    void stop_looking() noexcept;
    // After a fruitless search: yield, get sleepy, or sleep until woken, per the rounds so far
    // (a lingering worker only yields until kLinger has passed since it went idle). Returns
    // without sleeping if `latch` is set or `pending` holds work at the last look. With `nap`,
    // it sleeps in naps while a loop came less than kNapWindow ago.
    void no_work_found(IdleState& idle, CoreLatch& latch, const Pending& pending, bool linger = false,
                       bool nap = false);

    // Work was published somewhere the sleep protocol does not push to (a posted loop): makes
    // sleepy workers search again before they sleep. Wakes nobody.
    // Returns the counters word after it.
    std::uint64_t announce() noexcept { return bump_jobs_counter(true); }

    // A job was pushed onto a local queue or the injection queue, which held work before the
    // push unless `queue_was_empty`.
    void new_jobs(bool queue_was_empty) noexcept;
    // Wakes worker `index` if it sleeps. Any thread.
    bool wake_specific_thread(std::size_t index) noexcept;
    // Wakes worker `index` if it sleeps until woken, not in a nap. Any thread; reads a flag
    // only when it naps or is awake.
    bool wake_if_not_napping(std::size_t index) noexcept {
        return slots_[index].deep.load(std::memory_order_relaxed) && wake_specific_thread(index);
    }

    // For tests and assertions: the counters word as it is now.
    std::uint64_t counters() const noexcept { return counters_.load(); }
    static std::uint32_t sleeping_of(std::uint64_t c) noexcept { return c & 0xFFFF; }
    static std::uint32_t idle_of(std::uint64_t c) noexcept { return (c >> 16) & 0xFFFF; }
    static std::uint32_t jobs_counter_of(std::uint64_t c) noexcept { return static_cast<std::uint32_t>(c >> 32); }

private:
    struct alignas(64) Slot {
        std::mutex mutex;
        std::condition_variable cv;
        bool is_asleep = false;
        // Asleep until woken (no nap). Written under the mutex, read without it as a hint.
        std::atomic<bool> deep{false};
    };

    static constexpr std::uint64_t kOneSleeping = 1;
    static constexpr std::uint64_t kOneIdle = std::uint64_t{1} << 16;
    static constexpr std::uint64_t kOneJobsEvent = std::uint64_t{1} << 32;

    // Adds one to the jobs-event counter if it is even (want_odd) or odd (!want_odd); returns
    // the word as it is afterwards.
    std::uint64_t bump_jobs_counter(bool want_odd) noexcept;
    // `nap`: ends by itself at that time unless woken before; after it, a worker that may
    // `linger` does so if a loop came within kLinger, and any other gets sleepy again at once.
    void sleep(IdleState& idle, CoreLatch& latch, const Pending& pending,
               std::chrono::steady_clock::time_point nap = {}, bool linger = false);
    void wake_any_threads(std::uint32_t count) noexcept;

    // All accesses sequentially consistent: the lost-wake-up argument above is a store-buffering
    // pattern between the queues and this word.
    alignas(64) std::atomic<std::uint64_t> counters_{0};
    std::size_t workers_;
    std::unique_ptr<Slot[]> slots_;
};

}  // namespace rastrel::parallel
