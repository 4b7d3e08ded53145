"""Shared helpers: float32 references, bit-exact comparison and memory layouts of 2-D arrays."""
import os
import platform

import numpy as np
import pytest

IS_PYPY = platform.python_implementation() == "PyPy"


def cpython_only(reason):
    return pytest.mark.skipif(IS_PYPY, reason=reason)


# Set by the test script for its run under AddressSanitizer, whose quarantine of freed memory and
# shadow memory make resident-memory bounds meaningless.
UNDER_SANITIZER = bool(os.environ.get("RASTREL_UNDER_SANITIZER"))


def not_under_sanitizer(reason):
    return pytest.mark.skipif(UNDER_SANITIZER, reason=reason)


# The division guard: the float32 nearest to 1e-10.
DENOM_EPSILON = np.float32(1e-10)
assert DENOM_EPSILON.view(np.uint32) == 0x2EDBE6FF


# ---------------------------------------------------------------------------------------------
# References: each operation on its own in float32, in the order the module defines.


def _f32(*arrays):
    return [np.asarray(a).astype(np.float32) for a in arrays]


def ref_normalized_difference(a, b):
    a, b = _f32(a, b)
    with np.errstate(all="ignore"):
        d = a - b
        s = a + b
        s = s + DENOM_EPSILON
        return d / s


def ref_ratio(a, b):
    a, b = _f32(a, b)
    with np.errstate(all="ignore"):
        s = b + DENOM_EPSILON
        return a / s


def ref_adjusted_difference(a, b, l):
    a, b = _f32(a, b)
    l = np.float32(l)
    with np.errstate(all="ignore"):
        factor = l + np.float32(1.0)
        d = a - b
        s = a + b
        s = s + l
        s = s + DENOM_EPSILON
        q = d / s
        return factor * q


def ref_evi(n, r, b, g, c1, c2, l):
    n, r, b = _f32(n, r, b)
    g, c1, c2, l = (np.float32(v) for v in (g, c1, c2, l))
    with np.errstate(all="ignore"):
        d = n - r
        t = c1 * r
        t = t + n
        u = c2 * b
        t = t - u
        t = t + l
        t = t + DENOM_EPSILON
        q = d / t
        return g * q


# ---------------------------------------------------------------------------------------------
# Bit-exact comparison: NaN payloads and the sign of zero count.


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def assert_bits_equal(actual, expected, any_nan=False):
    """Every pixel bit for bit; with `any_nan`, a NaN matches any NaN (for hand-written
    expectations, which cannot know the payload the hardware makes)."""
    actual = np.asarray(actual)
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32, actual.dtype
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    got, want = bits(actual), bits(expected)
    mismatch = got != want
    if any_nan:
        mismatch &= ~(np.isnan(actual) & np.isnan(expected))
    differ = np.argwhere(mismatch)
    if differ.size:
        at = tuple(differ[0])
        raise AssertionError(
            f"{len(differ)} of {got.size} pixels differ; first at {at}: "
            f"got {actual[at]!r} (0x{got[at]:08x}), want {expected[at]!r} (0x{want[at]:08x})"
        )


# ---------------------------------------------------------------------------------------------
# Layouts: the same logical 2-D array placed in memory in different ways. Each array is carved
# out of a byte buffer of its own, filled with a sentinel, so that a test can also check that
# nothing outside the array's elements was written.

SENTINEL = 0xA5

# Element strides (row, col) for a (rows, cols) array.
LAYOUTS = {
    "c": lambda r, c: (c, 1),
    "fortran": lambda r, c: (1, r),
    "reversed_rows": lambda r, c: (-c, 1),
    "reversed_cols": lambda r, c: (c, -1),
    "reversed_both": lambda r, c: (-c, -1),
    "strided": lambda r, c: (3 * c + 5, 3),
    "transposed_strided": lambda r, c: (2, 2 * r + 3),
    "reversed_fortran_strided": lambda r, c: (-2, -(2 * r + 1)),
}
# Misaligned variants start at an odd byte address; their strides stay whole elements.
MISALIGNED = ("c", "reversed_both", "strided", "fortran")
LAYOUT_NAMES = list(LAYOUTS) + [f"misaligned_{name}" for name in MISALIGNED]


def carve(shape, layout, dtype):
    """Returns (array, buffer): an array of the given layout whose elements and surroundings all
    hold the sentinel byte, and the whole byte buffer that holds it."""
    dtype = np.dtype(dtype)
    misalign = 0
    if layout.startswith("misaligned_"):
        layout, misalign = layout[len("misaligned_"):], 1
    rows, cols = shape
    item = dtype.itemsize
    strides = [s * item for s in LAYOUTS[layout](rows, cols)]
    extents = [s * (n - 1) for s, n in zip(strides, shape) if n]
    low = sum(min(0, e) for e in extents)
    high = sum(max(0, e) for e in extents)
    offset = misalign - low
    buffer = np.full(offset + high + item + 16, SENTINEL, dtype=np.uint8)
    array = np.ndarray(shape, dtype=dtype, buffer=buffer, offset=offset, strides=strides)
    assert array.size == 0 or array.flags.aligned == (misalign == 0 or item == 1)
    return array, buffer


def placed(values, layout, dtype=None):
    """Returns (array, buffer) as `carve` does, with `values` copied into the array."""
    values = np.asarray(values)
    array, buffer = carve(values.shape, layout, dtype or values.dtype)
    array[...] = values
    return array, buffer


def random_band(rng, shape):
    """uint16 samples mixing the extremes, zeros (for zero denominators) and everything else."""
    full = rng.integers(0, 65536, size=shape, dtype=np.uint16)
    small = rng.integers(0, 4, size=shape, dtype=np.uint16)
    choice = rng.integers(0, 4, size=shape)
    extremes = np.where(rng.integers(0, 2, size=shape) == 1, 65535, 0).astype(np.uint16)
    return np.select([choice == 0, choice == 1], [full, small], extremes).astype(np.uint16)
