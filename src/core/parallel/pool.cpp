#include "core/parallel/pool.h"

#include <dlfcn.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/fault.h"
#include "core/parallel/cpus.h"

namespace rastrel::parallel {

namespace {

thread_local WorkerThread* t_current_worker = nullptr;

const char* kind_name(ThreadPoolBuildError::Kind kind) {
    switch (kind) {
        case ThreadPoolBuildError::Kind::kGlobalPoolAlreadyInitialized: return "GlobalPoolAlreadyInitialized";
        case ThreadPoolBuildError::Kind::kCurrentThreadAlreadyInPool: return "CurrentThreadAlreadyInPool";
        case ThreadPoolBuildError::Kind::kIOError: return "IOError";
    }
    return "IOError";
}

std::string build_error_text(ThreadPoolBuildError::Kind kind, int os_error) {
    std::string text = "ThreadPoolBuildError { kind: ";
    text += kind_name(kind);
    if (kind == ThreadPoolBuildError::Kind::kIOError) {
        text.append("(").append(std::strerror(os_error)).append(" (os error ");
        text.append(std::to_string(os_error)).append("))");
    }
    return text + " }";
}

// A worker's stack: 2 MiB, or the C library's minimum for a thread if that is larger (it grows
// with the size of thread-local storage). `__pthread_get_minstack` is private to glibc, so it is
// looked up rather than linked.
std::size_t worker_stack_size(const pthread_attr_t* attr) {
    using MinStackFn = std::size_t (*)(const pthread_attr_t*);
    static const auto min_stack = reinterpret_cast<MinStackFn>(dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
    const std::size_t minimum = min_stack != nullptr ? min_stack(attr) : 131072;
    return std::max(WorkerPool::kStackSize, minimum);
}

int set_stack_size(pthread_attr_t* attr) {
    std::size_t size = worker_stack_size(attr);
    int rc = pthread_attr_setstacksize(attr, size);
    if (rc == EINVAL) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        size = (size + page - 1) / page * page;
        rc = pthread_attr_setstacksize(attr, size);
    }
    return rc;
}

// The process-wide slot. Decided once per process; after that `g_pool` holds the pool or stays
// null. A pool is never destroyed: there is no exit hook, and workers may still run as the
// process ends. The mutex serialises deciding; readers that find a pool never take it.
std::mutex g_slot_mutex;
std::atomic<bool> g_decided{false};
std::atomic<WorkerPool*> g_pool{nullptr};

// Every pool this process ever made, newest first, pools its parent made before a fork included:
// none is destroyed, and each stays reachable from here so that leak checkers see them as kept.
struct KeptPool {
    std::shared_ptr<WorkerPool> pool;
    const KeptPool* previous;
};
const KeptPool* g_kept_pools = nullptr;  // guarded by g_slot_mutex

std::shared_ptr<WorkerPool> create_global_pool() {
    const ProcessorCount count = available_parallelism();
    const std::size_t threads = count.ok() ? count.count : 1;
    // Left to the scheduler, a worker woken by another is often placed on the waker's
    // processor, and since idle workers yield rather than sleep at first, both then stay there:
    // a loop runs at one processor's speed while the other idles (on 2-core machines, calls on
    // 1024 x 1024 bands took 1.5 times as long at the median). With exactly one worker per
    // processor of the mask, each worker keeps to its own. Under a CPU quota the pool is smaller
    // than the mask, and the scheduler keeps choosing where its workers run.
    std::vector<int> processors = affinity_processors();
    if (processors.size() != threads) processors.clear();
    return WorkerPool::create(threads, processors);
}

// A fork copies only the forking thread: the child has the pool's memory but none of its
// workers, and a loop handed to it would wait for ever. The child therefore forgets the pool
// (leaking it, since its locks and queues are in whatever state the fork caught them) and, like
// a new process, decides the slot again at its first loop. Holding the slot's mutex across the
// fork keeps a half-made decision from being copied.
void lock_slot_for_fork() noexcept { g_slot_mutex.lock(); }
void unlock_slot_in_parent() noexcept { g_slot_mutex.unlock(); }
void forget_pool_in_child() noexcept {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_decided.store(false, std::memory_order_relaxed);
    g_slot_mutex.unlock();
}

// Returns whether this call decided the slot.
bool decide_slot() noexcept {
    if (g_decided.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> guard(g_slot_mutex);
    if (g_decided.load(std::memory_order_relaxed)) return false;
    static const bool fork_handlers =
        pthread_atfork(&lock_slot_for_fork, &unlock_slot_in_parent, &forget_pool_in_child) == 0;
    (void)fork_handlers;
    try {
        g_kept_pools = new KeptPool{create_global_pool(), g_kept_pools};
        g_pool.store(g_kept_pools->pool.get(), std::memory_order_release);
    } catch (...) {
        // The slot stays empty; every loop will fault.
    }
    g_decided.store(true, std::memory_order_release);
    return true;
}

[[noreturn, gnu::cold, gnu::noinline]] void raise_pool_missing() {
    throw Fault("The global thread pool has not been initialized.: " +
                build_error_text(ThreadPoolBuildError::Kind::kGlobalPoolAlreadyInitialized, 0));
}

}  // namespace

namespace detail {
std::atomic<ThreadStartFn> thread_start{&pthread_create};

LockLatch& thread_lock_latch() noexcept {
    thread_local LockLatch latch;
    return latch;
}
}  // namespace detail

ThreadPoolBuildError::ThreadPoolBuildError(Kind kind, int os_error)
    : std::runtime_error(build_error_text(kind, os_error)), kind_(kind), os_error_(os_error) {}

// ---- Interruption ----

void Interruption::poll() noexcept {
    if (stop_requested()) return;
    const auto now = std::chrono::steady_clock::now();
    if (next_look_ == std::chrono::steady_clock::time_point{}) {
        next_look_ = now + period_;
    } else if (now >= next_look_) {
        next_look_ = now + period_;
        if (should_stop()) stop_.store(true, std::memory_order_relaxed);
    }
}

void Interruption::wait(LockLatch& latch) noexcept {
    while (!stop_requested()) {
        if (latch.wait_for_and_reset(period_)) return;
        if (should_stop()) stop_.store(true, std::memory_order_relaxed);
    }
    latch.wait_and_reset();
}

// ---- WorkerThread ----

WorkerThread::WorkerThread(WorkerPool& pool, std::size_t index) noexcept
    : pool_(pool), index_(index), deque_(pool.deque(index)), rng_(0x9E3779B97F4A7C15ull * (index + 1)) {}

WorkerThread* WorkerThread::current() noexcept { return t_current_worker; }

void WorkerThread::push(JobRef job) {
    const bool was_empty = deque_.is_empty();
    deque_.push(job);
    pool_.sleep().new_jobs(was_empty);
}

std::optional<JobRef> WorkerThread::take_local() noexcept { return deque_.pop(); }

std::optional<JobRef> WorkerThread::steal() noexcept {
    const std::size_t n = pool_.num_threads();
    if (n <= 1) return std::nullopt;
    // xorshift64: a cheap, per-worker pseudo-random start, so thieves spread over victims.
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    const std::size_t start = static_cast<std::size_t>(rng_ % n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t victim = (start + k) % n;
        if (victim == index_) continue;
        JobRef job;
        WorkDeque::Steal outcome;
        while ((outcome = pool_.deque(victim).steal(job)) == WorkDeque::Steal::kRetry) {
        }
        if (outcome == WorkDeque::Steal::kSuccess) return job;
    }
    return std::nullopt;
}

std::optional<JobRef> WorkerThread::find_work() {
    if (auto job = take_local()) return job;
    if (auto job = steal()) return job;
    return pool_.injected().pop();
}

void WorkerThread::wait_until_cold(CoreLatch& latch) {
    while (!latch.probe()) {
        if (auto job = take_local()) {
            execute(*job);
            continue;
        }
        IdleState idle = pool_.sleep().start_looking(index_);
        for (;;) {
            if (latch.probe()) {
                pool_.sleep().stop_looking();
                return;
            }
            if (auto job = find_work()) {
                pool_.sleep().work_found();
                execute(*job);
                break;
            }
            const int cpu = pool_.bound_cpu(index_) >= 0 ? pool_.bound_cpu(index_) : current_cpu();
            if (pool_.board().help(cpu)) {
                idle.restart();
                continue;
            }
            // Workers away from the processor of the last loop's caller stay awake a while, so
            // that the caller's next loop finds them; the one beside the caller would only take
            // turns with it.
            const int caller_cpu = pool_.board().last_caller_cpu();
            const bool linger = cpu < 0 || cpu != caller_cpu;
            pool_.sleep().no_work_found(idle, latch, Pending{pool_.injected(), pool_.board(), cpu}, linger,
                                        index_ < WorkerPool::kNappers);
        }
    }
}

// ---- WorkerPool ----

struct WorkerPool::StartArgs {
    std::shared_ptr<WorkerPool> pool;
    std::size_t index;
    int processor;  // -1: unbound
};

WorkerPool::WorkerPool(std::size_t count)
    : count_(count), infos_(std::make_unique<ThreadInfo[]>(count)), cpus_(count, -1), sleep_(count) {}

WorkerPool::~WorkerPool() = default;

std::shared_ptr<WorkerPool> WorkerPool::create(std::size_t threads, const std::vector<int>& bind_to) {
    const std::size_t count = std::clamp<std::size_t>(threads, 1, kMaxThreads);
    std::shared_ptr<WorkerPool> pool(new WorkerPool(count));
    const bool bind = bind_to.size() == count;
    if (bind) pool->cpus_ = bind_to;
    for (std::size_t i = 0; i < count; ++i) {
        const int rc = pool->start_thread(pool, i, bind ? bind_to[i] : -1);
        if (rc != 0) {
            // Workers already started hold their own reference and free the pool when the last
            // of them leaves its loop.
            pool->terminate();
            throw ThreadPoolBuildError(ThreadPoolBuildError::Kind::kIOError, rc);
        }
    }
    return pool;
}

int WorkerPool::start_thread(std::shared_ptr<WorkerPool> self, std::size_t index, int processor) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = set_stack_size(&attr);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) {
        auto args = std::make_unique<StartArgs>(StartArgs{std::move(self), index, processor});
        pthread_t thread;
        // Relaxed: replaced only by tests, before they create a pool.
        rc = detail::thread_start.load(std::memory_order_relaxed)(&thread, &attr, &WorkerPool::thread_main, args.get());
        // A started thread owns its arguments from here on; thread_main takes them over.
        if (rc == 0) (void)args.release();
    }
    pthread_attr_destroy(&attr);
    return rc;
}

