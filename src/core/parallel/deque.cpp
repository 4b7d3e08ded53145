#include "core/parallel/deque.h"

#include "core/parallel/order.h"

namespace rastrel::parallel {

WorkDeque::Ring::Ring(std::size_t capacity_)
    : capacity(capacity_), mask(capacity_ - 1), slots(std::make_unique<Slot[]>(capacity_)) {}

WorkDeque::WorkDeque() {
    rings_.push_back(std::make_unique<Ring>(kMinCapacity));
    ring_.store(rings_.back().get(), std::memory_order_relaxed);  // not yet shared
}

WorkDeque::~WorkDeque() = default;

// Slot accesses are relaxed: the job's record is published by the release store of `bottom_`
// (push) or of `ring_` (resize) that follows, and read back after the matching acquire.
void WorkDeque::put(Ring& ring, std::int64_t i, JobRef job) noexcept {
    Slot& slot = ring.at(i);
    slot.execute.store(job.execute, std::memory_order_relaxed);
    slot.data.store(job.data, std::memory_order_relaxed);
}

JobRef WorkDeque::get(Ring& ring, std::int64_t i) noexcept {
    Slot& slot = ring.at(i);
    return JobRef{slot.execute.load(std::memory_order_relaxed), slot.data.load(std::memory_order_relaxed)};
}

WorkDeque::Ring* WorkDeque::resize(Ring& from, std::int64_t top, std::int64_t bottom, std::size_t capacity) {
    rings_.reserve(rings_.size() + 1);  // the only throwing steps come before any change
    auto ring = std::make_unique<Ring>(capacity);
    for (std::int64_t i = top; i < bottom; ++i) put(*ring, i, get(from, i));
    Ring* const fresh = ring.get();
    rings_.push_back(std::move(ring));
    // Release: a thief that loads the new ring with acquire sees the copied slots.
    ring_.store(fresh, std::memory_order_release);
    return fresh;
}

void WorkDeque::push(JobRef job) {
    // Relaxed: only this thread writes `bottom_` and `ring_`.
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    // Acquire: a slot freed by a steal is reused only after that thief has read it.
    const std::int64_t t = top_.load(std::memory_order_acquire);
    Ring* ring = ring_.load(std::memory_order_relaxed);
    if (b - t >= static_cast<std::int64_t>(ring->capacity)) ring = resize(*ring, t, b, ring->capacity * 2);
    put(*ring, b, job);
    // Release: a thief that sees the new bottom with acquire also sees the slot and the job's
    // record behind it.
    bottom_.store(b + 1, std::memory_order_release);
}

std::optional<JobRef> WorkDeque::pop() noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;  // own variable
    Ring* const ring = ring_.load(std::memory_order_relaxed);              // own variable
    // Sequentially consistent store then load: a thief reading top then bottom and this pop
    // cannot both miss each other's step, so the last job goes to exactly one of them.
    bottom_.store(b, std::memory_order_seq_cst);
    order_store_before_load();
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
        // Empty. Relaxed: thieves read bottom only to compare with a top they then claim by CAS.
        bottom_.store(b + 1, std::memory_order_relaxed);
        return std::nullopt;
    }
    const JobRef job = get(*ring, b);
    if (t == b) {
        // The last job: race the thieves for it through top. Relaxed on failure: nothing read.
        const bool won = top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                                      std::memory_order_relaxed);
        bottom_.store(b + 1, std::memory_order_relaxed);  // as for the empty case above
        if (!won) return std::nullopt;
        shrink_if_sparse(*ring, t + 1, b + 1);
        return job;
    }
    shrink_if_sparse(*ring, t, b);
    return job;
}

void WorkDeque::shrink_if_sparse(Ring& ring, std::int64_t top, std::int64_t bottom) noexcept {
    const std::size_t len = static_cast<std::size_t>(bottom - top);
    if (ring.capacity <= kMinCapacity || len >= ring.capacity / 4) return;
    // Shrinking only saves memory: if the allocation fails, keep the larger ring. `top` may be
    // stale; copying jobs that thieves took since is harmless.
    try {
        resize(ring, top, bottom, ring.capacity / 2);
    } catch (...) {
    }
}

WorkDeque::Steal WorkDeque::steal(JobRef& out) noexcept {
    // Sequentially consistent: see pop(). The load of bottom is also the acquire that pairs
    // with push's release, making the slot and the job's record visible.
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return Steal::kEmpty;
    // Acquire: pairs with the release in resize(), so a ring installed after that bottom was
    // published is seen with its copied slots.
    Ring* const ring = ring_.load(std::memory_order_acquire);
    const JobRef job = get(*ring, t);
    // Relaxed on failure: the value read is discarded.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        return Steal::kRetry;
    }
    out = job;
    return Steal::kSuccess;
}

bool WorkDeque::is_empty() const noexcept {
    // Relaxed is enough for a hint: every caller that acts on "not empty" goes through steal()
    // or pop(), which do their own ordering.
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    const std::int64_t t = top_.load(std::memory_order_relaxed);
    return b <= t;
}

// Relaxed: owner only, and only the owner writes `ring_`.
std::size_t WorkDeque::capacity() const noexcept { return ring_.load(std::memory_order_relaxed)->capacity; }

}  // namespace rastrel::parallel
