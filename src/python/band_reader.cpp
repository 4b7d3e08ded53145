#include "python/band_reader.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/expr/block_evaluator.h"
#include "core/samples.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/compiled_expr.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy_api.h"
#include "python/signals.h"

namespace rastrel::expr {
namespace {

struct Band {
    Ref array;
    SampleType type;
};

[[gnu::cold]] Error unreadable_band(std::size_t k, PyObject* item) {
    if (!numpy::is_array(item) || numpy::as_array(item)->nd != 2) return conversion_error(item, "PyArray<T, D>");
    return Error::lazy(PyExc_TypeError, "band " + std::to_string(k) + " has dtype " +
                                            str_of(numpy::as_array(item)->descr) +
                                            "; bands hold uint8, int8, uint16, int16, uint32, int32, float32 or "
                                            "float64 samples in native byte order");
}

std::vector<Band> extract_bands(PyObject* object) {
    std::vector<Band> bands;
    try {
        std::vector<Ref> items = collect_sequence(object);
        for (std::size_t k = 0; k < items.size(); ++k) {
            const auto type = numpy::sample_type_of(items[k].get());
            if (!type) throw unreadable_band(k, items[k].get());
            bands.push_back({std::move(items[k]), *type});
        }
    } catch (Error& error) {
        throw argument_extraction_error("bands", std::move(error));
    }
    for (const Band& band : bands) {
        numpy::require_element_strides(band.array.get(), static_cast<std::int64_t>(sample_size(band.type)), "bands");
    }
    return bands;
}

struct Read {
    float scale, offset;
    std::optional<double> nodata;
};

Read to_read(PyObject* item) {
    const std::vector<Ref> fields = collect_sequence(item);
    if (fields.size() != 3) throw_error(PyExc_ValueError, "each read is (scale, offset, nodata or None)");
    Read read{to_f32(fields[0].get()), to_f32(fields[1].get()), std::nullopt};
    if (fields[2].get() != Py_None) {
        const double value = PyFloat_AsDouble(fields[2].get());
        if (value == -1.0 && PyErr_Occurred()) throw_pending();
        read.nodata = value;
    }
    return read;
}

std::vector<Read> extract_reads(PyObject* object) {
    std::vector<Read> reads;
    try {
        for (const Ref& item : collect_sequence(object)) reads.push_back(to_read(item.get()));
    } catch (Error& error) {
        throw argument_extraction_error("reads", std::move(error));
    }
    return reads;
}

std::vector<Ref> extract_masks(PyObject* object) {
    std::vector<Ref> masks;
    try {
        masks = collect_sequence(object);
        for (const Ref& mask : masks) {
            if (!numpy::is_bool_2d(mask.get())) throw conversion_error(mask.get(), "PyArray<bool, Ix2>");
        }
    } catch (Error& error) {
        throw argument_extraction_error("masks", std::move(error));
    }
    return masks;
}

std::string shape_text(PyObject* array) {
    const auto* a = numpy::as_array(array);
    std::string text = std::to_string(a->dimensions[0]);
    text.append(", ").append(std::to_string(a->dimensions[1]));
    return text.insert(0, 1, '(').append(1, ')');
}

// Every band and mask is read at the output's positions, so each must have its shape.
void check_shapes(const std::vector<Band>& bands, const std::vector<Ref>& masks, PyObject* out) {
    const std::string want = shape_text(out);
    const auto check = [&](const char* what, std::size_t k, PyObject* array) {
        const std::string have = shape_text(array);
        if (have != want) {
            throw_error(PyExc_ValueError, std::string(what) + " " + std::to_string(k) + " has shape " + have +
                                              ", out_buffer has " + want);
        }
    };
    for (std::size_t k = 0; k < bands.size(); ++k) check("band", k, bands[k].array.get());
    for (std::size_t k = 0; k < masks.size(); ++k) check("mask", k, masks[k].get());
}

}  // namespace

void execute_bands(PyObject* expr_arg, PyObject* bands_arg, PyObject* reads_arg, PyObject* masks_arg,
                   PyObject* fill_arg, PyObject* out_arg) {
    if (!is_compiled_expr(expr_arg))
        throw argument_extraction_error("expr", conversion_error(expr_arg, "CompiledExpr"));
    const Ref expr = Ref::borrow(expr_arg);
    const std::vector<Band> bands = extract_bands(bands_arg);
    const std::vector<Read> reads = extract_reads(reads_arg);
    const std::vector<Ref> masks = extract_masks(masks_arg);
    const float fill = extract_f32(fill_arg, "fill");
    const Ref out = extract_output(out_arg, "out_buffer");

    auto* object = reinterpret_cast<CompiledExprObject*>(expr.get());
    if (static_cast<std::uint64_t>(bands.size()) != object->num_bands)
        throw_error(PyExc_ValueError, "Band count mismatch.");
    if (reads.size() != bands.size()) throw_error(PyExc_ValueError, "one read per band is needed");
    check_shapes(bands, masks, out.get());

    std::vector<Ref> band_arrays;
    band_arrays.reserve(bands.size());
    for (const Band& band : bands) band_arrays.push_back(Ref::borrow(band.array.get()));
    const borrow::SharedBorrows shared_bands(band_arrays);
    const borrow::SharedBorrows shared_masks(masks);
    const borrow::PyReadwriteArray exclusive = borrow::readwrite(out.get());

    std::vector<BandInput> inputs;
    inputs.reserve(bands.size());
    for (std::size_t k = 0; k < bands.size(); ++k) {
        const SampleView view = numpy::sample_view(bands[k].array.get(), bands[k].type);
        const Nodata nodata = reads[k].nodata ? Nodata::of(view.type, *reads[k].nodata) : Nodata{};
        inputs.push_back({view, reads[k].scale, reads[k].offset, nodata});
    }
    std::vector<MaskView> mask_views;
    mask_views.reserve(masks.size());
    for (const Ref& mask : masks) mask_views.push_back(numpy::mask_view(mask.get()));
    const OutputView out_view = numpy::output_view(out.get());
    // The instructions are never written after the object is made, and `expr` keeps it alive
    // until the workers are done with them.
    const std::span<const Instruction> program = object->program();

    SignalWatch watch;
    {
        const AllowThreads unlocked;
        evaluate_blocks(program, inputs, mask_views, fill, out_view, block_runs(), &watch, object->prepared);
    }
    watch.raise_if_stopped();
}

}  // namespace rastrel::expr
