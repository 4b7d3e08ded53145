#pragma once
#include "python/python.h"

namespace rastrel::expr {

// The private entry _execute_bands_inplace(expr, bands, reads, masks, fill, out_buffer) after
// binding: evaluates `expr` for every pixel of out_buffer over bands of any of the eight band
// types, each read as float32(sample) * scale + offset (reads[k] = (scale, offset, nodata or
// None)), and writes `fill` where a band's raw sample equals its nodata or a mask is True.
// Converts its arguments in parameter order; interpreter lock held on entry and exit, released
// for the loop.
void execute_bands(PyObject* expr, PyObject* bands, PyObject* reads, PyObject* masks, PyObject* fill,
                   PyObject* out_buffer);

}  // namespace rastrel::expr
