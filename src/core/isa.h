#pragma once
// The processor, in one place: the instruction sets this build keeps copies of its loops for,
// which of them the running processor can use, how outputs are stored, and the one table through
// which every loop family (the band-index runs, the block evaluator's loops) reaches the copy for
// an instruction set. The copies themselves are built by the per-target sources in targets/.
// Interpreter-free.
#include <cstddef>
#include <cstdint>

namespace rastrel {

namespace kernels {
struct RunTable;
}
struct BlockRuns;

// Instruction sets with a copy of their own. The portable copy is plain C++ compiled for the
// build's baseline (SSE2 on x86-64, Advanced SIMD on aarch64, VSX on ppc64le) with ordinary
// stores, and exists on every processor; the others exist only on x86-64. Every copy performs
// the same float32 operations in the same order without contraction, so all give the same bits;
// only the vector width and the kind of store differ.
enum class Isa : std::uint8_t { kPortable, kSse2, kAvx2, kAvx512 };
inline constexpr Isa kAllIsas[] = {Isa::kPortable, Isa::kSse2, Isa::kAvx2, Isa::kAvx512};

// How a loop writes its output. Streaming stores bypass the caches: worth it only when the output
// is far larger than the last-level cache, since nothing will read it back from there and the
// line need not be fetched before it is written. Results are the same either way; a copy that
// has no such stores (`IsaCopies::streams` false) stores normally when asked to stream.
enum class Stores : std::uint8_t { kCached, kStreaming };

// Every loop family compiled for one instruction set.
struct IsaCopies {
    Isa isa;
    const char* name;
    bool streams;
    const kernels::RunTable* kernels;
    // What the module's calls take: `kernels`, or for a copy that first picks per contiguous run
    // which copy computes it (see targets/copies.h), the same with that choice in front.
    const kernels::RunTable* calls;
    const BlockRuns* blocks;
    // The same for `blocks`: the whole-formula loops with that choice in front where the copy
    // makes it.
    const BlockRuns* call_blocks;
};

constexpr const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::kPortable: return "portable";
        case Isa::kSse2: return "sse2";
        case Isa::kAvx2: return "avx2";
        case Isa::kAvx512: return "avx512";
    }
    return "?";
}

// Whether this build has a copy for `isa` and this processor, with its operating system, can
// run it.
bool isa_supported(Isa isa) noexcept;

// The copies for `isa`, or nullptr when isa_supported(isa) is false.
const IsaCopies* isa_copies(Isa isa) noexcept;

// The copies of the widest instruction set this processor supports, decided at the first call.
const IsaCopies& widest_copies() noexcept;

#if defined(__x86_64__)
// Whether the processor is AMD's: the choices between loops measured on Intel's cores (the
// AVX-512 pacing, the AVX-512 division without the divider) are made by the vendor.
bool amd_processor() noexcept;
#endif

// Measured on 2-core virtual machines with two threads: a 4 MiB output streams about as fast as
// it stores through the caches, an 8 MiB one about 15% slower, 16 MiB and more 1.2 to 1.5 times
// faster. The last-level cache these machines report (480 MiB) is no guide.
inline constexpr std::size_t kStreamingBytes = std::size_t{16} << 20;

// The stores for a call whose whole output takes `output_bytes`: streaming only far above what
// the caches hold, and only where the widest copy has streaming stores.
Stores stores_for(std::size_t output_bytes) noexcept;

// A hint to the processor that the caller spins waiting for another thread: it saves power and
// frees the core's shared resources for a sibling thread. No intrinsics header, so that this
// builds on every processor.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#elif defined(__powerpc64__)
    asm volatile("or 27,27,27" ::: "memory");  // lowers the hardware thread's priority a moment
#else
    asm volatile("" ::: "memory");
#endif
}

}  // namespace rastrel
