#include "core/expr/block_runs.h"

#include <immintrin.h>

#include <initializer_list>
#include <type_traits>

#include "core/expr/evaluator.h"
#include "core/kernels/runs.h"

namespace rastrel {

namespace {

// Operand readers. Inlined into the loops below, so that each loop is a plain elementwise loop
// over its own operand kinds, which the compiler vectorises at the width of its target.
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
[[gnu::always_inline]] inline void binary_loop(float* __restrict d, const void* a, const void* b, float sa, float sb,
                                               std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    const auto* __restrict pb = static_cast<const typename B::T*>(b);
    for (std::size_t i = 0; i < n; ++i) d[i] = apply_binary<K>(A::load(pa, sa, d, i), B::load(pb, sb, d, i));
}

template <class A, OpCode K>
[[gnu::always_inline]] inline void unary_loop(float* __restrict d, const void* a, float sa, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    for (std::size_t i = 0; i < n; ++i) d[i] = apply_unary<K>(A::load(pa, sa, d, i));
}

template <class A>
[[gnu::always_inline]] inline void copy_loop(float* __restrict d, const void* a, float sa, std::size_t n) {
    const auto* __restrict pa = static_cast<const typename A::T*>(a);
    for (std::size_t i = 0; i < n; ++i) d[i] = A::load(pa, sa, d, i);
}

// One copy of the loops per instruction set. N != 0 fixes the length at compile time, so that a
// full run has no remainder loop; N == 0 takes it from n. The target attribute is the only
// difference between the copies.
#define RASTREL_BLOCK_COPY(Name, target_isa, stream_body)                                                    \
    struct Name {                                                                                            \
        template <class A, class B, OpCode K, std::size_t N>                                                 \
        [[gnu::target(target_isa)]] static void binary(float* __restrict d, const void* a, const void* b,   \
                                                       float sa, float sb, std::size_t n) {                 \
            binary_loop<A, B, K>(d, a, b, sa, sb, N != 0 ? N : n);                                         \
        }                                                                                                    \
        template <class A, OpCode K, std::size_t N>                                                          \
        [[gnu::target(target_isa)]] static void unary(float* __restrict d, const void* a, const void*,      \
                                                      float sa, float, std::size_t n) {                     \
            unary_loop<A, K>(d, a, sa, N != 0 ? N : n);                                                      \
        }                                                                                                    \
        template <class A, std::size_t N>                                                                    \
        [[gnu::target(target_isa)]] static void copy(float* __restrict d, const void* a, const void*,       \
                                                     float sa, float, std::size_t n) {                      \
            copy_loop<A>(d, a, sa, N != 0 ? N : n);                                                          \
        }                                                                                                    \
        [[gnu::target(target_isa)]] static void stream(float* to, const float* from, std::size_t n) {       \
            stream_body                                                                                      \
        }                                                                                                    \
    };

RASTREL_BLOCK_COPY(Sse2, "sse2",
                   for (std::size_t i = 0; i < n; i += 4) _mm_stream_ps(to + i, _mm_load_ps(from + i));)
// AVX2 alone, not FMA: with fused multiply-adds outside the instruction set none can appear.
RASTREL_BLOCK_COPY(Avx2, "avx2",
                   for (std::size_t i = 0; i < n; i += 8) _mm256_stream_ps(to + i, _mm256_load_ps(from + i));)
// Asked for 64-byte vectors explicitly: the compiler otherwise keeps to 32-byte ones.
RASTREL_BLOCK_COPY(Avx512, "avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512",
                   for (std::size_t i = 0; i < n; i += 16) _mm512_stream_ps(to + i, _mm512_load_ps(from + i));)
#undef RASTREL_BLOCK_COPY

void fence() { _mm_sfence(); }

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

template <class Copy, std::size_t N>
RunFn pick_for_length(OpCode op, OperandKind ka, OperandKind kb) {
    return with_op(op, [&](auto k) {
        constexpr OpCode K = decltype(k)::value;
        return with_kind<true>(ka, [&](auto a) -> RunFn {
            using A = decltype(a);
            if constexpr (op_operands(K) == 0) {
                return &Copy::template copy<A, N>;
            } else if constexpr (op_operands(K) == 1) {
                return &Copy::template unary<A, K, N>;
            } else {
                return with_kind<false>(kb, [&](auto b) -> RunFn { return &Copy::template binary<A, decltype(b), K, N>; });
            }
        });
    });
}

template <class Copy>
RunFn pick(OpCode op, OperandKind a, OperandKind b, bool full) {
    return full ? pick_for_length<Copy, kRunLength>(op, a, b) : pick_for_length<Copy, 0>(op, a, b);
}

const BlockRuns kSse2{"sse2", pick<Sse2>, Sse2::stream, fence};
const BlockRuns kAvx2{"avx2", pick<Avx2>, Avx2::stream, fence};
const BlockRuns kAvx512{"avx512", pick<Avx512>, Avx512::stream, fence};

bool supports(InstructionSet isa) noexcept {
    switch (isa) {
        case InstructionSet::sse2: return kernels::isa_supported(kernels::Isa::kSse2);
        case InstructionSet::avx2: return kernels::isa_supported(kernels::Isa::kAvx2);
        case InstructionSet::avx512: return kernels::isa_supported(kernels::Isa::kAvx512);
    }
    return false;
}

}  // namespace

const BlockRuns* block_runs_for(InstructionSet isa) noexcept {
    if (!supports(isa)) return nullptr;
    switch (isa) {
        case InstructionSet::sse2: return &kSse2;
        case InstructionSet::avx2: return &kAvx2;
        case InstructionSet::avx512: return &kAvx512;
    }
    return nullptr;
}

const BlockRuns& block_runs() noexcept {
    static const BlockRuns& widest = [] () -> const BlockRuns& {
        for (const InstructionSet isa : {InstructionSet::avx512, InstructionSet::avx2}) {
            if (const BlockRuns* runs = block_runs_for(isa)) return *runs;
        }
        return kSse2;
    }();
    return widest;
}

}  // namespace rastrel
