#pragma once
// The worker pool: one thread per usable processor, each with a work-stealing deque, plus an
// injection queue for threads outside the pool. Work enters through in_worker (run inside the
// pool, from any thread) and join_context (fork two halves, join them). The pool never touches an
// interpreter object.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/parallel/deque.h"
#include "core/parallel/injector.h"
#include "core/parallel/job.h"
#include "core/parallel/latch.h"
#include "core/parallel/shared_loop.h"
#include "core/parallel/sleep.h"

namespace rastrel::parallel {

class WorkerPool;

// Lets the thread that hands a loop in give it up part-way. While that thread waits for the loop
// (never while a piece runs), it asks should_stop() every period; once that says yes,
// stop_requested() is true for good, the traversal skips every piece that has not started, and
// the wait goes on until the pieces already running have finished.
class Interruption {
public:
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
    // For a waiting thread that works on the loop itself: asks should_stop() once a period has
    // passed since its first call (and then once a period), never sooner.
    void poll() noexcept;
    // Waits for `latch` as above, then resets it.
    void wait(LockLatch& latch) noexcept;

protected:
    explicit Interruption(std::chrono::nanoseconds period) noexcept : period_(period) {}
    ~Interruption() = default;
    // On the waiting thread, only while it waits.
    virtual bool should_stop() noexcept = 0;

private:
    std::chrono::nanoseconds period_;
    std::atomic<bool> stop_{false};
    std::chrono::steady_clock::time_point next_look_{};
};

// Why a pool could not be made or installed; what() is "ThreadPoolBuildError { kind: ... }".
class ThreadPoolBuildError : public std::runtime_error {
public:
    enum class Kind { kGlobalPoolAlreadyInitialized, kCurrentThreadAlreadyInPool, kIOError };

    ThreadPoolBuildError(Kind kind, int os_error);
    Kind kind() const noexcept { return kind_; }
    int os_error() const noexcept { return os_error_; }

private:
    Kind kind_;
    int os_error_;
};

// The calling thread's identity inside a pool. Lives in the worker's own stack frame for the
// life of its loop; reached through WorkerThread::current().
class WorkerThread {
public:
    WorkerThread(WorkerPool& pool, std::size_t index) noexcept;

    // The worker running on this thread, or nullptr on a thread outside every pool.
    static WorkerThread* current() noexcept;

    WorkerPool& pool() const noexcept { return pool_; }
    std::size_t index() const noexcept { return index_; }

    // Pushes onto this worker's deque (newest end) and publishes the job.
    void push(JobRef job);
    std::optional<JobRef> take_local() noexcept;
    static void execute(JobRef job) noexcept { job.execute(job.data); }
    // Runs other jobs, then sleeps through the pool's protocol, until `latch` is set.
    void wait_until(CoreLatch& latch) {
        if (!latch.probe()) wait_until_cold(latch);
    }

private:
    friend class WorkerPool;

    void wait_until_cold(CoreLatch& latch);
    // Own deque (newest), then other workers' deques (oldest), then the injection queue.
    std::optional<JobRef> find_work();
    std::optional<JobRef> steal() noexcept;

    WorkerPool& pool_;
    std::size_t index_;
    WorkDeque& deque_;
    std::uint64_t rng_;
};

class WorkerPool {
public:
    static constexpr std::size_t kMaxThreads = 0xFFFF;
    static constexpr std::size_t kStackSize = std::size_t{2} << 20;

    // Starts min(max(threads, 1), kMaxThreads) detached workers. If one cannot start, the
    // workers already started are told to stop and ThreadPoolBuildError (kIOError) is thrown.
    // With one processor per worker in `bind_to`, worker i first binds itself to bind_to[i] (a
    // refusal is ignored); otherwise the workers may run anywhere in the creator's mask.
    static std::shared_ptr<WorkerPool> create(std::size_t threads, const std::vector<int>& bind_to = {});

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();

    std::size_t num_threads() const noexcept { return count_; }
    // Returns once every worker has entered its loop, in index order.
    void wait_until_primed() noexcept;
    // Makes every worker leave its loop before its next search. Any thread; for pools other
    // than the process-wide one, which is never stopped.
    void terminate() noexcept;
    // After terminate(): returns once every worker has left its loop.
    void wait_until_stopped() noexcept;