void* WorkerPool::thread_main(void* raw) noexcept {
    std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(raw));
    const std::shared_ptr<WorkerPool> pool = std::move(args->pool);
    const std::size_t index = args->index;
    const int processor = args->processor;
    args.reset();
    // Bound by the thread itself, not through the creation attributes: a processor that cannot
    // be had leaves this worker unbound instead of failing the pool.
    if (processor >= 0 && processor < CPU_SETSIZE) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(processor, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
    pool->main_loop(index);
    return nullptr;
}

// noexcept: an exception here is a fault of the pool itself, outside any job's boundary, and
// ends the process.
void WorkerPool::main_loop(std::size_t index) noexcept {
    WorkerThread worker(*this, index);
    t_current_worker = &worker;
    ThreadInfo& info = infos_[index];
    info.started.set();
    worker.wait_until(info.terminate);
    t_current_worker = nullptr;
    info.stopped.set();
}

void WorkerPool::wait_until_primed() noexcept {
    for (std::size_t i = 0; i < count_; ++i) infos_[i].started.wait();
}

void WorkerPool::terminate() noexcept {
    for (std::size_t i = 0; i < count_; ++i) {
        infos_[i].terminate.set();
        sleep_.wake_specific_thread(i);
    }
}

void WorkerPool::wait_until_stopped() noexcept {
    for (std::size_t i = 0; i < count_; ++i) infos_[i].stopped.wait();
}

