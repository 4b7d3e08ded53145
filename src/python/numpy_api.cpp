#include "python/numpy_api.h"

#include <sys/mman.h>

#include <cstdint>
#include <optional>

#include "core/fault.h"
#include "python/errors.h"

namespace rastrel::numpy {
namespace {

// Descriptor layouts. NumPy 2 widened the flags and the element size.
struct DescrV1 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
    int alignment;
};

struct DescrV2 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    std::int64_t elsize;
    std::int64_t alignment;
};

// Indices into the C-API table (the same in NumPy 1.x and 2.x).
constexpr int kArrayType = 2;
constexpr int kDescrFromType = 45;
constexpr int kEquivTypes = 182;
constexpr int kZeros = 183;
constexpr int kFeatureVersion = 211;
constexpr unsigned kFirstNumpy2FeatureVersion = 0x12;

using DescrFromTypeFn = PyObject* (*)(int);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using ZerosFn = PyObject* (*)(int, npy_intp*, PyObject*, int);
using FeatureVersionFn = unsigned (*)();

// Process-wide, filled at most once each, guarded by the interpreter lock. The capsule holding
// the table is never released, so the table stays valid.
std::optional<std::string> g_core_name;
std::optional<std::string> g_multiarray_name;
void** g_api = nullptr;
std::optional<unsigned> g_feature_version;

Ref import(const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) throw_pending();
    Ref module = Ref::steal(PyImport_Import(text.get()));
    if (!module) throw_pending();
    return module;
}

Ref attribute(PyObject* object, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) throw_pending();
    return value;
}

const std::string& core_name() {
    if (!g_core_name) {
        Ref numpy = import("numpy");
        Ref version = attribute(numpy.get(), "__version__");
        Ref lib = import("numpy.lib");
        Ref parser = attribute(lib.get(), "NumpyVersion");
        Ref parsed = Ref::steal(PyObject_CallFunctionObjArgs(parser.get(), version.get(), nullptr));
        if (!parsed) throw_pending();
        Ref major = attribute(parsed.get(), "major");
        const long value = PyLong_AsLong(major.get());
        if (value == -1 && PyErr_Occurred()) throw_pending();
        if (value < 0 || value > 255) throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
        g_core_name = value >= 2 ? "numpy._core" : "numpy.core";
    }
    return *g_core_name;
}

const std::string& multiarray_name() {
    if (!g_multiarray_name) g_multiarray_name = core_name() + ".multiarray";
    return *g_multiarray_name;
}

void** fetch_api() {
    Ref module = import(multiarray_name().c_str());
    Ref capsule = attribute(module.get(), "_ARRAY_API");
    if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) throw conversion_error(capsule.get(), "PyCapsule");
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred()) throw_pending();
    void* table = PyCapsule_GetPointer(capsule.get(), name);
    if (table == nullptr) throw_pending();
    (void)capsule.release();  // kept for the life of the process
    return static_cast<void**>(table);
}

[[gnu::cold, gnu::noinline]] void** load_api() {
    try {
        g_api = fetch_api();
        return g_api;
    } catch (Error& error) {
        raise_fault("Failed to access NumPy array API capsule: " + error.render());
    }
}

inline void** api() { return g_api != nullptr ? g_api : load_api(); }

unsigned feature_version() {
    if (!g_feature_version) g_feature_version = reinterpret_cast<FeatureVersionFn>(api()[kFeatureVersion])();
    return *g_feature_version;
}

// Type numbers whose C types have the widths of this machine's (x86-64 Linux: long is 64-bit).
constexpr int kNpyBool = 0;
constexpr int kNpyDouble = 12;
constexpr int kNpyLastInteger = 10;  // NPY_ULONGLONG; odd numbers from NPY_BYTE on are signed

// The built-in dtype of a type number up to NPY_DOUBLE, borrowed. NumPy keeps one object per
// built-in type for the life of the process; holding a reference to it here spares every band
// of every call a call into NumPy and a reference to drop. Guarded by the interpreter lock.
PyObject* builtin_descr(int type_number) {
    static PyObject* known[kNpyDouble + 1] = {};
    PyObject*& slot = known[type_number];
    if (slot == nullptr) slot = check_api(reinterpret_cast<DescrFromTypeFn>(api()[kDescrFromType])(type_number));
    return slot;
}

template <class T>
View2D<T> make_view(PyObject* object, npy_intp size = sizeof(T)) {
    const ArrayObject* array = as_array(object);
    char* p = array->data;
    npy_intp element_strides[2];
    for (int axis = 0; axis < 2; ++axis) {
        const npy_intp t = array->strides[axis];
        const npy_intp n = array->dimensions[axis];
        if (t >= 0) {
            element_strides[axis] = t / size;
        } else {
            // Walk to the axis's last element and flip it back, so that the element stride keeps
            // the sign of the byte stride.
            p += t * (n - 1);
            const npy_intp e = -t / size;
            if (n > 0) p += (n - 1) * e * size;
            element_strides[axis] = -e;
        }
    }
    return View2D<T>{reinterpret_cast<T*>(p), static_cast<std::size_t>(array->dimensions[0]),
                     static_cast<std::size_t>(array->dimensions[1]), element_strides[0], element_strides[1]};
}

}  // namespace

