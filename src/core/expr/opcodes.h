#pragma once
// The ten kinds of step of an expression program, listed once. Every table below is an expansion
// of RASTREL_OPCODES, so adding or reordering an op cannot leave a table out of step.
//
// Columns:
//   name      the enumerator and, stringised, the op's "type" text; names compare byte for byte,
//             so the identifier must be spelled exactly as callers write it.
//   operands  values the step takes off the stack (0 for pushes); a step leaves 1 - operands
//             values more than it found (pushes +1, binary -1, unary 0).
//   probe     how far below the top the step looks first when checking its operands. The fault
//             for too few values names the first slot that check finds missing, and pow looks at
//             its base (two below the count) before its exponent, unlike the other binary ops.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#define RASTREL_OPCODES(X)   \
    X(push_band, 0, 0)       \
    X(push_scalar, 0, 0)     \
    X(add, 2, 1)             \
    X(sub, 2, 1)             \
    X(mul, 2, 1)             \
    X(div, 2, 1)             \
    X(pow, 2, 2)             \
    X(neg, 1, 1)             \
    X(abs, 1, 1)             \
    X(sqrt, 1, 1)

namespace rastrel {

enum class OpCode : std::uint32_t {
#define RASTREL_OP_ENUM(name, operands, probe) name,
    RASTREL_OPCODES(RASTREL_OP_ENUM)
#undef RASTREL_OP_ENUM
};

inline constexpr std::size_t kOpCount = 0
#define RASTREL_OP_COUNT(name, operands, probe) +1
    RASTREL_OPCODES(RASTREL_OP_COUNT)
#undef RASTREL_OP_COUNT
    ;

inline constexpr std::array<std::string_view, kOpCount> kOpNames = {
#define RASTREL_OP_NAME(name, operands, probe) std::string_view(#name),
    RASTREL_OPCODES(RASTREL_OP_NAME)
#undef RASTREL_OP_NAME
};

inline constexpr std::array<std::uint8_t, kOpCount> kOpOperands = {
#define RASTREL_OP_OPERANDS(name, operands, probe) std::uint8_t{operands},
    RASTREL_OPCODES(RASTREL_OP_OPERANDS)
#undef RASTREL_OP_OPERANDS
};

inline constexpr std::array<std::uint8_t, kOpCount> kOpProbe = {
#define RASTREL_OP_PROBE(name, operands, probe) std::uint8_t{probe},
    RASTREL_OPCODES(RASTREL_OP_PROBE)
#undef RASTREL_OP_PROBE
};

constexpr std::size_t op_index(OpCode op) { return static_cast<std::size_t>(op); }

constexpr std::string_view op_name(OpCode op) { return kOpNames[op_index(op)]; }

constexpr unsigned op_operands(OpCode op) { return kOpOperands[op_index(op)]; }

// Change in the number of values on the stack when the step succeeds.
constexpr int op_stack_effect(OpCode op) { return 1 - static_cast<int>(op_operands(op)); }

// Byte-exact: no case folding, no trimming; "Add" and " add" are unknown.
constexpr std::optional<OpCode> op_from_name(std::string_view text) {
    for (std::size_t i = 0; i < kOpCount; ++i) {
        if (kOpNames[i] == text) return static_cast<OpCode>(i);
    }
    return std::nullopt;
}

// The slot index reported when `op` finds only `count` values (count < op_operands(op)). Slots
// are addressed as count minus an offset in unsigned 64-bit arithmetic, so a missing slot below
// zero wraps: add on an empty stack names 2^64 - 1, pow names 2^64 - 2.
constexpr std::uint64_t op_underflow_slot(OpCode op, std::uint64_t count) {
    const std::uint64_t probe = kOpProbe[op_index(op)];
    return count < probe ? count - probe : count - op_operands(op);
}

}  // namespace rastrel
