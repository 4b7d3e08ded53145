#pragma once
// Compiled expression programs: the step record, the faults evaluation can raise, and the
// analysis that predicts those faults without evaluating. Interpreter-free: the pool's workers
// read programs while the interpreter lock is released.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/expr/opcodes.h"
#include "core/views.h"

namespace rastrel {

// One step. `scalar` is read only by push_scalar and `band` only by push_band; other kinds leave
// them meaningless. The layout is fixed (kind in 32 bits, then the operands) so that a program
// can be copied as plain bytes out of the Python object before the lock is released.
struct Instruction {
    OpCode kind;
    float scalar;
    std::uint64_t band;
};
static_assert(sizeof(Instruction) == 16);

// The evaluation stack's capacity; also the "len" of every stack fault.
inline constexpr std::size_t kStackSlots = 16;

// What a step that cannot run reports. A bounds fault carries the length of the table that was
// indexed and the index tried (for stack faults the table is the 16 slots, for a band number the
// list of bands); a pixel outside a band carries nothing.
struct EvalFault {
    enum class Kind : std::uint8_t { bounds, outside_band };

    Kind kind = Kind::bounds;
    std::uint64_t len = 0;
    std::uint64_t index = 0;

    static constexpr EvalFault bounds(std::uint64_t len, std::uint64_t index) {
        return {Kind::bounds, len, index};
    }
    static constexpr EvalFault outside_band() { return {Kind::outside_band, 0, 0}; }

    // The exact text the fault carries to Python.
    std::string message() const;

    friend bool operator==(const EvalFault&, const EvalFault&) = default;
};

// Cold and out of line, so that the evaluation loops keep only a compare and a call per check.
[[noreturn, gnu::cold]] void raise_bounds_fault(std::uint64_t len, std::uint64_t index);
[[noreturn, gnu::cold]] void raise_outside_band();
[[noreturn, gnu::cold]] void raise_eval_fault(const EvalFault& fault);

// A program has no branches, so how many values are on the stack before each step does not depend
// on the pixel, and neither do stack overflows, underflows and band numbers beyond the list of
// bands: they are faults of the program, met at the same step by every pixel.
struct StepFault {
    std::size_t step;
    EvalFault fault;
};

struct StackPlan {
    // depth[i] is the number of values on the stack before step i. It covers every step up to and
    // including the faulting one, or, for a program without such a fault, every step plus a last
    // entry for the depth left at the end.
    std::vector<std::uint8_t> depth;
    std::optional<StepFault> fault;
};

// Never raises a Fault; allocates the depth table.
StackPlan plan_stack(std::span<const Instruction> prog, std::size_t nbands);

// A fault that a particular output pixel meets.
struct PixelFault {
    std::size_t row;
    std::size_t col;
    std::size_t step;
    EvalFault fault;
};

// Predicts, reading no sample, the fault that evaluating every pixel of a rows x cols output one
// after another in row-major order would raise: the first faulting pixel in that order, and the
// first fault in program order for that pixel. Empty when every pixel evaluates cleanly, which
// includes any program over an output without pixels. Only the shapes of `bands` are read, and
// `plan` must come from plan_stack(prog, bands.size()).
std::optional<PixelFault> first_fault(std::span<const Instruction> prog, const StackPlan& plan,
                                      std::span<const BandView> bands, std::size_t rows,
                                      std::size_t cols);

// plan_stack and first_fault in one.
std::optional<PixelFault> validate(std::span<const Instruction> prog,
                                   std::span<const BandView> bands, std::size_t rows,
                                   std::size_t cols);

}  // namespace rastrel
