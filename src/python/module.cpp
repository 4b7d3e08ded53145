// The module `rastrel`: its entry point, its body and the bodies of its seven functions (and of
// the private band reader).
#include <array>
#include <cstdint>
#include <string>
#include <tuple>

#include "core/fault.h"
#include "core/kernels/formulas.h"
#include "core/parallel/traversal.h"
#include "python/args.h"
#include "python/band_reader.h"
#include "python/compiled_expr.h"
#include "python/errors.h"
#include "python/executor.h"
#include "python/frame.h"
#include "python/numpy_api.h"
#include "python/panic.h"
#include "python/python.h"
#include "python/ref.h"
#include "python/trampoline.h"

namespace rastrel {
namespace {

PyObject* none() { return Ref::borrow(Py_None).release(); }

#define RASTREL_PARAMS(function, ...)                                        \
    constexpr const char* k_##function##_params[] = {__VA_ARGS__};           \
    constexpr FunctionDescription k_##function{#function, k_##function##_params}

RASTREL_PARAMS(calculate_normalized_difference_inplace, "band_a", "band_b", "out_buffer");
RASTREL_PARAMS(calculate_ratio_inplace, "band_a", "band_b", "out_buffer");
RASTREL_PARAMS(calculate_adjusted_difference_inplace, "band_a", "band_b", "l", "out_buffer");
RASTREL_PARAMS(calculate_evi_inplace, "nir", "red", "blue", "g", "c1", "c2", "l", "out_buffer");
RASTREL_PARAMS(calculate_normalized_difference, "band_a", "band_b");
RASTREL_PARAMS(compile_expr, "instructions", "num_bands");
RASTREL_PARAMS(execute_expr_inplace, "expr", "bands", "out_buffer");
RASTREL_PARAMS(_execute_bands_inplace, "expr", "bands", "reads", "masks", "fill", "out_buffer");

#undef RASTREL_PARAMS

// ---------------------------------------------------------------------------------------------
// Function bodies. Each binds, converts in parameter order, then works; locals are destroyed in
// reverse, so the output's reference goes first and the inputs' last.

template <std::size_t N>
std::array<PyObject*, N> pointers(const std::array<Ref, N>& refs) noexcept {
    std::array<PyObject*, N> out;
    for (std::size_t i = 0; i < N; ++i) out[i] = refs[i].get();
    return out;
}

// The fixed indices that write into out_buffer: N bands, then C float32 coefficients in the
// order of the Pixel's constructor, then the output.
template <const FunctionDescription& kFunction, class Pixel, std::size_t N, std::size_t C>
PyObject* band_index_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline([&] {
        const auto& params = kFunction.params;
        std::array<Borrowed, N + C + 1> slots;
        extract_arguments_fastcall(kFunction, args, nargs, kwnames, slots);
        std::array<Ref, N> bands;
        for (std::size_t i = 0; i < N; ++i) bands[i] = extract_band(slots[i].get(), params[i]);
        std::array<float, C> coefficients{};
        for (std::size_t i = 0; i < C; ++i) coefficients[i] = extract_f32(slots[N + i].get(), params[N + i]);
        const Ref out = extract_output(slots[N + C].get(), params[N + C]);
        kernels::run_kernel<N>(pointers(bands), out.get(), std::make_from_tuple<Pixel>(coefficients));
        return none();
    });
}

PyObject* calculate_normalized_difference(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline([&] {
        std::array<Borrowed, 2> slots;
        extract_arguments_fastcall(k_calculate_normalized_difference, args, nargs, kwnames, slots);
        const Ref a = extract_band(slots[0].get(), "band_a");
        const Ref b = extract_band(slots[1].get(), "band_b");
        const numpy::ArrayObject* shape = numpy::as_array(a.get());
        Ref out = numpy::new_float32_zeros(shape->dimensions[0], shape->dimensions[1]);
        kernels::run_kernel<2>({a.get(), b.get()}, out.get(), kernels::NormalizedDifference{}, kernels::Output::kNew);
        return out.release();
    });
}

PyObject* compile_expr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline([&] {
        std::array<Borrowed, 2> slots;
        extract_arguments_fastcall(k_compile_expr, args, nargs, kwnames, slots);
        return expr::compile(slots[0].get(), slots[1].get()).release();
    });
}

PyObject* execute_expr_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline([&] {
        std::array<Borrowed, 3> slots;
        extract_arguments_fastcall(k_execute_expr_inplace, args, nargs, kwnames, slots);
        expr::execute(slots[0].get(), slots[1].get(), slots[2].get());
        return none();
    });
}

// The companion package's band reader: bands of any type, scale, offset, nodata and masks.
PyObject* execute_bands_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline([&] {
        std::array<Borrowed, 6> slots;
        extract_arguments_fastcall(k__execute_bands_inplace, args, nargs, kwnames, slots);
        expr::execute_bands(slots[0].get(), slots[1].get(), slots[2].get(), slots[3].get(), slots[4].get(),
                            slots[5].get());
        return none();
    });
}

// ---------------------------------------------------------------------------------------------
// Registration.

