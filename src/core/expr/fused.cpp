#include "core/expr/fused.h"

#include <array>
#include <utility>

namespace rastrel {

namespace {

// The most steps of a shape (the enhanced vegetation index has eight).
constexpr std::size_t kMaxSteps = 12;

// The program as a tree: each step's value is a node, its operands are nodes or leaves.
struct Node {
    OpCode op;  // push_band and push_scalar for leaves
    std::uint32_t band = 0;
    float value = 0.0f;
    int a = -1, b = -1;
};

class Tree {
public:
    // Builds the tree of `program`, or leaves it empty when some step is not a binary one or
    // some step's value does not reach the result (neither happens in the shapes).
    explicit Tree(const RegisterProgram& program) {
        int regs[kStackSlots];
        for (int& r : regs) r = -1;
        int root = -1;
        for (const RegisterStep& step : program.steps) {
            const int a = op_operands(step.op) == 2 ? operand(step.a, regs) : -1;
            const int b = a < 0 ? -1 : operand(step.b, regs);
            if (b < 0) {
                count_ = 0;
                return;
            }
            const int made = add({step.op, 0, 0.0f, a, b});
            if (step.dst == kOutputRegister) {
                root = made;
            } else {
                regs[step.dst] = made;
            }
        }
        if (root < 0 || inner_below(root) != program.steps.size()) count_ = 0;
        root_ = root;
    }

    bool empty() const { return count_ == 0; }
    int root() const { return root_; }
    const Node& at(int n) const { return nodes_[static_cast<std::size_t>(n)]; }

    bool is(int n, OpCode op) const { return n >= 0 && at(n).op == op; }
    bool band(int n, std::uint32_t& position) const {
        if (!is(n, OpCode::push_band)) return false;
        position = at(n).band;
        return true;
    }
    bool band_is(int n, std::uint32_t position) const { return is(n, OpCode::push_band) && at(n).band == position; }
    bool constant(int n, float& value) const {
        if (!is(n, OpCode::push_scalar)) return false;
        value = at(n).value;
        return true;
    }

private:
    int operand(const Operand& x, const int* regs) {
        switch (x.kind) {
            case Operand::Kind::band: return add({OpCode::push_band, x.index, 0.0f, -1, -1});
            case Operand::Kind::scalar: return add({OpCode::push_scalar, 0, x.value, -1, -1});
            case Operand::Kind::reg: break;
        }
        return x.index < kStackSlots ? regs[x.index] : -1;
    }

    int add(const Node& node) {
        nodes_[count_] = node;
        return static_cast<int>(count_++);
    }

    std::size_t inner_below(int n) const {
        const Node& node = at(n);
        if (node.a < 0) return 0;
        return 1 + inner_below(node.a) + inner_below(node.b);
    }

