#include "core/expr/register_program.h"

#include <array>
#include <unordered_map>

#include "core/expr/evaluator.h"

namespace rastrel {

namespace {

// The stack evaluator's own arithmetic, so that a constant folded here is the value every pixel
// would have computed.
float fold(OpCode op, float a, float b) {
    switch (op) {
        case OpCode::add: return apply_binary<OpCode::add>(a, b);
        case OpCode::sub: return apply_binary<OpCode::sub>(a, b);
        case OpCode::mul: return apply_binary<OpCode::mul>(a, b);
        case OpCode::div: return apply_binary<OpCode::div>(a, b);
        case OpCode::pow: return apply_binary<OpCode::pow>(a, b);
        case OpCode::neg: return apply_unary<OpCode::neg>(a);
        case OpCode::abs: return apply_unary<OpCode::abs>(a);
        case OpCode::sqrt: return apply_unary<OpCode::sqrt>(a);
        case OpCode::push_band:
        case OpCode::push_scalar: break;
    }
    return a;
}

// While lowering, a band operand names a position in `numbers` (every band pushed); afterwards
// only the bands that surviving steps read keep a position, in order of first use.
void compact_bands(RegisterProgram& out, const std::vector<std::uint64_t>& numbers) {
    constexpr std::uint32_t kNone = ~std::uint32_t{0};
    std::vector<std::uint32_t> position(numbers.size(), kNone);
    const auto renumber = [&](Operand& operand) {
        if (operand.kind != Operand::Kind::band) return;
        std::uint32_t& at = position[operand.index];
        if (at == kNone) {
            at = static_cast<std::uint32_t>(out.bands.size());
            out.bands.push_back(numbers[operand.index]);
        }
        operand.index = at;
    };
    for (RegisterStep& step : out.steps) {
        renumber(step.a);
        if (op_operands(step.op) == 2) renumber(step.b);
    }
}

// The position of each band number in order of first push. Formulas read a few bands, found
// faster by looking through them than by hashing (lowering runs on every call); a program that
// pushes many distinct bands gets a map.
class FirstPushes {
public:
    std::uint32_t position_of(std::uint64_t band) {
        if (map_.empty()) {
            for (std::size_t k = 0; k < numbers.size(); ++k) {
                if (numbers[k] == band) return static_cast<std::uint32_t>(k);
            }
            if (numbers.size() < kLinear) return add(band);
            for (std::size_t k = 0; k < numbers.size(); ++k) map_.emplace(numbers[k], static_cast<std::uint32_t>(k));
        }
        const auto [it, fresh] = map_.try_emplace(band, static_cast<std::uint32_t>(numbers.size()));
        if (fresh) numbers.push_back(band);
        return it->second;
    }

    std::vector<std::uint64_t> numbers;  // band numbers in order of first push

private:
    static constexpr std::size_t kLinear = 32;

    std::uint32_t add(std::uint64_t band) {
        numbers.push_back(band);
        return static_cast<std::uint32_t>(numbers.size() - 1);
    }

    std::unordered_map<std::uint64_t, std::uint32_t> map_;
};

}  // namespace

RegisterProgram lower(std::span<const Instruction> prog) {
    RegisterProgram out;
    FirstPushes pushes;
    std::array<Operand, kStackSlots> slots{};
    std::size_t n = 0;
    std::size_t slot0_writer = 0;  // number of steps up to and including the last write of slot 0

    out.steps.reserve(prog.size());
    const auto emit = [&](const RegisterStep& step) {
        out.steps.push_back(step);
        if (step.dst == 0) slot0_writer = out.steps.size();
    };
    for (const Instruction& ins : prog) {
        switch (op_operands(ins.kind)) {
            case 0: {
                if (ins.kind == OpCode::push_scalar) {
                    slots[n] = Operand::scalar(ins.scalar);
                } else {
                    slots[n] = Operand::band(pushes.position_of(ins.band));
                }
                ++n;
                break;
            }
            case 1: {
                Operand& x = slots[n - 1];
                if (x.kind == Operand::Kind::scalar) {
                    x.value = fold(ins.kind, x.value, 0.0f);
                } else {
                    emit({ins.kind, static_cast<std::uint8_t>(n - 1), x, {}});
                    x = Operand::reg(static_cast<std::uint32_t>(n - 1));
                }
                break;
            }
            default: {
                Operand& a = slots[n - 2];
                const Operand& b = slots[n - 1];
                if (a.kind == Operand::Kind::scalar && b.kind == Operand::Kind::scalar) {
                    a.value = fold(ins.kind, a.value, b.value);
                } else {
                    emit({ins.kind, static_cast<std::uint8_t>(n - 2), a, b});
                    a = Operand::reg(static_cast<std::uint32_t>(n - 2));
                }
                --n;
                break;
            }
        }
    }

    // Nothing after the last write of slot 0 reaches the result.
    const Operand result = n == 0 ? Operand::scalar(0.0f) : slots[0];
    if (result.kind == Operand::Kind::reg) {
        out.steps.resize(slot0_writer);
        out.steps.back().dst = kOutputRegister;
    } else {
        out.steps.clear();
        out.steps.push_back({result.kind == Operand::Kind::band ? OpCode::push_band : OpCode::push_scalar,
                             kOutputRegister, result, {}});
    }
    compact_bands(out, pushes.numbers);
    return out;
}

}  // namespace rastrel
