#pragma once
// The pool's injection queue: jobs handed in by threads outside the pool, oldest first. Outside
// callers block for the whole loop anyway, so a mutex here costs nothing that matters; the
// atomic size lets idle workers look without taking the lock.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "core/parallel/job.h"

namespace rastrel::parallel {

class InjectionQueue {
public:
    InjectionQueue();

    // Any thread. Returns whether the queue held no job before this one. May throw
    // std::bad_alloc (growth beyond the initial room), leaving the queue unchanged.
    bool push(JobRef job);
    // Any thread: the oldest job, if any.
    std::optional<JobRef> pop();
    // Any thread, without locking.
    bool is_empty() const noexcept;

private:
    static constexpr std::size_t kInitialRoom = 64;

    std::mutex mutex_;
    std::vector<JobRef> ring_;  // capacity a power of two; jobs at head_, head_+1, ... (wrapping)
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    // Written under the mutex, read without it. Sequentially consistent on both sides: with the
    // sequentially consistent jobs-event counter, a worker that gets sleepy after a push cannot
    // miss the job that the push's publication did not wake anyone for.
    std::atomic<std::size_t> size_{0};
};

}  // namespace rastrel::parallel
