// The copy every processor has: plain loops that the compiler vectorises for the build's
// baseline, and ordinary stores. On processors other than x86-64 it is the only copy; on x86-64
// the SSE2 copy is the same code with streaming stores.
#include <cstring>

#include "core/targets/copies.h"

namespace rastrel::targets {
namespace {

struct Portable {
    static constexpr Isa kIsa = Isa::kPortable;
    static constexpr bool kStreams = false;
    static constexpr std::size_t kVectorBytes = 16;
    static void stream(float* __restrict to, const float* __restrict from, std::size_t n) noexcept {
        std::memcpy(to, from, n * sizeof *to);
    }
    static void fence() noexcept {}
};

}  // namespace

RASTREL_TARGET_COPIES(kPortable, Portable, )

}  // namespace rastrel::targets
