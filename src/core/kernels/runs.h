#pragma once
// Contiguous runs of the band indices: out[i] = pixel(band_0[i], ..., band_k[i]) for i < n, one
// compiled copy per instruction set. The build stays portable (baseline x86-64, SSE2), and the
// widest copy the processor supports is chosen once, at first use. Every copy performs the same
// float32 operations in the same order without contraction, so they are bit-identical; only the
// vector width differs.
//
// Interpreter-free: the frame of the module and the C++ tests both call in here.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/kernels/formulas.h"

namespace rastrel::kernels {

// How a run writes its output. Streaming stores bypass the caches: worth it only when the output
// is far larger than the last-level cache, since nothing will read it back from there and the
// line need not be fetched before it is written. Results are the same either way.
enum class Stores { kCached, kStreaming };

// Pointers need not be aligned to their item size; `bands` holds one pointer per input band of
// the formula, in parameter order. Never raises. Streaming stores fall back to cached ones for
// an output that is not aligned to its item size. Safe to call from several threads at once on
// disjoint outputs; a streaming run is fenced before it returns, so its stores are ordered
// before whatever the thread publishes next.
template <class Pixel>
using Run = void (*)(const Pixel& pixel, float* out, const std::uint16_t* const* bands, std::size_t n,
                     Stores stores) noexcept;

enum class Isa { kSse2, kAvx2, kAvx512 };

struct RunTable {
    const char* isa;
    Run<NormalizedDifference> normalized_difference;
    Run<Ratio> ratio;
    Run<AdjustedDifference> adjusted_difference;
    Run<EnhancedVegetationIndex> evi;

    template <class Pixel>
    Run<Pixel> of() const noexcept {
        if constexpr (std::is_same_v<Pixel, NormalizedDifference>) return normalized_difference;
        if constexpr (std::is_same_v<Pixel, Ratio>) return ratio;
        if constexpr (std::is_same_v<Pixel, AdjustedDifference>) return adjusted_difference;
        if constexpr (std::is_same_v<Pixel, EnhancedVegetationIndex>) return evi;
    }
};

// Whether this processor, and its operating system, can run code built for `isa`. Shared by
// every loop that keeps copies per instruction set.
bool isa_supported(Isa isa) noexcept;

// The copy for `isa`, or nullptr when this processor (or its operating system) lacks it.
const RunTable* run_table(Isa isa) noexcept;

// The widest copy this processor supports, decided at the first call.
const RunTable& runs() noexcept;

// The stores for a call whose whole output takes `output_bytes`: streaming only far above what
// the caches hold, since below that they cost more than they save.
Stores stores_for(std::size_t output_bytes) noexcept;

}  // namespace rastrel::kernels