    // Runs op(worker, injected) inside this pool: at once if the calling thread is one of its
    // workers (injected = false), otherwise as a job handed in through the injection queue while
    // the calling thread waits (injected = true), through `interruption` if there is one. A
    // fault of op is raised on the calling thread.
    template <class Op>
    unit_result_t<Op, WorkerThread&, bool> in_worker(Op&& op, Interruption* interruption = nullptr);

    // Runs a(migrated) and b(migrated), possibly at the same time, and returns both results.
    // Both have finished before it returns or raises; if both fault, a's fault is raised.
    template <class A, class B>
    std::pair<unit_result_t<A, bool>, unit_result_t<B, bool>> join_context(A&& a, B&& b,
                                                                           Interruption* interruption = nullptr);

    // Where outside callers post loops that they walk with whichever workers help.
    LoopBoard& board() noexcept { return board_; }
    // After a post: makes sleepy workers search again, and wakes up to `wakes` sleeping workers
    // that are not bound to processor `caller_cpu`.
    void announce_loop(int caller_cpu, std::size_t wakes) noexcept;
    // Whether every worker sleeps (so that none would notice a posted loop unless woken).
    bool all_asleep() const noexcept { return Sleep::sleeping_of(sleep_.counters()) >= count_; }

    // The first kNappers workers sleep in naps while loops come (Sleep::kNap); a loop short
    // enough to share with one worker needs no more, and a timer a millisecond each is cheaper
    // than one per processor. Two, so that a caller that the system moves to the processor of
    // one finds the other napping, not asleep until woken.
    static constexpr std::size_t kNappers = 2;
    // The napper that joins loops of a caller on processor `caller_cpu`: the first not bound to
    // it, or num_threads() if none.
    std::size_t napper(int caller_cpu) const noexcept;
    // Wakes the napper for processor `caller_cpu` if it sleeps until woken: a pipeline's loops
    // came while it slept past its naps' window.
    void wake_napper(int caller_cpu) noexcept {
        const std::size_t i = napper(caller_cpu);
        if (i < count_) (void)sleep_.wake_if_not_napping(i);
    }

    // The processor worker `index` is bound to, or -1.
    int bound_cpu(std::size_t index) const noexcept { return cpus_[index]; }

    // Internals shared with workers and latches.
    Sleep& sleep() noexcept { return sleep_; }
    InjectionQueue& injected() noexcept { return injected_; }
    WorkDeque& deque(std::size_t index) noexcept { return infos_[index].deque; }
    void inject(JobRef job);

private:
    struct alignas(64) ThreadInfo {
        WorkDeque deque;
        LockLatch started;
        LockLatch stopped;
        CoreLatch terminate;
    };
    struct StartArgs;

    explicit WorkerPool(std::size_t count);
    static void* thread_main(void* args) noexcept;
    void main_loop(std::size_t index) noexcept;
    int start_thread(std::shared_ptr<WorkerPool> self, std::size_t index, int processor);

    template <class Op>
    unit_result_t<Op, WorkerThread&, bool> in_worker_cold(Op& op, Interruption* interruption);
    template <class Op>
    unit_result_t<Op, WorkerThread&, bool> in_worker_cross(WorkerThread& current, Op& op);
    template <class A, class B>
    std::pair<unit_result_t<A, bool>, unit_result_t<B, bool>> join_on(WorkerThread& w, bool injected, A& a, B& b);