void WorkerPool::announce_loop(int caller_cpu, std::size_t wakes) noexcept {
    // Sequentially consistent after the announcement: a worker not counted asleep here sees the
    // announcement before it sleeps, searches again and finds the loop.
    if (Sleep::sleeping_of(sleep_.announce()) == 0) return;
    for (std::size_t i = 0; i < count_ && wakes > 0; ++i) {
        if (caller_cpu >= 0 && cpus_[i] == caller_cpu) continue;
        if (sleep_.wake_specific_thread(i)) --wakes;
    }
}

std::size_t WorkerPool::napper(int caller_cpu) const noexcept {
    for (std::size_t i = 0; i < std::min(count_, kNappers); ++i)
        if (caller_cpu < 0 || cpus_[i] != caller_cpu) return i;
    return count_;
}

void WorkerPool::inject(JobRef job) {
    const bool was_empty = injected_.push(job);
    sleep_.new_jobs(was_empty);
}

int current_cpu() noexcept { return sched_getcpu(); }

// ---- process-wide slot ----

void set_up_global_pool() noexcept {
    if (!decide_slot()) return;
    if (WorkerPool* const pool = g_pool.load(std::memory_order_acquire)) pool->wait_until_primed();
}

WorkerPool& current_pool() {
    if (WorkerThread* const w = WorkerThread::current()) return w->pool();
    WorkerPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        decide_slot();
        pool = g_pool.load(std::memory_order_acquire);
        if (pool == nullptr) raise_pool_missing();
    }
    return *pool;
}

std::size_t current_num_threads() { return current_pool().num_threads(); }

}  // namespace rastrel::parallel
