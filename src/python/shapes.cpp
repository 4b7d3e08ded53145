#include "python/shapes.h"

#include <string>

#include "python/errors.h"
#include "python/numpy_api.h"

namespace rastrel {
namespace {

std::string shape_text(const numpy::ArrayObject* array) {
    std::string text = "[";
    for (int axis = 0; axis < array->nd; ++axis) {
        if (axis) text += ", ";
        text += std::to_string(array->dimensions[axis]);
    }
    return text + "]";
}

bool same_shape(const numpy::ArrayObject* a, const numpy::ArrayObject* b) {
    if (a->nd != b->nd) return false;
    for (int axis = 0; axis < a->nd; ++axis) {
        if (a->dimensions[axis] != b->dimensions[axis]) return false;
    }
    return true;
}

}  // namespace

void check_shapes(std::initializer_list<PyObject*> arrays) {
    const numpy::ArrayObject* reference = numpy::as_array(*arrays.begin());
    std::size_t index = 0;
    for (PyObject* object : arrays) {
        const numpy::ArrayObject* array = numpy::as_array(object);
        if (index > 0 && !same_shape(reference, array)) {
            throw_error(PyExc_ValueError, "Shape mismatch at index " + std::to_string(index) + ": expected " +
                                              shape_text(reference) + ", got " + shape_text(array));
        }
        ++index;
    }
}

}  // namespace rastrel
