"""Shared pieces of the fuzz tests: example budgets, expected exceptions, the interpreter's own
conversions as the module uses them, arrays carved from shared buffers, a model of the borrow
rules, and a check that no borrow was left behind.

Budgets: every run of the suite uses the numbers written in the tests; RASTREL_FUZZ_SCALE=N
multiplies them (for example 20 for a deep local run)."""
import ctypes
import math
import os

import numpy as np
from hypothesis import HealthCheck, settings

import rastrel
from conftest import IS_PYPY

SCALE = max(1, int(os.environ.get("RASTREL_FUZZ_SCALE", "1")))


def budget(examples):
    """Hypothesis settings for `examples` examples (times RASTREL_FUZZ_SCALE; a quarter of that
    on PyPy, where the same native code sits behind a much slower host), with no deadline: a
    loaded machine must not turn a slow example into a failure."""
    return settings(
        max_examples=max(10, examples * SCALE // (4 if IS_PYPY else 1)),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
    )


PANIC = ("pyo3_runtime", "PanicException")
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"


# ---------------------------------------------------------------------------------------------
# Expected outcomes.

# Exceptions raised by the test's own objects carry this prefix; their text is known exactly on
# every interpreter, while the interpreter's own wording differs between CPython and PyPy.
OURS = "junk: "


class Raised:
    """An expected exception: its exact class and its text, or only a prefix of the text where
    the interpreter words the rest (PyPy's messages are not CPython's)."""

    def __init__(self, cls, message=None, prefix=None):
        self.cls, self.message, self.prefix = cls, message, prefix

    @classmethod
    def panic(cls, message):
        return cls("panic", message)

    def prefixed(self, parameter):
        """The argument error of a conversion: exactly TypeError gets the parameter's prefix."""
        if self.cls is not TypeError:
            return self
        if self.message is not None:
            return Raised(TypeError, f"argument '{parameter}': {self.message}")
        return Raised(TypeError, prefix=f"argument '{parameter}': " + (self.prefix or ""))

    def check(self, error):
        kind = type(error)
        if self.cls == "panic":
            assert (kind.__module__, kind.__name__) == PANIC, repr(error)
        else:
            assert kind is self.cls, f"{error!r}, expected {self}"
        text = str(error)
        if self.message is not None:
            assert text == self.message, f"{text!r} != {self.message!r}"
        elif self.prefix is not None:
            assert text.startswith(self.prefix), f"{text!r} does not start with {self.prefix!r}"

    def __repr__(self):
        name = self.cls if isinstance(self.cls, str) else self.cls.__name__
        return f"Raised({name}, {self.message!r}, prefix={self.prefix!r})"


def outcome_of(call):
    """('ok', result) or ('raised', exception); never lets anything but the call's own exception
    pass (a crash ends the process, which is what the fuzzing must never see)."""
    try:
        return "ok", call()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return "raised", error


def interpreter_error(thunk):
    """Raised for what `thunk` raises, or None if it returns: exact for our own objects' errors
    and on CPython, where the thunk runs the very C function the module calls; class only for the
    interpreter's own words on PyPy, where the thunk emulates it. The fault exception raised by
    Python code that the module calls resumes as a fault with the same text."""
    try:
        thunk()
    except PanicException as fault:
        return Raised.panic(str(fault))
    except Exception as error:  # noqa: BLE001
        exact = not IS_PYPY or str(error).startswith(OURS)
        return Raised(type(error), str(error) if exact else None)
    return None


def _fault_class():
    read_only = np.zeros((1, 1), np.float32)
    read_only.flags.writeable = False
    try:
        rastrel.execute_expr_inplace(rastrel.compile_expr([], 0), [], read_only)
    except BaseException as fault:  # noqa: B036
        return type(fault)
    raise AssertionError("a read-only output was accepted")


PanicException = _fault_class()


# ---------------------------------------------------------------------------------------------
# The interpreter's conversions, called as the module calls them.

if not IS_PYPY:
    _capi = ctypes.PyDLL(None)
    _capi.PyFloat_AsDouble.argtypes = [ctypes.py_object]
    _capi.PyFloat_AsDouble.restype = ctypes.c_double
    _capi.PyNumber_Index.argtypes = [ctypes.py_object]
    _capi.PyNumber_Index.restype = ctypes.py_object
    _capi.PyLong_AsUnsignedLongLong.argtypes = [ctypes.py_object]
    _capi.PyLong_AsUnsignedLongLong.restype = ctypes.c_ulonglong
    _capi.PySequence_Check.argtypes = [ctypes.py_object]
    _capi.PySequence_Check.restype = ctypes.c_int

    def as_double(value):
        return _capi.PyFloat_AsDouble(value)

    def as_u64(value):
        if not isinstance(value, int):
            value = _capi.PyNumber_Index(value)
        return _capi.PyLong_AsUnsignedLongLong(value)

    def is_sequence(value):
        return bool(_capi.PySequence_Check(value))

else:
    import operator

    def as_double(value):
        # PyPy's PyFloat_AsDouble: a float, or what the type's __float__ returns; no __index__.
        if isinstance(value, float):
            return float(value)
        method = getattr(type(value), "__float__", None)
        if method is None:
            raise TypeError(f"must be real number, not {type(value).__name__}")
        result = method(value)
        if not isinstance(result, float):
            raise TypeError(f"__float__ returned non-float (type '{type(result).__name__}')")
        return result

    def as_u64(value):
        value = operator.index(value)
        if value < 0:
            raise OverflowError("cannot convert negative integer to unsigned int")
        if value >= 2**64:
            raise OverflowError("integer too large")
        return value

    def is_sequence(value):
        return not isinstance(value, dict) and hasattr(type(value), "__getitem__")


def to_float32(value):
    """The float32 that the module makes of a converted double (round to nearest; beyond the
    range, infinities)."""
    with np.errstate(over="ignore"):
        return np.float32(value)


def collect(value):
    """The list conversion of `bands` and `instructions`: (items, None) or (None, Raised) with
    the error as the interpreter raises it, before the parameter prefix."""
    if isinstance(value, str):
        return None, Raised(TypeError, "Can't extract `str` to `Vec`")
    if not is_sequence(value):
        return None, not_converted(value, "Sequence")
    items = []
    error = interpreter_error(lambda: items.extend(iter(value)))
    return (None, error) if error else (items, None)


def qualname(value):
    return type(value).__qualname__


def not_converted(value, target):
    return Raised(TypeError, f"'{qualname(value)}' object cannot be converted to '{target}'")


# ---------------------------------------------------------------------------------------------
# Arrays.

U16, F32 = np.dtype(np.uint16), np.dtype(np.float32)


def is_2d(value, dtype):
    """The module's array test: a NumPy array (or subclass) of two dimensions whose dtype is
    equivalent to `dtype` (in native byte order)."""
    return isinstance(value, np.ndarray) and value.ndim == 2 and value.dtype == dtype


def stride_error(array, parameter):
    """The refusal of an array whose strides do not step whole elements, or None."""
    item = array.dtype.itemsize
    if all(n <= 1 or s % item == 0 for n, s in zip(array.shape, array.strides)):
        return None
    strides = ", ".join(str(s) for s in array.strides)
    return Raised(
        ValueError,
        f"argument '{parameter}': array strides ({strides}) are not multiples of its item size ({item}); "
        "pass a copy, for example numpy.ascontiguousarray(...)",
    )


def shape_error(arrays):
    """check_shapes: every array against the first."""
    first = arrays[0].shape
    for i, array in enumerate(arrays[1:], 1):
        if array.shape != first:
            text = lambda shape: "[" + ", ".join(str(n) for n in shape) + "]"  # noqa: E731
            return Raised(ValueError, f"Shape mismatch at index {i}: expected {text(first)}, got {text(array.shape)}")
    return None


def carve(buffer, dtype, shape, strides, offset):
    """An array of `dtype` laid into the byte array `buffer`, sharing its memory."""
    return np.ndarray(shape, dtype, buffer=buffer, offset=offset, strides=strides)


def fits(buffer_size, itemsize, shape, strides, offset):
    """Whether every element of the layout lies inside a buffer of `buffer_size` bytes."""
    if 0 in shape:
        return 0 <= offset <= buffer_size
    low = offset + sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
    high = offset + sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + itemsize
    return low >= 0 and high <= buffer_size


# ---------------------------------------------------------------------------------------------
# The borrow rules as this module implements them (see the registry): keys compared
# word for word, and unequal keys under one base by overlapping ranges and the item grid.


def base_of(array):
    """The object whose memory the array lives in: up the chain of array bases."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array if array.base is None else array.base


def data_pointer(array):
    return array.__array_interface__["data"][0]


def _gcd_fold(strides):
    if not strides:
        return 1
    g = strides[0]
    for s in strides[1:]:
        g = math.gcd(g, s)
    return g


def key_of(array):
    """(start, end, data, stride gcd, item size) of an array, as the registry computes them."""
    d = data_pointer(array)
    shape, strides = array.shape, array.strides
    if 0 in shape:
        start = end = d
    else:
        start = d + sum((n - 1) * s for n, s in zip(shape, strides) if s < 0 and n > 1)
        end = d + sum((n - 1) * s for n, s in zip(shape, strides) if not (s < 0 and n > 1)) + array.itemsize
    return (start, end, d, _gcd_fold(list(strides)), array.itemsize)


def keys_conflict(new, registered):
    """Whether the (new) key may touch memory that the registered key touches."""
    start, end, data, gcd_new, item_new = new
    o_start, o_end, o_data, gcd_old, item_old = registered
    if o_start >= end or start >= o_end:
        return False
    g = math.gcd(abs(gcd_new), abs(gcd_old))
    ahead = data >= o_data
    distance = abs(data - o_data)
    if g == 0:
        return distance < (item_old if ahead else item_new)
    r = distance % g if ahead else (g - distance % g) % g
    return r < item_old or g - r < item_new


def borrow_refusal(bands, out):
    """What a call that borrows every band shared and then `out` exclusively is refused with,
    with nothing else borrowed in the process: None if it is granted."""
    if not out.flags.writeable:
        return Raised.panic(NOT_WRITEABLE)
    key, base = key_of(out), id(base_of(out))
    for band in bands:
        if id(base_of(band)) == base and (key_of(band) == key or keys_conflict(key, key_of(band))):
            return Raised.panic(ALREADY_BORROWED)
    return None


# ---------------------------------------------------------------------------------------------
# Nothing left borrowed: an exclusive borrow over every byte of each array's buffer is granted.

_PROBE = rastrel.compile_expr([], 0)


def root_of(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def assert_nothing_borrowed(arrays):
    """Takes an exclusive borrow (through a module call that writes zeros) of float32 views that
    cover every byte of the buffer of each writeable array in `arrays`: one of them would be
    refused if any borrow of that memory were still registered. Overwrites those buffers."""
    seen = set()
    for array in arrays:
        if not isinstance(array, np.ndarray):
            continue
        root = root_of(array)
        if id(root) in seen or not root.flags.writeable:
            continue
        seen.add(id(root))
        size = root.nbytes
        if size < 4 or not (root.flags.c_contiguous or root.flags.f_contiguous):
            continue
        count = size // 4
        # Views into the root itself keep the root as their base, and so meet its borrows.
        flat = root.reshape(-1, order="A").view(np.uint8)
        for offset in {0, size - 4 * count}:
            probe = np.ndarray((1, count), F32, buffer=flat, offset=offset)
            rastrel.execute_expr_inplace(_PROBE, [], probe)


# ---------------------------------------------------------------------------------------------
# Programs: what compiling one step raises, and which faults evaluating a program can raise.

OP_NAMES = ("push_band", "push_scalar", "add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt")
BINARY, UNARY = ("add", "sub", "mul", "div", "pow"), ("neg", "abs", "sqrt")
TOP = 2**64 - 1  # the slot below an empty stack, in unsigned arithmetic


def compile_error(step):
    """The error that compiling `step` raises, or None; the step's lookups run here exactly as
    the module runs them (subscription with a str key), so their errors are the interpreter's."""
    box = []
    error = interpreter_error(lambda: box.append(step["type"]))
    if error:
        return error
    kind = box[0]
    if not isinstance(kind, str):
        return not_converted(kind, "PyString")
    error = interpreter_error(lambda: kind.encode("utf-8"))
    if error:
        return error
    if kind not in OP_NAMES:
        return Raised(ValueError, "Unknown op: " + kind)
    if kind == "push_band":
        return interpreter_error(lambda: as_u64(step["index"]))
    if kind == "push_scalar":
        return interpreter_error(lambda: as_double(step["value"]))
    return None


def compiled(step):
    """(kind, operand) of a step that compiles: the band number, or the float32 value."""
    kind = step["type"]
    if kind == "push_band":
        return kind, as_u64(step["index"])
    if kind == "push_scalar":
        return kind, to_float32(as_double(step["value"]))
    return kind, None


def bounds_fault(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def step_fault(steps, band_count, outside):
    """The fault of one pixel's evaluation, or None: `steps` are (kind, operand) pairs and
    `outside` the band numbers that do not reach this pixel."""
    depth = 0
    for kind, operand in steps:
        if kind in ("push_band", "push_scalar"):
            if kind == "push_band":
                if operand >= band_count:
                    return bounds_fault(band_count, operand)
                if operand in outside:
                    return "ndarray: index out of bounds"
            if depth == 16:
                return bounds_fault(16, 16)
            depth += 1
        elif kind in BINARY:
            if depth < 2:
                # add, sub, mul and div look at the top slot first, pow at the one below it.
                return bounds_fault(16, TOP - 1 if kind == "pow" and depth == 0 else TOP)
            depth -= 1
        elif depth == 0:
            return bounds_fault(16, TOP)
    return None


def pixel_faults(steps, band_shapes, out_shape):
    """Every fault text that evaluating the compiled `steps` over an output of `out_shape` can
    raise (empty if none): one per class of pixels that the same bands fail to reach."""
    steps = [compiled(step) if isinstance(step, dict) else step for step in steps]
    rows, cols = out_shape
    if rows == 0 or cols == 0:
        return set()
    row_marks = {0} | {r for r, _ in band_shapes if r < rows}
    col_marks = {0} | {c for _, c in band_shapes if c < cols}
    faults = set()
    for r in row_marks:
        for c in col_marks:
            outside = {k for k, (br, bc) in enumerate(band_shapes) if r >= br or c >= bc}
            fault = step_fault(steps, len(band_shapes), outside)
            if fault:
                faults.add(fault)
    return faults


def compile_outcome(instructions, num_bands):
    """What compile_expr(instructions, num_bands) raises, or None: the list conversion, then
    num_bands, then each step in order."""
    items, error = collect(instructions)
    if error:
        return error.prefixed("instructions")
    error = interpreter_error(lambda: as_u64(num_bands))
    if error:
        return error.prefixed("num_bands")
    for item in items:
        error = compile_error(item)
        if error:
            return error
    return None
