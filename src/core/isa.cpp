#include "core/isa.h"

#include "core/targets/copies.h"

namespace rastrel {

namespace {

bool processor_has(Isa isa) noexcept {
#if defined(__x86_64__)
    // The processor's own word, which also covers the operating system: the vector registers must
    // be saved on a thread switch for a feature to count as present.
    __builtin_cpu_init();
    switch (isa) {
        case Isa::kPortable:
        case Isa::kSse2:
            return true;
        case Isa::kAvx2:
            return __builtin_cpu_supports("avx2");
        case Isa::kAvx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    }
    return false;
#else
    return isa == Isa::kPortable;
#endif
}

#if defined(__x86_64__)
// The first 512-bit instructions after a pause hold up an Intel core (see targets/x86_avx512.cpp),
// so calls there start with the narrower loops; AMD's cores run them at full speed at once (64 x 64
// of the normalized difference after a millisecond of scalar work: 0.35 to 0.38 us, 0.32 to 0.36
// back to back, against AVX2's 0.57), where starting narrow would only cost.
bool processor_paces() noexcept { return !amd_processor(); }

// `copies` with its calls taking its own loops directly.
IsaCopies unpaced(IsaCopies copies) noexcept {
    copies.calls = copies.kernels;
    copies.call_blocks = copies.blocks;
    return copies;
}
#endif

const IsaCopies* compiled_copies(Isa isa) noexcept {
    switch (isa) {
        case Isa::kPortable:
            return &targets::kPortable;
#if defined(__x86_64__)
        case Isa::kSse2:
            return &targets::kSse2;
        case Isa::kAvx2:
            return &targets::kAvx2;
        case Isa::kAvx512: {
            static const bool paces = processor_paces();
            static const IsaCopies plain = unpaced(targets::kAvx512);
            return paces ? &targets::kAvx512 : &plain;
        }
#else
        default:
            break;
#endif
    }
    return nullptr;
}

const IsaCopies& widest() noexcept {
    for (const Isa isa : {Isa::kAvx512, Isa::kAvx2, Isa::kSse2}) {
        if (const IsaCopies* copies = isa_copies(isa)) return *copies;
    }
    return targets::kPortable;
}

}  // namespace

#if defined(__x86_64__)
bool amd_processor() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_is("amd");
}
#endif

bool isa_supported(Isa isa) noexcept { return compiled_copies(isa) != nullptr && processor_has(isa); }

const IsaCopies* isa_copies(Isa isa) noexcept { return isa_supported(isa) ? compiled_copies(isa) : nullptr; }

const IsaCopies& widest_copies() noexcept {
    static const IsaCopies& chosen = widest();
    return chosen;
}

Stores stores_for(std::size_t output_bytes) noexcept {
    return output_bytes >= kStreamingBytes && widest_copies().streams ? Stores::kStreaming : Stores::kCached;
}

}  // namespace rastrel
