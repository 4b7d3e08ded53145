#pragma once
// Jobs as the pool's queues see them. A job record lives in the stack frame of the thread that
// waits for it; queues carry only a JobRef, two words, so forking never allocates.
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace rastrel::parallel {

using JobFn = void (*)(void*);

// A queued job: the routine that runs it and the record it runs on. Taken from a queue exactly
// once; the record stays valid until the job's latch is set.
struct JobRef {
    JobFn execute = nullptr;
    void* data = nullptr;

    friend bool operator==(const JobRef&, const JobRef&) = default;
};

// Stands in for `void` so that every job, join and in_worker call has a value to carry.
struct Unit {};

template <class F, class... Args>
using unit_result_t = std::conditional_t<std::is_void_v<std::invoke_result_t<F&, Args...>>, Unit,
                                         std::invoke_result_t<F&, Args...>>;

template <class F, class... Args>
unit_result_t<F, Args...> invoke_unit(F& f, Args&&... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<F&, Args...>>) {
        f(std::forward<Args>(args)...);
        return Unit{};
    } else {
        return f(std::forward<Args>(args)...);
    }
}

// One unit of work on its waiter's stack. `F` is called with `migrated`: true when the job runs
// through its JobRef (stolen, or handed in from outside), false when its owner runs it inline.
// `Latch` needs set(), which must be the last access to the record: the waiter may return and
// pop the frame as soon as it sees the latch set.
template <class Latch, class F>
class StackJob {
public:
    using Result = unit_result_t<F, bool>;

    StackJob(Latch& latch, F& func) noexcept : latch_(latch), func_(func) {}
    StackJob(const StackJob&) = delete;
    StackJob& operator=(const StackJob&) = delete;

    JobRef as_job_ref() noexcept { return JobRef{&StackJob::execute, this}; }

    // The owner took its own job back before anyone stole it: run it here, faults travel on.
    Result run_inline(bool migrated) { return invoke_unit(func_, migrated); }

    // Only after the latch is set: the value, or the stored fault raised again on this thread.
    Result into_result() {
        if (fault_) std::rethrow_exception(fault_);
        return std::move(*value_);
    }

private:
    static void execute(void* record) noexcept {
        auto* job = static_cast<StackJob*>(record);
        // The job's boundary: a fault of the work is stored for the waiter, never escapes into
        // the worker loop.
        try {
            job->value_.emplace(invoke_unit(job->func_, true));
        } catch (...) {
            job->fault_ = std::current_exception();
        }
        job->latch_.set();
    }

    Latch& latch_;
    F& func_;
    std::optional<Result> value_;
    std::exception_ptr fault_;
};

}  // namespace rastrel::parallel