    std::size_t count_;
    std::unique_ptr<ThreadInfo[]> infos_;
    std::vector<int> cpus_;  // the processor each worker is bound to, or -1
    InjectionQueue injected_;
    Sleep sleep_;
    LoopBoard board_;
};

// The processor the calling thread runs on, or -1 when the system cannot tell.
int current_cpu() noexcept;

// Module initialisation calls this once, with the interpreter lock held. Never throws. Decides
// the process-wide slot once: the first call creates the pool with available_parallelism()
// workers (1 if that fails) and waits until every worker has started; a pool that cannot be
// created leaves the slot decided but empty. Later calls change nothing. All failures are dropped.
// The child of a fork starts undecided: it has none of the parent's workers.
void set_up_global_pool() noexcept;

// The pool of the calling worker, or else the process-wide pool. Faults with "The global thread
// pool has not been initialized.: ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"
// when the slot is empty. Decides the slot (without waiting for the workers) if nothing has yet,
// which is how the child of a fork gets a pool of its own at its first loop.
WorkerPool& current_pool();
// current_pool().num_threads(), with the same fault.
std::size_t current_num_threads();

// join_context on current_pool().
template <class A, class B>
std::pair<unit_result_t<A, bool>, unit_result_t<B, bool>> join_context(A&& a, B&& b) {
    return current_pool().join_context(std::forward<A>(a), std::forward<B>(b));
}

namespace detail {
using ThreadStartFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
// pthread_create, unless a test replaces it (before creating a pool) to make starting fail.
extern std::atomic<ThreadStartFn> thread_start;
// This thread's own latch for the jobs it hands in; made on first use, kept for its life.
LockLatch& thread_lock_latch() noexcept;
}  // namespace detail

// ---- templates ----

template <class Op>
unit_result_t<Op, WorkerThread&, bool> WorkerPool::in_worker(Op&& op, Interruption* interruption) {
    WorkerThread* const w = WorkerThread::current();
    if (w == nullptr) return in_worker_cold(op, interruption);
    if (&w->pool() != this) return in_worker_cross(*w, op);
    return invoke_unit(op, *w, false);
}

template <class Op>
unit_result_t<Op, WorkerThread&, bool> WorkerPool::in_worker_cold(Op& op, Interruption* interruption) {
    auto body = [&op](bool injected) { return invoke_unit(op, *WorkerThread::current(), injected); };
    if (interruption != nullptr) {
        // A latch of its own, not the thread's: should_stop() may run code that hands loops in
        // from this very thread while this one is still out.
        LockLatch latch;
        StackJob<LockLatch, decltype(body)> job(latch, body);
        inject(job.as_job_ref());
        interruption->wait(latch);
        return job.into_result();
    }
    LockLatch& latch = detail::thread_lock_latch();
    StackJob<LockLatch, decltype(body)> job(latch, body);
    inject(job.as_job_ref());
    latch.wait_and_reset();
    return job.into_result();
}

template <class Op>
unit_result_t<Op, WorkerThread&, bool> WorkerPool::in_worker_cross(WorkerThread& current, Op& op) {
    auto body = [&op](bool injected) { return invoke_unit(op, *WorkerThread::current(), injected); };
    SpinLatch latch(current.pool().sleep(), current.index());
    StackJob<SpinLatch, decltype(body)> job(latch, body);
    inject(job.as_job_ref());
    current.wait_until(latch.core());
    return job.into_result();
}

template <class A, class B>
std::pair<unit_result_t<A, bool>, unit_result_t<B, bool>> WorkerPool::join_context(A&& a, B&& b,
                                                                                   Interruption* interruption) {
    return in_worker([&a, &b](WorkerThread& w, bool injected) { return w.pool().join_on(w, injected, a, b); },
                     interruption);
}

template <class A, class B>
std::pair<unit_result_t<A, bool>, unit_result_t<B, bool>> WorkerPool::join_on(WorkerThread& w, bool injected, A& a,
                                                                              B& b) {
    SpinLatch latch(sleep_, w.index());
    StackJob<SpinLatch, B> job_b(latch, b);
    const JobRef ref_b = job_b.as_job_ref();
    w.push(ref_b);

    std::optional<unit_result_t<A, bool>> result_a;
    try {
        result_a.emplace(invoke_unit(a, injected));
    } catch (...) {
        // b lives in this frame: it must finish (here or on a thief) before the fault leaves.
        w.wait_until(latch.core());
        throw;
    }
    while (!latch.probe()) {
        const std::optional<JobRef> job = w.take_local();
        if (!job) {
            w.wait_until(latch.core());  // b was stolen
            break;
        }
        if (*job == ref_b) return {std::move(*result_a), job_b.run_inline(injected)};
        WorkerThread::execute(*job);
    }
    return {std::move(*result_a), job_b.into_result()};
}

}  // namespace rastrel::parallel
