#pragma once
// The loops behind every copy of the block evaluator's steps (block_runs.h). Included only by the
// per-target sources (targets/), whose entry points inline these into functions compiled for
// their own instruction set, where the compiler vectorises them at that width. Nothing here may
// name an instruction-set intrinsic.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/expr/block_runs.h"
#include "core/expr/evaluator.h"
#include "core/expr/sample_loops.h"

namespace rastrel::block_loops {

// Operand readers. Inlined into the loops below, so that each loop is a plain elementwise loop
// over its own operand kinds.
struct InPlace {
    using T = float;
    static float load(const T*, float, const float* __restrict d, std::size_t i) { return d[i]; }
};
struct Floats {
    using T = float;
    static float load(const T* __restrict p, float, const float*, std::size_t i) { return p[i]; }
};
struct Samples {
    using T = std::uint16_t;
    static float load(const T* __restrict p, float, const float*, std::size_t i) { return static_cast<float>(p[i]); }
};
struct Constant {
    using T = float;
    static float load(const T*, float s, const float*, std::size_t) { return s; }
};

// The operations are apply_binary and apply_unary, the per-pixel evaluator's own.
template <class A, class B, OpCode K>
[[gnu::always_inline]] inline void binary(float* __restrict d, const void* a, const void* b, float sa, float sb,
                                          std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    const auto* __restrict pb = static_cast<const typename B::T*>(b);
    for (std::size_t i = 0; i < n; ++i) d[i] = apply_binary<K>(A::load(pa, sa, d, i), B::load(pb, sb, d, i));
}

template <class A, OpCode K>
[[gnu::always_inline]] inline void unary(float* __restrict d, const void* a, float sa, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    for (std::size_t i = 0; i < n; ++i) d[i] = apply_unary<K>(A::load(pa, sa, d, i));
}

template <class A>
[[gnu::always_inline]] inline void copy(float* __restrict d, const void* a, float sa, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    for (std::size_t i = 0; i < n; ++i) d[i] = A::load(pa, sa, d, i);
}

template <bool kLeft, class F>
RunFn with_kind(OperandKind kind, const F& f) {
    switch (kind) {
        case OperandKind::in_place:
            if constexpr (kLeft) return f(InPlace{});
            break;  // the right operand is never the run being written
        case OperandKind::floats: return f(Floats{});
        case OperandKind::samples: return f(Samples{});
        case OperandKind::constant: return f(Constant{});
    }
    return nullptr;
}

template <class F>
RunFn with_op(OpCode op, const F& f) {
    switch (op) {
#define RASTREL_OP_CASE(name, operands, probe) \
    case OpCode::name: return f(std::integral_constant<OpCode, OpCode::name>{});
        RASTREL_OPCODES(RASTREL_OP_CASE)
#undef RASTREL_OP_CASE
    }
    return nullptr;
}

// The entry point of `Entries` (one target's loops, N != 0 fixing the length at compile time)
// for `op` with operands of kinds ka and kb.
template <class Entries, std::size_t N>
RunFn pick_for_length(OpCode op, OperandKind ka, OperandKind kb) {
    return with_op(op, [&](auto k) {
        constexpr OpCode K = decltype(k)::value;
        return with_kind<true>(ka, [&](auto a) -> RunFn {
            using A = decltype(a);
            if constexpr (op_operands(K) == 0) {
                return &Entries::template copy<A, N>;
            } else if constexpr (op_operands(K) == 1) {
                return &Entries::template unary<A, K, N>;
            } else {
                return with_kind<false>(kb, [&](auto b) -> RunFn { return &Entries::template binary<A, decltype(b), K, N>; });
            }
        });
    });
}

template <class Entries>
RunFn pick(OpCode op, OperandKind a, OperandKind b, bool full) {
    return full ? pick_for_length<Entries, kRunLength>(op, a, b) : pick_for_length<Entries, 0>(op, a, b);
}

template <class F>
auto with_sample_type(SampleType type, const F& f) {
    switch (type) {
        case SampleType::u8: return f(std::uint8_t{});
        case SampleType::i8: return f(std::int8_t{});
        case SampleType::u16: return f(std::uint16_t{});
        case SampleType::i16: return f(std::int16_t{});
        case SampleType::u32: return f(std::uint32_t{});
        case SampleType::i32: return f(std::int32_t{});
        case SampleType::f32: return f(float{});
        case SampleType::f64: break;
    }
    return f(double{});
}

// The entry points of `Entries` that read bands of `type`.
template <class Entries>
ConvertFn pick_convert(SampleType type, bool scaled) {
    return with_sample_type(type, [scaled](auto t) -> ConvertFn {
        using T = decltype(t);
        return scaled ? &Entries::template convert<T, true> : &Entries::template convert<T, false>;
    });
}

template <class Entries>
CheckFn pick_nodata(SampleType type, Nodata::Kind kind) {
    return with_sample_type(type, [kind](auto t) -> CheckFn {
        using T = decltype(t);
        switch (kind) {
            case Nodata::Kind::none: break;
            case Nodata::Kind::equal: return &Entries::template nodata<T, false>;
            case Nodata::Kind::nan:
                if constexpr (std::is_floating_point_v<T>) return &Entries::template nodata<T, true>;
                break;  // integers hold no NaN
        }
        return nullptr;
    });
}

}  // namespace rastrel::block_loops
