#include "python/args.h"

#include "python/numpy_api.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace rastrel {
namespace {

[[noreturn, gnu::cold]] void too_many_positional(const FunctionDescription& function, Py_ssize_t nargs) {
    throw_error(PyExc_TypeError, std::string(function.name) + "() takes " + std::to_string(function.params.size()) +
                                     " positional arguments but " + std::to_string(nargs) +
                                     (nargs == 1 ? " was" : " were") + " given");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string parameter_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ',';
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

[[noreturn, gnu::cold]] void missing_arguments(const FunctionDescription& function, std::span<Borrowed> slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!slots[i]) missing.push_back(function.params[i]);
    }
    throw_error(PyExc_TypeError, std::string(function.name) + "() missing " + std::to_string(missing.size()) +
                                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                                     ": " + parameter_list(missing));
}

// Built as a Python string: the keyword's str() need not be encodable as UTF-8.
[[noreturn, gnu::cold]] void unexpected_keyword(const FunctionDescription& function, PyObject* keyword) {
    Ref text = Ref::steal(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", function.name, keyword));
    if (!text) throw_pending();
    throw Error::lazy(PyExc_TypeError, std::move(text));
}

// Index of the parameter named by `keyword`, or -1. Compares the UTF-8 text byte for byte.
std::ptrdiff_t find_parameter(const FunctionDescription& function, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return -1;
    }
    std::string_view name(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < function.params.size(); ++i) {
        if (name == function.params[i]) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, std::span<Borrowed> slots) {
    const auto count = static_cast<Py_ssize_t>(slots.size());
    std::fill(slots.begin(), slots.end(), Borrowed());
    for (Py_ssize_t i = 0; i < std::min(nargs, count); ++i) slots[i] = Borrowed(args[i]);
    if (nargs > count) too_many_positional(function, nargs);

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const std::ptrdiff_t index = find_parameter(function, keyword);
            if (index < 0) unexpected_keyword(function, keyword);
            if (slots[index]) {
                throw_error(PyExc_TypeError, std::string(function.name) + "() got multiple values for argument '" +
                                                 function.params[index] + "'");
            }
            slots[index] = Borrowed(args[nargs + k]);
        }
    }
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (!slots[i]) missing_arguments(function, slots);
    }
}

float to_f32(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    // Round to nearest even; beyond the float range this gives infinities, NaN stays NaN.
    return static_cast<float>(value);
}

float extract_f32(PyObject* object, const char* parameter) {
    try {
        return to_f32(object);
    } catch (Error& error) {
        throw argument_extraction_error(parameter, std::move(error));
    }
}

std::uint64_t to_u64(PyObject* object) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = Ref::steal(PyNumber_Index(object));
        if (!index) throw_pending();
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return value;
}

std::uint64_t extract_u64(PyObject* object, const char* parameter) {
    try {
        return to_u64(object);
    } catch (Error& error) {
        throw argument_extraction_error(parameter, std::move(error));
    }
}

namespace {

// Type first, then strides: a wrong type is a TypeError under the parameter's name, strides that
// cannot be addressed in whole elements are a ValueError naming it.
Ref extract_array(PyObject* object, int type_number, std::int64_t item, const char* parameter) {
    try {
        if (!numpy::is_type_of(object, type_number)) throw conversion_error(object, "PyArray<T, D>");
    } catch (Error& error) {
        throw argument_extraction_error(parameter, std::move(error));
    }
    numpy::require_element_strides(object, item, parameter);
    return Ref::borrow(object);
}

}  // namespace

Ref extract_band(PyObject* object, const char* parameter) {
    return extract_array(object, numpy::kNpyUShort, sizeof(std::uint16_t), parameter);
}

Ref extract_output(PyObject* object, const char* parameter) {
    return extract_array(object, numpy::kNpyFloat, sizeof(float), parameter);
}

namespace {

// collect_sequence into `items`, which may hold its first few on the caller's stack.
template <class Vector>
void collect_into(PyObject* object, Vector& items) {
    // What iterating them yields, read in place: no iterator object per call. Nothing here runs
    // Python code, so the list cannot change meanwhile. Both are sequences and neither is a str,
    // so they come before those tests: on PyPy the sequence test is a call into the interpreter,
    // as is every read of a list, while a tuple's items are read from its memory.
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(object);
        items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Ref::borrow(PyTuple_GET_ITEM(object, i)));
        return;
    }
    if (PyList_CheckExact(object)) {
        const Py_ssize_t n = PyList_GET_SIZE(object);
        items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Ref::borrow(PyList_GET_ITEM(object, i)));
        return;
    }
    if (PyUnicode_Check(object)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw conversion_error(object, "Sequence");
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // The length is only a hint (a __len__ may claim any number): room for at most this many
    // items is made up front, and the vector grows with what the iteration really yields.
    constexpr Py_ssize_t kMostReservedUpFront = 4096;
    items.reserve(static_cast<std::size_t>(std::min(hint, kMostReservedUpFront)));
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) throw_pending();
    while (PyObject* item = PyIter_Next(iterator.get())) items.push_back(Ref::steal(item));
    if (PyErr_Occurred()) throw_pending();
}

}  // namespace

// Every item's type is checked before any item's strides, as one conversion of the whole list.
void extract_band_list(PyObject* object, const char* parameter, BandRefs& items) {
    try {
        collect_into(object, items);
        for (const Ref& item : items) {
            if (!numpy::is_type_of(item.get(), numpy::kNpyUShort)) throw conversion_error(item.get(), "PyArray<T, D>");
        }
    } catch (Error& error) {
        throw argument_extraction_error(parameter, std::move(error));
    }
    for (const Ref& item : items) numpy::require_element_strides(item.get(), sizeof(std::uint16_t), parameter);
}

std::vector<Ref> collect_sequence(PyObject* object) {
    std::vector<Ref> items;
    collect_into(object, items);
    return items;
}

}  // namespace rastrel
