#include "python/executor.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/expr/block_evaluator.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/compiled_expr.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy_api.h"
#include "python/signals.h"

namespace rastrel::expr {

void execute(PyObject* expr_arg, PyObject* bands_arg, PyObject* out_arg) {
    if (!is_compiled_expr(expr_arg)) throw argument_extraction_error("expr", conversion_error(expr_arg, "CompiledExpr"));
    const Ref expr = Ref::borrow(expr_arg);
    // The references and views of a few bands on the stack: a call over a few pixels costs about
    // as much as its allocations.
    BandRefs bands;
    extract_band_list(bands_arg, "bands", bands);
    const Ref out = extract_output(out_arg, "out_buffer");

    auto* object = reinterpret_cast<CompiledExprObject*>(expr.get());
    if (static_cast<std::uint64_t>(bands.size()) != object->num_bands) {
        throw_error(PyExc_ValueError, "Band count mismatch.");
    }

    const borrow::SharedBorrows shared(bands);
    const borrow::PyReadwriteArray exclusive = borrow::readwrite(out.get());

    InlineVector<BandView, kBandsInPlace> views;
    views.reserve(bands.size());
    for (const Ref& band : bands) views.push_back(numpy::band_view(band.get()));
    const OutputView out_view = numpy::output_view(out.get());
    // The instructions are never written after the object is made, and `expr` keeps it alive
    // until the workers are done with them.
    const std::span<const Instruction> program = object->program();

    // A program that would fault is refused before anything is written; the borrows and
    // references above are released on the way out whichever way the call ends.
    SignalWatch watch;
    {
        const AllowThreads unlocked;
        evaluate_blocks(program, views, out_view, block_runs(), &watch, object->prepared);
    }
    watch.raise_if_stopped();
}

}  // namespace rastrel::expr
