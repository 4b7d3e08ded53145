"""Helpers for the expression tests: step builders, a float32 reference evaluator, bit-exact
comparison, memory layouts and the fault exception."""
import ctypes
import platform

import numpy as np
import pytest

import rastrel

IS_PYPY = platform.python_implementation() == "PyPy"

# The float32 nearest to 1e-10, added to every divisor.
DENOM_EPSILON = np.array([0x2EDBE6FF], dtype=np.uint32).view(np.float32)[0]

BINARY_OPS = ("add", "sub", "mul", "div", "pow")
UNARY_OPS = ("neg", "abs", "sqrt")
PANIC = ("pyo3_runtime", "PanicException")


def band(index):
    return {"type": "push_band", "index": index}


def scalar(value):
    return {"type": "push_scalar", "value": value}


def ops(*names):
    return [{"type": name} for name in names]


def run(program, bands=(), shape=(2, 3), num_bands=None, fill=7.0):
    """Compiles `program` for len(bands) bands (or `num_bands`) and evaluates it into a new output
    of `shape` first filled with `fill`."""
    expr = rastrel.compile_expr(program, len(bands) if num_bands is None else num_bands)
    out = np.full(shape, fill, dtype=np.float32)
    assert rastrel.execute_expr_inplace(expr, list(bands), out) is None
    return out


def expect_panic(message, function, *args):
    """Calls function(*args), which must raise the fault exception with `message`."""
    with pytest.raises(BaseException) as excinfo:
        function(*args)
    kind = type(excinfo.value)
    assert (kind.__module__, kind.__name__) == PANIC, kind
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert str(excinfo.value) == message


def bounds_fault(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


# ---------------------------------------------------------------------------------------------
# Reference: one float32 operation at a time on whole arrays, the stack kept as a Python list.

_libc = ctypes.CDLL(None)
_libc.powf.restype = ctypes.c_float
_libc.powf.argtypes = (ctypes.c_float, ctypes.c_float)
# NumPy's float32 power is not the C library's powf; the module uses the latter.
_powf = np.frompyfunc(_libc.powf, 2, 1)


def powf(a, b):
    a, b = np.broadcast_arrays(np.asarray(a, np.float32), np.asarray(b, np.float32))
    with np.errstate(all="ignore"):
        return np.asarray(_powf(a, b), dtype=np.float64).astype(np.float32)


_BINARY = {
    "add": np.add,
    "sub": np.subtract,
    "mul": np.multiply,
    "div": lambda a, b: a / (b + DENOM_EPSILON),
    "pow": powf,
}
_UNARY = {"neg": np.negative, "abs": np.abs, "sqrt": np.sqrt}


def reference(program, bands, shape):
    """What the module computes for each pixel of an output of `shape`; band k is read at the
    same position, so only its top-left part counts."""
    rows, cols = shape
    stack = []
    with np.errstate(all="ignore"):
        for step in program:
            kind = step["type"]
            if kind == "push_band":
                stack.append(bands[step["index"]][:rows, :cols].astype(np.float32))
            elif kind == "push_scalar":
                stack.append(np.full(shape, np.float32(step["value"]), dtype=np.float32))
            elif kind in _BINARY:
                b, a = stack.pop(), stack.pop()
                stack.append(_BINARY[kind](a, b).astype(np.float32))
            else:
                stack.append(_UNARY[kind](stack.pop()).astype(np.float32))
    return stack[0] if stack else np.zeros(shape, dtype=np.float32)


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def assert_same(actual, expected):
    """Bit for bit, except that any NaN matches any NaN (payloads and their signs may differ
    between compiled code and NumPy); the sign of zero counts."""
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32 and actual.shape == expected.shape
    got, want = bits(actual), bits(expected)
    nan_got, nan_want = np.isnan(actual), np.isnan(expected)
    differ = np.argwhere((nan_got != nan_want) | (~nan_want & (got != want)))
    if differ.size:
        at = tuple(differ[0])
        raise AssertionError(
            f"{len(differ)} of {got.size} pixels differ; first at {at}: got {actual[at]!r} "
            f"(0x{got[at]:08x}), want {expected[at]!r} (0x{want[at]:08x})"
        )


# ---------------------------------------------------------------------------------------------
# Layouts: the same values placed in memory in different ways, each inside a byte buffer of its
# own filled with a sentinel, so that writes outside the array's elements show.

SENTINEL = 0xA5
# Element strides (row, column) for a (rows, cols) array.
LAYOUTS = {
    "c": lambda r, c: (c, 1),
    "fortran": lambda r, c: (1, r),
    "reversed": lambda r, c: (-c, -1),
    "strided": lambda r, c: (3 * c + 2, 2),
    "transposed_strided": lambda r, c: (3, 3 * r + 1),
    "misaligned": lambda r, c: (-(c + 1), 1),
}


def place(values, layout, dtype):
    """Returns (array, buffer): a copy of `values` in `layout`, and the byte buffer holding it."""
    values = np.asarray(values)
    dtype = np.dtype(dtype)
    rows, cols = values.shape
    strides = [s * dtype.itemsize for s in LAYOUTS[layout](rows, cols)]
    extents = [s * (n - 1) for s, n in zip(strides, values.shape) if n]
    low = sum(min(0, e) for e in extents)
    high = sum(max(0, e) for e in extents)
    offset = (layout == "misaligned") - low
    buffer = np.full(offset + high + dtype.itemsize + 8, SENTINEL, dtype=np.uint8)
    array = np.ndarray(values.shape, dtype=dtype, buffer=buffer, offset=offset, strides=strides)
    array[...] = values
    return array, buffer


def assert_untouched_outside(array, buffer):
    """Every byte of `buffer` that is not an element of `array` still holds the sentinel."""
    array[...] = np.array([SENTINEL * 0x01010101], dtype=np.uint32).view(array.dtype)[0]
    assert (buffer == SENTINEL).all()


def random_samples(rng, shape):
    """uint16 samples mixing zeros, ones, the maximum and everything else."""
    full = rng.integers(0, 65536, size=shape, dtype=np.uint16)
    pick = rng.integers(0, 5, size=shape)
    special = np.array([0, 1, 65535], dtype=np.uint16)[np.minimum(pick, 2)]
    return np.where(pick < 3, special, full)
