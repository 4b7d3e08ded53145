"""Shared pieces of the fuzz tests: example budgets, expected exceptions, the interpreter's own
conversions as the module uses them, arrays carved from shared buffers, the borrow rules told
from the bytes that views touch, and a check that no borrow was left behind.

Budgets: every run of the suite uses the numbers written in the tests; RASTREL_FUZZ_SCALE=N
multiplies them (for example 20 for a deep local run)."""
import ctypes
import math
import os

import numpy as np
from hypothesis import HealthCheck, settings

import rastrel
from rastrel_testing import ALREADY_BORROWED, BINARY_OPS, IS_PYPY, NOT_WRITEABLE, UNARY_OPS, bounds_fault, is_fault

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
            assert is_fault(error), repr(error)
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


def fits(buffer_size, itemsize, shape, strides, offset):
    """Whether every element of the layout lies inside a buffer of `buffer_size` bytes."""
    if 0 in shape:
        return 0 <= offset <= buffer_size
    low = offset + sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
    high = offset + sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + itemsize
    return low >= 0 and high <= buffer_size


# ---------------------------------------------------------------------------------------------
# The borrow rules, told from the bytes that views touch rather than from the registry's
# arithmetic: a view's span is the lowest to one past the highest byte its elements cover; two
# views of one buffer conflict when their spans overlap and their item grids meet, that is when
# some byte lies under an item of each once both grids are extended with the gcd of all their
# strides (which covers every byte they really share, and more).


def base_of(array):
    """The object whose memory the array lives in: up the chain of array bases."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array if array.base is None else array.base


def root_of(array):
    """The last array up the chain of bases: the one whose buffer every view of it lies in."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def data_pointer(array):
    return array.__array_interface__["data"][0]


def touched(view):
    """Every byte address that the view's elements cover."""
    if view.size == 0:
        return set()
    if view.ndim == 0:
        return set(range(data_pointer(view), data_pointer(view) + view.itemsize))
    index = np.indices(view.shape).reshape(view.ndim, -1)
    starts = data_pointer(view) + (np.array(view.strides).reshape(-1, 1) * index).sum(axis=0)
    return set((starts.reshape(-1, 1) + np.arange(view.itemsize)).reshape(-1).tolist())


def span(view):
    """(lowest, one past the highest) byte the view covers; (data, data) for a view of nothing."""
    covered = touched(view)
    if not covered:
        return data_pointer(view), data_pointer(view)
    return min(covered), max(covered) + 1


def stride_gcd(view):
    """The written definition: 1 without dimensions, the one stride itself (sign included) with
    one, the non-negative gcd of all of them otherwise."""
    if view.ndim == 0:
        return 1
    if view.ndim == 1:
        return view.strides[0]
    return math.gcd(*view.strides)


def identity(view):
    """What the registry counts borrows by: views with equal identities are one key."""
    return span(view), data_pointer(view), stride_gcd(view), view.itemsize


def grids_meet(a, b):
    """Whether an item of `a` and an item of `b` would share a byte if both repeated with the gcd
    of all their strides, up and down without end."""
    period = math.gcd(stride_gcd(a), stride_gcd(b))
    if period == 0:  # every stride zero: each view is its one item
        lows = data_pointer(a), data_pointer(b)
        return max(lows) < min(lows[0] + a.itemsize, lows[1] + b.itemsize)
    residues = [{(data_pointer(v) + i) % period for i in range(v.itemsize)} for v in (a, b)]
    return bool(residues[0] & residues[1])


def registry_key(view):
    """What the registry counts borrows by (views with equal keys are one key): the identity,
    and for one- and two-dimensional views their index window too (shape and strides)."""
    return identity(view), (view.shape, view.strides) if view.ndim in (1, 2) else None


def views_conflict(a, b):
    """Whether the registry refuses one of two views of the same buffer while the other is
    borrowed (the exclusive one, or both), by the written byte-grid rule: a view of nothing
    conflicts only with its own key."""
    if registry_key(a) == registry_key(b):
        return True
    (low_a, high_a), (low_b, high_b) = span(a), span(b)
    overlapping = low_a < high_b and low_b < high_a
    conflict = overlapping and grids_meet(a, b)
    assert conflict or not (touched(a) & touched(b)), "the model lets two views share a byte"
    return conflict


def conflict_answers(a, b):
    """Every answer the registry may give for two views of one buffer with different keys: the
    byte-grid rule's, and also "no conflict" where that rule refuses two views that share no
    byte but lie on one lattice of items (same dimensions, strides and item size, one or two
    dimensions, none empty), which the registry may prove apart by their index windows."""
    conflict = views_conflict(a, b)
    lattice = (a.ndim == b.ndim and a.ndim in (1, 2) and a.strides == b.strides
               and a.itemsize == b.itemsize and a.size and b.size)
    if conflict and lattice and not (touched(a) & touched(b)):
        return {True, False}
    return {conflict}


def borrow_refusal(bands, out):
    """What a call that borrows every band shared and then `out` exclusively is refused with,
    with nothing else borrowed in the process: None if it is granted."""
    if not out.flags.writeable:
        return Raised.panic(NOT_WRITEABLE)
    for band in bands:
        if base_of(band) is base_of(out) and views_conflict(band, out):
            return Raised.panic(ALREADY_BORROWED)
    return None


# ---------------------------------------------------------------------------------------------
# Nothing left borrowed: an exclusive borrow over every byte of each array's buffer is granted.

_PROBE = rastrel.compile_expr([], 0)


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

OP_NAMES = ("push_band", "push_scalar", *BINARY_OPS, *UNARY_OPS)


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


# The slots below the count n that each operation reads, in the order it tests them: pow looks
# at its base first, the others at the top.
READS = {"add": (1, 2), "sub": (1, 2), "mul": (1, 2), "div": (1, 2), "pow": (2, 1),
         "neg": (1,), "abs": (1,), "sqrt": (1,)}
SLOTS = 16


class _Fault(Exception):
    pass


def _slot(index):
    """A slot index as the machine computes it, in unsigned 64-bit arithmetic, tested against
    the sixteen slots."""
    index %= 2**64
    if index >= SLOTS:
        raise _Fault(bounds_fault(SLOTS, index))
    return index


def step_fault(steps, band_count, outside):
    """The fault of one pixel's evaluation, or None: the stack machine run on placeholders, with
    `steps` as (kind, operand) pairs and `outside` the band numbers that do not reach this pixel."""
    n = 0
    try:
        for kind, operand in steps:
            if kind == "push_band":
                if operand >= band_count:
                    raise _Fault(bounds_fault(band_count, operand))
                if operand in outside:
                    raise _Fault("ndarray: index out of bounds")
            if kind in ("push_band", "push_scalar"):
                _slot(n)
                n += 1
            else:
                for below in READS[kind]:
                    _slot(n - below)
                n -= len(READS[kind]) - 1
    except _Fault as fault:
        return str(fault)
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
