#include "core/kernels/runs.h"

#include <initializer_list>

namespace rastrel::kernels {

namespace detail {
extern const RunTable kSse2Runs;
extern const RunTable kAvx2Runs;
extern const RunTable kAvx512Runs;
}  // namespace detail

namespace {

// Measured on 2-core virtual machines with two threads: a 4 MiB output streams about as fast
// as it stores through the caches, an 8 MiB one about 15% slower, 16 MiB and more 1.2 to 1.5
// times faster. The last-level cache these machines report (480 MiB) is no guide.
constexpr std::size_t kStreamingBytes = std::size_t{16} << 20;

const RunTable& widest() noexcept {
    for (const Isa isa : {Isa::kAvx512, Isa::kAvx2}) {
        if (const RunTable* table = run_table(isa)) return *table;
    }
    return detail::kSse2Runs;
}

}  // namespace

// The processor's own word, which also covers the operating system: the vector registers must be
// saved on a thread switch for a feature to count as present.
bool isa_supported(Isa isa) noexcept {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::kSse2:
            return true;
        case Isa::kAvx2:
            return __builtin_cpu_supports("avx2");
        case Isa::kAvx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    }
    return false;
}

const RunTable* run_table(Isa isa) noexcept {
    if (!isa_supported(isa)) return nullptr;
    switch (isa) {
        case Isa::kSse2:
            return &detail::kSse2Runs;
        case Isa::kAvx2:
            return &detail::kAvx2Runs;
        case Isa::kAvx512:
            return &detail::kAvx512Runs;
    }
    return nullptr;
}

const RunTable& runs() noexcept {
    static const RunTable& chosen = widest();
    return chosen;
}

Stores stores_for(std::size_t output_bytes) noexcept {
    return output_bytes >= kStreamingBytes ? Stores::kStreaming : Stores::kCached;
}

}  // namespace rastrel::kernels