    // Each step makes a node, and two more at most for its leaves; match_fused takes up to
    // kMaxSteps steps.
    std::array<Node, 3 * kMaxSteps> nodes_{};
    std::size_t count_ = 0;
    int root_ = -1;
};

// The operands of node n, an `op` node: (left, right) as written, or swapped when `want_left`
// holds of the right one and not of the left; `swapped` says which. False if n is no `op` node.
template <class Test>
bool operands(const Tree& t, int n, OpCode op, const Test& want_left, int& left, int& right, bool& swapped) {
    if (!t.is(n, op)) return false;
    left = t.at(n).a;
    right = t.at(n).b;
    swapped = !want_left(left) && want_left(right);
    if (swapped) std::swap(left, right);
    return want_left(left);
}

// (a - b) over two bands.
bool difference(const Tree& t, int n, std::uint32_t& a, std::uint32_t& b) {
    return t.is(n, OpCode::sub) && t.band(t.at(n).a, a) && t.band(t.at(n).b, b);
}

// (a + b) or (b + a); `swapped` for the latter.
bool sum(const Tree& t, int n, std::uint32_t a, std::uint32_t b, bool& swapped) {
    if (!t.is(n, OpCode::add)) return false;
    const int x = t.at(n).a, y = t.at(n).b;
    swapped = false;
    if (t.band_is(x, a) && t.band_is(y, b)) return true;
    swapped = true;
    return t.band_is(x, b) && t.band_is(y, a);
}

std::uint32_t bit(bool set, unsigned k) { return set ? std::uint32_t{1} << k : 0; }

std::optional<FusedFormula> normalized_difference(const Tree& t) {
    const int r = t.root();
    if (!t.is(r, OpCode::div)) return std::nullopt;
    FusedFormula f{FusedShape::normalized_difference, {}, {}, 0};
    bool swapped = false;
    if (!difference(t, t.at(r).a, f.bands[0], f.bands[1]) || !sum(t, t.at(r).b, f.bands[0], f.bands[1], swapped))
        return std::nullopt;
    f.swaps = bit(swapped, 0);
    return f;
}

std::optional<FusedFormula> ratio(const Tree& t) {
    const int r = t.root();
    FusedFormula f{FusedShape::ratio, {}, {}, 0};
    if (!t.is(r, OpCode::div) || !t.band(t.at(r).a, f.bands[0]) || !t.band(t.at(r).b, f.bands[1])) return std::nullopt;
    return f;
}

std::optional<FusedFormula> adjusted_difference(const Tree& t) {
    FusedFormula f{FusedShape::adjusted_difference, {}, {}, 0};
    const auto is_constant = [&t](int n) { return t.is(n, OpCode::push_scalar); };
    const auto not_constant = [&t](int n) { return !t.is(n, OpCode::push_scalar); };
    int factor = -1, quotient = -1, total = -1, l = -1;
    bool outer = false, plus_l = false, inner = false;
    // f * q, and (a + b) + l
    if (!operands(t, t.root(), OpCode::mul, is_constant, factor, quotient, outer) || !t.is(quotient, OpCode::div))
        return std::nullopt;
    if (!difference(t, t.at(quotient).a, f.bands[0], f.bands[1]) ||
        !operands(t, t.at(quotient).b, OpCode::add, not_constant, total, l, plus_l) ||
        !sum(t, total, f.bands[0], f.bands[1], inner) || !t.constant(l, f.constants[1]))
        return std::nullopt;
    t.constant(factor, f.constants[0]);
    f.swaps = bit(inner, 0) | bit(plus_l, 1) | bit(outer, 2);
    return f;
}

// c * band, or band * c (`swapped`).
bool product(const Tree& t, int n, float& c, std::uint32_t& band, bool& swapped) {
    int x = -1, y = -1;
    const auto is_constant = [&t](int m) { return t.is(m, OpCode::push_scalar); };
    return operands(t, n, OpCode::mul, is_constant, x, y, swapped) && t.constant(x, c) && t.band(y, band);
}

std::optional<FusedFormula> evi(const Tree& t) {
    FusedFormula f{FusedShape::evi, {}, {}, 0};
    const auto is_constant = [&t](int n) { return t.is(n, OpCode::push_scalar); };
    const auto not_constant = [&t](int n) { return !t.is(n, OpCode::push_scalar); };
    int g = -1, quotient = -1, e = -1, l = -1, n_node = -1, p = -1;
    bool s_g = false, s_l = false, s_n = false, s_c1 = false, s_c2 = false;
    // g * q, q = (n - r) / (e + l), e = (n + c1 * r) - c2 * b
    if (!operands(t, t.root(), OpCode::mul, is_constant, g, quotient, s_g) || !t.is(quotient, OpCode::div) ||
        !difference(t, t.at(quotient).a, f.bands[0], f.bands[1]) ||
        !operands(t, t.at(quotient).b, OpCode::add, not_constant, e, l, s_l) || !t.constant(l, f.constants[3]) ||
        !t.is(e, OpCode::sub))
        return std::nullopt;
    const std::uint32_t n = f.bands[0];
    const auto is_n = [&t, n](int m) { return t.band_is(m, n); };
    std::uint32_t r = 0;
    if (!operands(t, t.at(e).a, OpCode::add, is_n, n_node, p, s_n) || !product(t, p, f.constants[1], r, s_c1) ||
        r != f.bands[1] || !product(t, t.at(e).b, f.constants[2], f.bands[2], s_c2))
        return std::nullopt;
    t.constant(g, f.constants[0]);
    f.swaps = bit(s_c1, 0) | bit(s_n, 1) | bit(s_c2, 2) | bit(s_l, 3) | bit(s_g, 4);
    return f;
}

}  // namespace

std::optional<FusedFormula> match_fused(const RegisterProgram& program) {
    if (program.steps.size() > kMaxSteps) return std::nullopt;
    const Tree tree(program);
    if (tree.empty()) return std::nullopt;
    for (const auto match : {normalized_difference, ratio, adjusted_difference, evi}) {
        if (auto found = match(tree)) return found;
    }
    return std::nullopt;
}

}  // namespace rastrel
