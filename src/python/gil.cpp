#include "python/gil.h"

#include <atomic>
#include <mutex>
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
    static auto* instance = new DeferredReleases;
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
    queue.pending.push_back(object);
    queue.dirty.store(true, std::memory_order_release);
}

AllowThreads::AllowThreads() noexcept : saved_depth_(t_lock_depth) {
    t_lock_depth = 0;
    state_ = PyEval_SaveThread();
}

AllowThreads::~AllowThreads() {
    t_lock_depth = saved_depth_;
    PyEval_RestoreThread(state_);
    drain_deferred_releases();
}

}  // namespace rastrel
