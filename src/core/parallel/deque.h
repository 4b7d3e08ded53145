#pragma once
// A worker's local job queue: the work-stealing deque of Chase and Lev, "Dynamic Circular
// Work-Stealing Deque" (SPAA 2005), with the memory orders of Lê, Pop, Cohen and Zappa Nardelli,
// "Correct and Efficient Work-Stealing for Weak Memory Models" (PPoPP 2013). The paper's two
// sequentially consistent fences are expressed as sequentially consistent accesses to `bottom_`
// and `top_` (same guarantee, and visible to ThreadSanitizer, which does not model fences).
//
// The owner pushes and pops at the bottom (newest first); thieves steal at the top (oldest
// first). The ring starts with 64 slots, doubles when a push finds it full and halves when an
// owner's pop leaves it under a quarter full while above 64 slots. A thief may still be reading a
// ring that the owner has replaced, so every ring ever made is kept until the deque dies.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/parallel/job.h"

namespace rastrel::parallel {

class WorkDeque {
public:
    enum class Steal { kEmpty, kSuccess, kRetry };

    static constexpr std::size_t kMinCapacity = 64;

    WorkDeque();
    ~WorkDeque();
    WorkDeque(const WorkDeque&) = delete;
    WorkDeque& operator=(const WorkDeque&) = delete;

    // Owner thread only. push may allocate (growth) and then throws std::bad_alloc with the
    // deque unchanged.
    void push(JobRef job);
    std::optional<JobRef> pop() noexcept;
    std::size_t capacity() const noexcept;

    // Any thread. kRetry: lost a race with another thief or the owner; the deque may still hold
    // jobs.
    Steal steal(JobRef& out) noexcept;
    // Any thread; a snapshot that may be stale by the time it is used.
    bool is_empty() const noexcept;

private:
    // A slot's two words are separate atomics: a thief holding a stale top may read a slot that
    // the owner is rewriting, and may see a torn pair, but then its claim on `top_` fails and
    // the pair is thrown away.
    struct Slot {
        std::atomic<JobFn> execute{nullptr};
        std::atomic<void*> data{nullptr};
    };
    struct Ring {
        explicit Ring(std::size_t capacity);
        Slot& at(std::int64_t i) noexcept { return slots[static_cast<std::size_t>(i) & mask]; }
        std::size_t capacity;
        std::size_t mask;
        std::unique_ptr<Slot[]> slots;
    };

    void put(Ring& ring, std::int64_t i, JobRef job) noexcept;
    static JobRef get(Ring& ring, std::int64_t i) noexcept;
    // Owner only: a ring of `capacity` slots holding the jobs in [top, bottom), made current.
    Ring* resize(Ring& from, std::int64_t top, std::int64_t bottom, std::size_t capacity);
    void shrink_if_sparse(Ring& ring, std::int64_t top, std::int64_t bottom) noexcept;

    // Thieves write `top_`, the owner writes `bottom_` and `ring_`: separate cache lines, so a
    // steal does not keep evicting the owner's end.
    alignas(64) std::atomic<std::int64_t> top_{0};
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    std::atomic<Ring*> ring_{nullptr};
    std::vector<std::unique_ptr<Ring>> rings_;  // owner only; every ring made, current included
};

}  // namespace rastrel::parallel
