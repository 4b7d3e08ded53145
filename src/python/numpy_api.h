#pragma once
// NumPy, reached at run time through its C-API capsule; nothing here is compiled against NumPy's
// headers. The few structures the module reads are mirrored on the interpreter's own object
// header, whose size differs between CPython and PyPy.
#include <cstdint>
#include <optional>
#include <string>

#include "core/samples.h"
#include "core/views.h"
#include "python/python.h"
#include "python/ref.h"

namespace rastrel::numpy {

using npy_intp = Py_ssize_t;

// Leading fields of NumPy's array object, identical in NumPy 1 and 2.
struct ArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline constexpr int kNpyUShort = 4;
inline constexpr int kNpyFloat = 11;
inline constexpr int kArrayWriteable = 0x400;

inline ArrayObject* as_array(PyObject* object) { return reinterpret_cast<ArrayObject*>(object); }

// The multiarray module's name, "numpy._core.multiarray" under NumPy 2 and
// "numpy.core.multiarray" before. Interpreter lock held; faults if NumPy cannot be reached.
const std::string& multiarray_module_name();

// True if the object is a NumPy array (or subclass). Faults if NumPy cannot be reached.
bool is_array(PyObject* object);

// True if the object is a NumPy array of exactly two dimensions whose dtype is equivalent to
// the given type number.
bool is_type_of(PyObject* object, int type_number);

// Item size and type number of a dtype, read under the layout of the running NumPy's generation.
std::int64_t item_size(PyObject* descr);
int type_number(PyObject* descr);

// The band type of a two-dimensional array whose samples are one of the eight types bands come
// in, stored in native byte order; empty for anything else (other dtypes, other byte orders,
// other dimensions, non-arrays).
std::optional<SampleType> sample_type_of(PyObject* object);

// True for a two-dimensional array of NumPy's bool.
bool is_bool_2d(PyObject* object);

// Throws a ValueError naming `parameter` if an axis longer than one element has a byte stride
// that is not a multiple of the item size: such arrays cannot be addressed in whole elements.
void require_element_strides(PyObject* array, std::int64_t size, const char* parameter);

// Views of arrays that passed is_type_of (and require_element_strides) for their element type.
BandView band_view(PyObject* array);
OutputView output_view(PyObject* array);
SampleView sample_view(PyObject* array, SampleType type);
MaskView mask_view(PyObject* array);

// A new zero-filled, C-ordered float32 array.
Ref new_float32_zeros(npy_intp rows, npy_intp cols);

}  // namespace rastrel::numpy
