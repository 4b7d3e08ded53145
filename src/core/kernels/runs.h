#pragma once
// Contiguous runs of the band indices: out[i] = pixel(band_0[i], ..., band_k[i]) for i < n, one
// compiled copy per instruction set (core/isa.h). The build stays portable, and the widest copy
// the processor supports is chosen once, at first use. Every copy performs the same float32
// operations in the same order without contraction, so they are bit-identical; only the vector
// width differs.
//
// Interpreter-free: the frame of the module and the C++ tests both call in here.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/isa.h"
#include "core/kernels/formulas.h"
#include "core/views.h"

namespace rastrel::kernels {

// Pointers need not be aligned to their item size; `bands` holds one pointer per input band of
// the formula, in parameter order. Never raises. Streaming stores fall back to cached ones for
// an output that is not aligned to its item size. Safe to call from several threads at once on
// disjoint outputs; a streaming run is fenced before it returns, so its stores are ordered
// before whatever the thread publishes next.
template <class Pixel>
using Run = void (*)(const Pixel& pixel, float* out, const std::uint16_t* const* bands, std::size_t n,
                     Stores stores) noexcept;

// The same over a line whose samples and outputs lie `steps[k]` and `out_step` elements apart
// (any non-zero strides): out[i * out_step] = pixel(band_0[i * steps[0]], ...). Blocks of the
// line are gathered into contiguous buffers and fed to the loop of Run, so the pixels are the
// same bits. Writes no element between two of the output's own; `stores` as for Run, for an
// output of unit stride (others are always cached).
template <class Pixel>
using StridedRun = void (*)(const Pixel& pixel, float* out, std::ptrdiff_t out_step, const std::uint16_t* const* bands,
                            const std::ptrdiff_t* steps, std::size_t n, Stores stores) noexcept;

// The same over a whole 2-D piece of any strides: out(r, c) = pixel(band_0(r, c), ...) for every
// position of `out`'s shape, which every band shares. The loop order and any tiling follow the
// strides (a transposed band is read a cache line at a time, not an element); each pixel is the
// same bits as from Run. Contiguous lines are stored as `stores` says.
template <class Pixel>
using BlockRun = void (*)(const Pixel& pixel, const OutputView& out, const BandView* bands, Stores stores) noexcept;

struct RunTable {
    const char* isa;
    Run<NormalizedDifference> normalized_difference;
    Run<Ratio> ratio;
    Run<AdjustedDifference> adjusted_difference;
    Run<EnhancedVegetationIndex> evi;
    StridedRun<NormalizedDifference> normalized_difference_strided;
    StridedRun<Ratio> ratio_strided;
    StridedRun<AdjustedDifference> adjusted_difference_strided;
    StridedRun<EnhancedVegetationIndex> evi_strided;
    BlockRun<NormalizedDifference> normalized_difference_block;
    BlockRun<Ratio> ratio_block;
    BlockRun<AdjustedDifference> adjusted_difference_block;
    BlockRun<EnhancedVegetationIndex> evi_block;

    template <class Pixel>
    BlockRun<Pixel> block_of() const noexcept {
        if constexpr (std::is_same_v<Pixel, NormalizedDifference>) return normalized_difference_block;
        if constexpr (std::is_same_v<Pixel, Ratio>) return ratio_block;
        if constexpr (std::is_same_v<Pixel, AdjustedDifference>) return adjusted_difference_block;
        if constexpr (std::is_same_v<Pixel, EnhancedVegetationIndex>) return evi_block;
    }

    template <class Pixel>
    StridedRun<Pixel> strided_of() const noexcept {
        if constexpr (std::is_same_v<Pixel, NormalizedDifference>) return normalized_difference_strided;
        if constexpr (std::is_same_v<Pixel, Ratio>) return ratio_strided;
        if constexpr (std::is_same_v<Pixel, AdjustedDifference>) return adjusted_difference_strided;
        if constexpr (std::is_same_v<Pixel, EnhancedVegetationIndex>) return evi_strided;
    }

    template <class Pixel>
    Run<Pixel> of() const noexcept {
        if constexpr (std::is_same_v<Pixel, NormalizedDifference>) return normalized_difference;
        if constexpr (std::is_same_v<Pixel, Ratio>) return ratio;
        if constexpr (std::is_same_v<Pixel, AdjustedDifference>) return adjusted_difference;
        if constexpr (std::is_same_v<Pixel, EnhancedVegetationIndex>) return evi;
    }
};

// The copy for `isa`, or nullptr when this build or this processor lacks it.
inline const RunTable* run_table(Isa isa) noexcept {
    const IsaCopies* copies = isa_copies(isa);
    return copies == nullptr ? nullptr : copies->kernels;
}

// The widest copy this processor supports, decided at the first call, as the module's calls take
// it (IsaCopies::calls): AVX-512 gives short runs that find the core idle to AVX2.
inline const RunTable& runs() noexcept { return *widest_copies().calls; }

}  // namespace rastrel::kernels
