#include "core/expr/bound_cache.h"

#include "core/expr/block_evaluator.h"

namespace rastrel {

// Acquire on taking a program out of a slot and release on putting one in: whoever takes a
// program sees every write of the call that kept it, and a slot is the only way a program passes
// from one call to another.

BoundCache::~BoundCache() {
    for (std::atomic<BlockProgram*>& slot : slots_) delete slot.load(std::memory_order_acquire);
}

std::unique_ptr<BlockProgram> BoundCache::take(std::span<const BandView> bands, const OutputView& out,
                                               const BlockRuns& runs, Stores stores) noexcept {
    for (std::atomic<BlockProgram*>& slot : slots_) {
        // Only a hint: the exchange below decides.
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        std::unique_ptr<BlockProgram> program(slot.exchange(nullptr, std::memory_order_acquire));
        if (!program) continue;
        if (program->fits(bands, out, runs, stores)) {
            program->repoint(bands, out);
            return program;
        }
        // Another layout's: back into its slot, unless a call has filled it meanwhile.
        BlockProgram* empty = nullptr;
        if (slot.compare_exchange_strong(empty, program.get(), std::memory_order_release, std::memory_order_relaxed)) {
            (void)program.release();
        }
    }
    return nullptr;
}

void BoundCache::keep(std::unique_ptr<BlockProgram> program) noexcept {
    for (std::atomic<BlockProgram*>& slot : slots_) {
        BlockProgram* empty = nullptr;
        if (slot.compare_exchange_strong(empty, program.get(), std::memory_order_release, std::memory_order_relaxed)) {
            (void)program.release();
            return;
        }
    }
    const std::size_t victim = evict_.fetch_add(1, std::memory_order_relaxed) % kSlots;
    delete slots_[victim].exchange(program.release(), std::memory_order_acq_rel);
}

}  // namespace rastrel
