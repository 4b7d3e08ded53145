#include "python/gil.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/fault.h"
#include "python/ref.h"

namespace rastrel {
namespace {

thread_local long t_lock_depth = 0;

// References dropped by threads that do not hold the lock. Guarded by its own mutex because
// those threads, by definition, cannot rely on the interpreter lock.
struct DeferredReleases {
    std::mutex mutex;
    std::vector<PyObject*> pending;
    // Lets every boundary entry skip the mutex when nothing is queued, which is almost always.
    std::atomic<bool> dirty{false};
};

DeferredReleases& deferred() {
    // Leaked on purpose: releases may be queued while the process shuts down.
    static auto* instance = [] {
        auto* queue = new DeferredReleases;
        // A thread that holds the mutex at a fork is not copied into the child, which would find
        // the mutex held for ever at its first drain: the fork waits for it instead.
        pthread_atfork([] { deferred().mutex.lock(); }, [] { deferred().mutex.unlock(); },
                       [] { deferred().mutex.unlock(); });
        return queue;
    }();
    return *instance;
}

}  // namespace

void drain_deferred_releases() noexcept {
    DeferredReleases& queue = deferred();
    std::vector<PyObject*> batch;
    {
        if (!queue.dirty.load(std::memory_order_acquire)) return;
        std::lock_guard lock(queue.mutex);
        batch.swap(queue.pending);
        queue.dirty.store(false, std::memory_order_relaxed);
    }
    for (PyObject* object : batch) Ref::drop_now(object);
}

void enter_boundary() {
    // Counted before the check so that the matching leave_boundary() balances it either way.
    if (++t_lock_depth <= 0) raise_fault("lock depth counter is negative: " + std::to_string(t_lock_depth - 1));
    drain_deferred_releases();
}

void leave_boundary() noexcept { --t_lock_depth; }

void release_reference(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (t_lock_depth > 0) {
        Ref::drop_now(object);
        return;
    }
    DeferredReleases& queue = deferred();
    std::lock_guard lock(queue.mutex);
    try {
        queue.pending.push_back(object);
    } catch (const std::bad_alloc&) {
        // Without room to queue it, the reference is leaked: dropping it here, without the
        // lock, could free an object under another thread's feet.
        return;
    }
    queue.dirty.store(true, std::memory_order_release);
}

namespace {

// The interpreter is finalizing and ends this thread with pthread_exit. Its unwinding would have
// to cross frames that must not unwind (the call boundary, the guards), and the process would
// abort instead of exiting. The thread parks for good instead, holding no lock, as the process
// is ending anyway.
[[noreturn]] void park() noexcept {
    for (;;) pause();
}

}  // namespace

void take_lock_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Nothing but the forced unwind can leave these C functions; caught as "..." because
        // binding a reference to that foreign exception trips the undefined-behaviour checker.
        park();
    }
}

PyGILState_STATE ensure_lock() noexcept {
    try {
        return PyGILState_Ensure();
    } catch (...) {
        // Nothing but the forced unwind can leave these C functions; caught as "..." because
        // binding a reference to that foreign exception trips the undefined-behaviour checker.
        park();
    }
}

AllowThreads::AllowThreads() noexcept : saved_depth_(t_lock_depth) {
    t_lock_depth = 0;
    state_ = PyEval_SaveThread();
}

AllowThreads::~AllowThreads() {
    t_lock_depth = saved_depth_;
    take_lock_back(state_);
    drain_deferred_releases();
}

}  // namespace rastrel