template <auto Function>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

// In registration order. Each doc text is the interpreter's text signature and nothing more.
PyMethodDef g_functions[] = {
    {"calculate_normalized_difference_inplace",
     fastcall<band_index_inplace<k_calculate_normalized_difference_inplace, kernels::NormalizedDifference, 2, 0>>(),
     kFastcallKeywords, "calculate_normalized_difference_inplace(band_a, band_b, out_buffer)\n--\n\n"},
    {"calculate_ratio_inplace", fastcall<band_index_inplace<k_calculate_ratio_inplace, kernels::Ratio, 2, 0>>(), kFastcallKeywords,
     "calculate_ratio_inplace(band_a, band_b, out_buffer)\n--\n\n"},
    {"calculate_adjusted_difference_inplace", fastcall<band_index_inplace<k_calculate_adjusted_difference_inplace, kernels::AdjustedDifference, 2, 1>>(), kFastcallKeywords,
     "calculate_adjusted_difference_inplace(band_a, band_b, l, out_buffer)\n--\n\n"},
    {"calculate_evi_inplace", fastcall<band_index_inplace<k_calculate_evi_inplace, kernels::EnhancedVegetationIndex, 3, 4>>(), kFastcallKeywords,
     "calculate_evi_inplace(nir, red, blue, g, c1, c2, l, out_buffer)\n--\n\n"},
    {"calculate_normalized_difference", fastcall<calculate_normalized_difference>(), kFastcallKeywords,
     "calculate_normalized_difference(band_a, band_b)\n--\n\n"},
    {"compile_expr", fastcall<compile_expr>(), kFastcallKeywords, "compile_expr(instructions, num_bands)\n--\n\n"},
    {"execute_expr_inplace", fastcall<execute_expr_inplace>(), kFastcallKeywords,
     "execute_expr_inplace(expr, bands, out_buffer)\n--\n\n"},
};

// Private entry points: attributes of the module, never listed in __all__.
PyMethodDef g_private_functions[] = {
    {"_execute_bands_inplace", fastcall<execute_bands_inplace>(), kFastcallKeywords,
     "_execute_bands_inplace(expr, bands, reads, masks, fill, out_buffer)\n--\n\n"},
    {"_rebuild_panic_exception", rebuild_panic_exception, METH_O, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "rastrel",  // m_name
    "",         // m_doc: empty, not absent
    0,          // m_size
    nullptr,    // m_methods: added one by one by the module body
    nullptr,    // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // the module, once its body succeeded; never cleared

// Registers `value` as `name` and appends the name to __all__.
void add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) throw_pending();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    }
    if (!PyList_Check(all.get())) throw conversion_error(all.get(), "PyList");
    if (PyList_Append(all.get(), name) < 0) {
        raise_fault("could not append __name__ to __all__: " + Error::fetch().render());
    }
    if (PyObject_SetAttr(module, name, value) < 0) throw_pending();
}

void add_function(PyObject* module, PyObject* function) {
    Ref name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name) throw_pending();
    if (!PyUnicode_Check(name.get())) throw conversion_error(name.get(), "PyString");
    add(module, name.get(), function);
}

void add_class(PyObject* module) {
    PyObject* type = expr::compiled_expr_type();
    Ref name = Ref::steal(check_api(PyUnicode_FromString("CompiledExpr")));
    add(module, name.get(), type);
}

void module_body(PyObject* module) {
    parallel::set_up_global_pool();
    for (PyMethodDef& def : g_functions) {
        PyObject* dict = PyModule_GetDict(module);  // borrowed
        PyObject* module_name = PyDict_GetItemString(dict, "__name__");  // borrowed
        if (module_name == nullptr || !PyUnicode_Check(module_name)) {
            throw conversion_error(module_name ? module_name : Py_None, "PyString");
        }
        Ref function = Ref::steal(PyCMethod_New(&def, module, module_name, nullptr));
        if (!function) throw_pending();
        add_function(module, function.get());
    }
    add_class(module);
    for (PyMethodDef& def : g_private_functions) {
        PyObject* module_name = PyDict_GetItemString(PyModule_GetDict(module), "__name__");  // borrowed
        Ref function = Ref::steal(PyCMethod_New(&def, module, module_name, nullptr));
        if (!function) throw_pending();
        if (PyObject_SetAttrString(module, def.ml_name, function.get()) < 0) throw_pending();
    }
}

PyObject* make_module() {
    if (g_module != nullptr) return Ref::borrow(g_module).release();
    Ref module = Ref::steal(PyModule_Create2(&g_module_def, 3));
    if (!module) throw_pending();
    // PyPy shows an empty doc text as the module type's own; the module has no documentation.
    const Ref empty = Ref::steal(check_api(PyUnicode_FromString("")));
    if (PyObject_SetAttrString(module.get(), "__doc__", empty.get()) < 0) throw_pending();
    module_body(module.get());
    g_module = Ref::borrow(module.get()).release();
    return module.release();
}

}  // namespace
}  // namespace rastrel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_rastrel() noexcept {
    return rastrel::trampoline([] { return rastrel::make_module(); });
}
