#pragma once
// The loops the block evaluator runs, one per step kind and operand kinds, each compiled once
// per instruction set (core/isa.h). The build stays portable; the widest copy the processor
// supports is chosen at first use. IEEE operations round the same at every vector width, and pow
// calls the C library's scalar powf per element in every copy, so all copies are bit-identical.
// Interpreter-free.
#include <cstddef>
#include <cstdint>

#include "core/expr/fused.h"
#include "core/expr/opcodes.h"
#include "core/isa.h"
#include "core/samples.h"

namespace rastrel {

// Pixels per run: the registers in use and the band runs stay within the first-level cache.
inline constexpr std::size_t kRunLength = 256;

// How a step reads one operand over a run.
enum class OperandKind : std::uint8_t {
    in_place,  // the run the step writes (a binary step's left operand, a unary step's only one)
    floats,    // another run of float32
    samples,   // a run of uint16 samples, converted exactly
    constant,  // one value for the whole run
};

// dst[i] = op(a[i], b[i]) for i < n, each operand read as its kind (a constant arrives in sa or
// sb). dst overlaps neither a nor b; all runs are aligned to their item size. Never raises.
using RunFn = void (*)(float* __restrict dst, const void* a, const void* b, float sa, float sb, std::size_t n);

// dst[i] = float32(samples[i]), times scale plus offset for a scaled band. Never raises.
using ConvertFn = void (*)(float* __restrict dst, const void* samples, float scale, float offset, std::size_t n);
// invalid[i] |= whether sample i (or mask byte i) makes its pixel invalid; nonzero if any did.
// Never raises.
using CheckFn = std::uint8_t (*)(std::uint8_t* __restrict invalid, const void* samples, const Nodata& nodata,
                                 std::size_t n);
// out[i] = fill where invalid[i] != 0. Never raises.
using FillFn = void (*)(float* __restrict out, const std::uint8_t* invalid, float fill, std::size_t n);

struct BlockRuns {
    const char* isa;
    // The loop for `op` with its operands of kinds a and b (b ignored by one-operand steps; a
    // push copies a). `full` gives the copy for n == kRunLength exactly, unrolled for that
    // length; otherwise the one for any n < kRunLength.
    RunFn (*pick)(OpCode op, OperandKind a, OperandKind b, bool full);
    // Writes `from` to `to` past the caches where the copy can (IsaCopies::streams), else
    // through them: `to` aligned to 64 bytes, n a multiple of 16.
    void (*stream)(float* to, const float* from, std::size_t n);
    // Orders this thread's streamed stores before what it does next.
    void (*fence)();
    // Reading bands of any sample type: runs aligned to their item size, n <= kRunLength.
    ConvertFn (*convert)(SampleType type, bool scaled);
    CheckFn (*nodata)(SampleType type, Nodata::Kind kind);  // nullptr for Kind::none
    CheckFn mask;
    FillFn fill;
    // to[i] = from[i * step] for i < n (any alignment of `from`), the strides of every other
    // column and of a reversed line vectorised.
    void (*gather)(std::uint16_t* to, const std::uint16_t* from, std::ptrdiff_t step, std::size_t n);
    // to[i * step] = from[i] for i < n, writing no element in between.
    void (*scatter)(float* to, std::ptrdiff_t step, const float* from, std::size_t n);
    // The whole-formula loop for `shape` over bands read as `kind`, testing nodata if `valid`.
    FusedFn (*fused)(FusedShape shape, FusedKind kind, bool valid);
    // For the calls' table of a copy that gives work finding the core idle to a narrower copy
    // (as its fused loops above do for themselves): calls work(context, narrow) for a call of n
    // pixels, narrow the copy whose loops should run it, or nullptr for this one. nullptr where
    // a copy always runs its own.
    void (*pace)(std::size_t n, void (*work)(const void* context, const BlockRuns* narrow), const void* context);
};

// The copy for `isa`, or nullptr when this build or this processor lacks it.
inline const BlockRuns* block_runs_for(Isa isa) noexcept {
    const IsaCopies* copies = isa_copies(isa);
    return copies == nullptr ? nullptr : copies->blocks;
}

// The widest copy this processor supports, decided at the first call, as the module's calls take
// it (IsaCopies::call_blocks).
inline const BlockRuns& block_runs() noexcept { return *widest_copies().call_blocks; }

}  // namespace rastrel
