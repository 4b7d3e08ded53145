#pragma once
// Block programs that earlier calls of one compiled program bound to their views, kept for later
// calls over views laid out alike: at 64 x 64 binding a program cost about a fifth of its loop,
// and repointing a kept one at new data costs a few comparisons. Interpreter-free.
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "core/isa.h"
#include "core/views.h"

namespace rastrel {

class BlockProgram;

// Calls of one program may run at once on several threads: each takes a bound program out of
// the cache for its whole evaluation and gives it back after, so that no two calls ever hold
// the same one; a call that finds none that fits binds its own.
class BoundCache {
public:
    BoundCache() noexcept = default;
    ~BoundCache();
    BoundCache(const BoundCache&) = delete;
    BoundCache& operator=(const BoundCache&) = delete;

    // A kept program that fits these views (BlockProgram::fits), taken out of the cache and
    // repointed at them; nullptr when none fits.
    std::unique_ptr<BlockProgram> take(std::span<const BandView> bands, const OutputView& out, const BlockRuns& runs,
                                       Stores stores) noexcept;
    // Keeps `program` for later calls, in place of an older one when every slot is full.
    void keep(std::unique_ptr<BlockProgram> program) noexcept;

private:
    // A few layouts at once: tiles at a raster's edges, or strided and contiguous calls in turn.
    static constexpr std::size_t kSlots = 4;
    std::atomic<BlockProgram*> slots_[kSlots]{};
    std::atomic<std::size_t> evict_{0};  // the slot that keep() replaces next
};

}  // namespace rastrel