const std::string& multiarray_module_name() {
    if (!g_multiarray_name) api();
    return *g_multiarray_name;
}

bool is_array(PyObject* object) {
    auto* array_type = static_cast<PyTypeObject*>(api()[kArrayType]);
    return Py_TYPE(object) == array_type || PyType_IsSubtype(Py_TYPE(object), array_type);
}

bool is_type_of(PyObject* object, int type_number) {
    if (!is_array(object) || as_array(object)->nd != 2) return false;
    PyObject* have = as_array(object)->descr;
    PyObject* want = builtin_descr(type_number);
    return have == want || reinterpret_cast<EquivTypesFn>(api()[kEquivTypes])(have, want) != 0;
}

std::int64_t item_size(PyObject* descr) {
    if (feature_version() >= kFirstNumpy2FeatureVersion) return reinterpret_cast<DescrV2*>(descr)->elsize;
    return reinterpret_cast<DescrV1*>(descr)->elsize;
}

int type_number(PyObject* descr) {
    if (feature_version() >= kFirstNumpy2FeatureVersion) return reinterpret_cast<DescrV2*>(descr)->type_num;
    return reinterpret_cast<DescrV1*>(descr)->type_num;
}

namespace {

std::optional<SampleType> integer_type(bool is_signed, std::int64_t size) {
    switch (size) {
        case 1: return is_signed ? SampleType::i8 : SampleType::u8;
        case 2: return is_signed ? SampleType::i16 : SampleType::u16;
        case 4: return is_signed ? SampleType::i32 : SampleType::u32;
        default: break;
    }
    return std::nullopt;
}

// The band type a type number and item size name, before the byte order is looked at.
std::optional<SampleType> band_type(int number, std::int64_t size) {
    if (number == kNpyFloat) return size == 4 ? std::optional(SampleType::f32) : std::nullopt;
    if (number == kNpyDouble) return size == 8 ? std::optional(SampleType::f64) : std::nullopt;
    if (number < 1 || number > kNpyLastInteger) return std::nullopt;
    return integer_type(number % 2 == 1, size);
}

// The dtype is its type number's own: native byte order, no fields. A swapped dtype keeps the
// type number, so only this tells them apart.
bool is_native(PyObject* descr, int number) {
    PyObject* want = builtin_descr(number);
    return descr == want || reinterpret_cast<EquivTypesFn>(api()[kEquivTypes])(descr, want) != 0;
}

}  // namespace

std::optional<SampleType> sample_type_of(PyObject* object) {
    if (!is_array(object) || as_array(object)->nd != 2) return std::nullopt;
    PyObject* descr = as_array(object)->descr;
    const int number = type_number(descr);
    const auto type = band_type(number, item_size(descr));
    if (!type || !is_native(descr, number)) return std::nullopt;
    return type;
}

bool is_bool_2d(PyObject* object) { return is_type_of(object, kNpyBool); }

void require_element_strides(PyObject* object, std::int64_t size, const char* parameter) {
    const ArrayObject* array = as_array(object);
    bool whole = true;
    for (int axis = 0; axis < array->nd; ++axis) {
        if (array->dimensions[axis] > 1 && array->strides[axis] % size != 0) whole = false;
    }
    if (whole) return;
    std::string strides;
    for (int axis = 0; axis < array->nd; ++axis) {
        strides += (axis ? ", " : "") + std::to_string(array->strides[axis]);
    }
    throw_error(PyExc_ValueError, std::string("argument '") + parameter + "': array strides (" + strides +
                                      ") are not multiples of its item size (" + std::to_string(size) +
                                      "); pass a copy, for example numpy.ascontiguousarray(...)");
}

BandView band_view(PyObject* array) { return make_view<const std::uint16_t>(array); }

OutputView output_view(PyObject* array) { return make_view<float>(array); }

SampleView sample_view(PyObject* array, SampleType type) {
    const auto v = make_view<const char>(array, static_cast<npy_intp>(sample_size(type)));
    return {v.data, v.rows, v.cols, v.row_stride, v.col_stride, type};
}

MaskView mask_view(PyObject* array) { return make_view<const std::uint8_t>(array); }

namespace {

// A large new array comes as fresh pages, which the kernel maps and zeroes as the loop first
// touches them: most of what filling it costs. In 2 MiB pages that is about twice as fast as in
// 4 KiB ones. NumPy 2 asks for them for its large allocations, NumPy 1 not for zero-filled ones;
// the request covers what lies between the data's first and last 2 MiB boundaries, which belongs
// to this array alone. A refusal changes nothing but the speed.
void prefer_huge_pages(const ArrayObject* array, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const auto start = reinterpret_cast<std::uintptr_t>(array->data);
    const std::uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

Ref new_float32_zeros(npy_intp rows, npy_intp cols) {
    npy_intp dims[2] = {rows, cols};
    // The call takes over a reference to the descriptor.
    PyObject* descr = builtin_descr(kNpyFloat);
    Py_INCREF(descr);
    Ref array = Ref::steal(check_api(reinterpret_cast<ZerosFn>(api()[kZeros])(2, dims, descr, 0)));
    prefer_huge_pages(as_array(array.get()), static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * sizeof(float));
    return array;
}

}  // namespace rastrel::numpy
