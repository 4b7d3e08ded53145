#pragma once
// Binding of fast-call arguments to named parameters, and the conversions of each kind of
// parameter, with the messages users see.
#include <cstdint>
#include <span>
#include <vector>

#include "python/errors.h"
#include "python/inline_vector.h"
#include "python/python.h"
#include "python/ref.h"

namespace rastrel {

struct FunctionDescription {
    const char* name;                      // as shown in messages, followed by "()"
    std::span<const char* const> params;   // every one positional-or-keyword and required
};

// Fills `slots` (one per parameter, lent by the caller's argument vector) or throws the binding
// TypeError. Interpreter lock held.
void extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<Borrowed> slots);

// The conversions, one per kind of parameter. Each throws the argument error naming `parameter`.
float extract_f32(PyObject* object, const char* parameter);
std::uint64_t extract_u64(PyObject* object, const char* parameter);
// A 2-D uint16 array (a band) or a 2-D float32 array (an output), addressable in whole elements.
// The result holds the call's own reference for the length of the call.
Ref extract_band(PyObject* object, const char* parameter);
Ref extract_output(PyObject* object, const char* parameter);
// A sequence (not a str) of bands, in order, into `bands` (empty on entry).
inline constexpr std::size_t kBandsInPlace = 8;
using BandRefs = InlineVector<Ref, kBandsInPlace>;
void extract_band_list(PyObject* object, const char* parameter, BandRefs& bands);

// An int (or subclass) directly, anything else through its index conversion. Throws the
// interpreter's own exception unchanged.
std::uint64_t to_u64(PyObject* object);
// The interpreter's float conversion, rounded to the nearest float32; its exception unchanged.
float to_f32(PyObject* object);

// Collects a sequence that is not a str into new references, front to back. Throws unprefixed
// errors; callers wrap them with argument_extraction_error.
std::vector<Ref> collect_sequence(PyObject* object);

}  // namespace rastrel
