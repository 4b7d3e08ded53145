"""What the tests share: float32 references computed one operation at a time, the bit-for-bit
comparison, memory layouts carved out of sentinel-filled buffers, sample generators, program
builders and the fault exception.

Imports nothing of the module at load time, so that a probe script run in a fresh interpreter can
use it before its own first import of rastrel."""
import ctypes
import os
import platform
import threading
import time

import numpy as np
import pytest

IS_PYPY = platform.python_implementation() == "PyPy"

# Set by the test script for its run under AddressSanitizer, whose quarantine of freed memory and
# shadow memory make resident-memory bounds meaningless.
UNDER_SANITIZER = bool(os.environ.get("RASTREL_UNDER_SANITIZER"))


def cpython_only(reason):
    return pytest.mark.skipif(IS_PYPY, reason=reason)


def not_under_sanitizer(reason):
    return pytest.mark.skipif(UNDER_SANITIZER, reason=reason)


# The division guard: the float32 nearest to 1e-10, added to every divisor.
DENOM_EPSILON = np.array([0x2EDBE6FF], dtype=np.uint32).view(np.float32)[0]
assert DENOM_EPSILON == np.float32(1e-10)

PANIC = ("pyo3_runtime", "PanicException")
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
BINARY_OPS = ("add", "sub", "mul", "div", "pow")
UNARY_OPS = ("neg", "abs", "sqrt")


# ---------------------------------------------------------------------------------------------
# References for the kernels: each operation on its own in float32, in the order the module
# defines.


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
# The reference for programs: one float32 operation at a time on whole arrays, the stack kept as
# a Python list.

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


# ---------------------------------------------------------------------------------------------
# Bit-for-bit comparison.


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def assert_bits_equal(actual, expected):
    """Every pixel bit for bit, the sign of zero included, with one exception: NaN is compared by
    mask (a NaN wherever the expectation has one, of any payload). Compiled code and NumPy may
    propagate different NaN payloads, and a hand-written expectation cannot know the one the
    hardware makes; whether a result is NaN at all is what the arithmetic defines."""
    actual = np.asarray(actual)
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32, actual.dtype
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    got, want = bits(actual), bits(expected)
    nan_got, nan_want = np.isnan(actual), np.isnan(expected)
    differ = np.argwhere((nan_got != nan_want) | (~nan_want & (got != want)))
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
    "window": lambda r, c: (c + 7, 1),  # rows of a wider array
    "reversed_cols": lambda r, c: (c, -1),
    "reversed_both": lambda r, c: (-c, -1),
    "strided": lambda r, c: (3 * c + 5, 3),  # leans towards rows
    "transposed_strided": lambda r, c: (2, 2 * r + 3),  # leans towards columns
    "reversed_fortran_strided": lambda r, c: (-2, -(2 * r + 1)),
}
# Misaligned variants start at an odd byte address; their strides stay whole elements.
MISALIGNED = ("c", "reversed_rows", "reversed_both", "strided", "fortran")
LAYOUT_NAMES = list(LAYOUTS) + [f"misaligned_{name}" for name in MISALIGNED]


def carve(shape, layout, dtype):
    """Returns (array, buffer): an array of the given layout (a name of LAYOUT_NAMES) whose
    elements and surroundings all hold the sentinel byte, and the whole byte buffer that holds
    it."""
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


def assert_untouched_outside(array, buffer):
    """Every byte of `buffer` that is not an element of `array` still holds the sentinel.
    Overwrites the array's elements."""
    array[...] = np.full(array.itemsize, SENTINEL, np.uint8).view(array.dtype)[0]
    assert (buffer == SENTINEL).all(), "bytes outside the array were written"


# ---------------------------------------------------------------------------------------------
# Samples.


def random_band(rng, shape):
    """uint16 samples mixing zeros (for zero denominators), ones, small values, the maximum and
    everything else."""
    full = rng.integers(0, 65536, size=shape, dtype=np.uint16)
    small = rng.integers(0, 4, size=shape, dtype=np.uint16)
    choice = rng.integers(0, 6, size=shape)
    special = np.array([0, 1, 65535], dtype=np.uint16)[np.clip(choice - 3, 0, 2)]
    return np.select([choice < 2, choice == 2], [full, small], special).astype(np.uint16)


# ---------------------------------------------------------------------------------------------
# Programs and faults.


def band(index):
    return {"type": "push_band", "index": index}


def scalar(value):
    return {"type": "push_scalar", "value": value}


def ops(*names):
    return [{"type": name} for name in names]


def run(program, bands=(), shape=(2, 3), num_bands=None, fill=7.0):
    """Compiles `program` for len(bands) bands (or `num_bands`) and evaluates it into a new output
    of `shape` first filled with `fill`."""
    import rastrel

    expr = rastrel.compile_expr(program, len(bands) if num_bands is None else num_bands)
    out = np.full(shape, fill, dtype=np.float32)
    assert rastrel.execute_expr_inplace(expr, list(bands), out) is None
    return out


def is_fault(error):
    """Whether `error` is the module's fault exception."""
    kind = type(error)
    return (kind.__module__, kind.__name__) == PANIC


def expect_panic(message, function, *args):
    """Calls function(*args), which must raise the fault exception with `message`."""
    with pytest.raises(BaseException) as excinfo:
        function(*args)
    kind = type(excinfo.value)
    assert is_fault(excinfo.value), kind
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert str(excinfo.value) == message


def bounds_fault(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


# ---------------------------------------------------------------------------------------------
# Threads and memory.


def run_at_once(work, count, watch=None, timeout=120):
    """Runs work(0), ..., work(count - 1), each on a thread of its own, released together; calls
    watch() every 2 ms while any of them runs. Fails with every thread's failure once all have
    ended (a failing thread releases the others), or if one is still running after `timeout`."""
    barrier = threading.Barrier(count)
    failures = []

    def guarded(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: B036 - the fault exception derives from BaseException
            failures.append((index, error))
            barrier.abort()

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    while watch and any(thread.is_alive() for thread in threads):
        watch()
        time.sleep(0.002)
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(timeout=max(0.0, deadline - time.monotonic()))
        assert not thread.is_alive(), "a thread is stuck"
    assert failures == []


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
