#include "python/executor.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "python/borrow.h"
#include "python/numpy_api.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/gil.h"
#include "core/expr/block_evaluator.h"
#include "python/compiled_expr.h"

namespace rastrel::expr {
namespace {

// One unit of the object's shared-use counter for the length of a call.
class SharedUse {
public:
    explicit SharedUse(CompiledExprObject* object) noexcept : object_(object) {
        std::size_t seen = object_->users.load(std::memory_order_relaxed);
        while (!object_->users.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel)) {
        }
    }
    ~SharedUse() { object_->users.fetch_sub(1, std::memory_order_acq_rel); }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

private:
    CompiledExprObject* object_;
};

// Shared borrows of the bands, released in list order when the call ends (after the output's,
// which is declared later and so released first).
class BandBorrows {
public:
    explicit BandBorrows(const std::vector<Ref>& bands) {
        held_.reserve(bands.size());
        for (const Ref& band : bands) held_.emplace_back(borrow::readonly(band.get()));
    }
    ~BandBorrows() {
        for (auto& band : held_) band.reset();
    }
    BandBorrows(const BandBorrows&) = delete;
    BandBorrows& operator=(const BandBorrows&) = delete;

private:
    std::vector<std::optional<borrow::PyReadonlyArray>> held_;
};

std::vector<Ref> extract_bands(PyObject* bands) {
    std::vector<Ref> items;
    try {
        items = collect_sequence(bands);
        for (const Ref& item : items) {
            if (!numpy::is_type_of(item.get(), numpy::kNpyUShort)) throw conversion_error(item.get(), "PyArray<T, D>");
        }
    } catch (Error& error) {
        throw argument_extraction_error("bands", std::move(error));
    }
    for (const Ref& item : items) numpy::require_element_strides(item.get(), sizeof(std::uint16_t), "bands");
    return items;
}

}  // namespace

void execute(PyObject* expr_arg, PyObject* bands_arg, PyObject* out_arg) {
    if (!is_compiled_expr(expr_arg)) throw argument_extraction_error("expr", conversion_error(expr_arg, "CompiledExpr"));
    const Ref expr = Ref::borrow(expr_arg);
    const std::vector<Ref> bands = extract_bands(bands_arg);
    try {
        if (!numpy::is_type_of(out_arg, numpy::kNpyFloat)) throw conversion_error(out_arg, "PyArray<T, D>");
    } catch (Error& error) {
        throw argument_extraction_error("out_buffer", std::move(error));
    }
    numpy::require_element_strides(out_arg, sizeof(float), "out_buffer");
    const Ref out = Ref::borrow(out_arg);

    auto* object = reinterpret_cast<CompiledExprObject*>(expr.get());
    const SharedUse in_use(object);
    if (static_cast<std::uint64_t>(bands.size()) != object->num_bands) {
        throw_error(PyExc_ValueError, "Band count mismatch.");
    }

    const BandBorrows shared(bands);
    const borrow::PyReadwriteArray exclusive = borrow::readwrite(out.get());

    std::vector<BandView> views;
    views.reserve(bands.size());
    for (const Ref& band : bands) views.push_back(numpy::band_view(band.get()));
    const OutputView out_view = numpy::output_view(out.get());
    // The workers read this copy, never the Python object.
    const std::vector<Instruction> program(object->program().begin(), object->program().end());

    // A program that would fault is refused before anything is written; the borrows and
    // references above are released on the way out whichever way the call ends.
    const AllowThreads unlocked;
    evaluate_blocks(program, views, out_view);
}

}  // namespace rastrel::expr
