"""Every function called with arbitrary objects in every parameter, by position and by keyword,
with missing, extra and repeated arguments: the outcome is exactly what the binding and
conversion rules predict (class and text of the exception, or the right result), the process
survives, memory outside the output is untouched, and no borrow is left behind."""
import fractions
import decimal
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import rastrel
from fuzzing import (
    F32,
    OURS,
    U16,
    PanicException,
    Raised,
    as_double,
    assert_nothing_borrowed,
    borrow_refusal,
    budget,
    collect,
    compile_outcome,
    fits,
    interpreter_error,
    is_2d,
    not_converted,
    outcome_of,
    pixel_faults,
    root_of,
    shape_error,
    stride_error,
    to_float32,
)
from rastrel_testing import (
    assert_bits_equal,
    ref_adjusted_difference,
    ref_evi,
    ref_normalized_difference,
    ref_ratio,
    reference,
)

BAND, OUT, FLOAT, SIZE, STEPS, BANDS, EXPR = "band", "out", "float", "size", "steps", "bands", "expr"
FUNCTIONS = {
    "calculate_normalized_difference_inplace": [("band_a", BAND), ("band_b", BAND), ("out_buffer", OUT)],
    "calculate_ratio_inplace": [("band_a", BAND), ("band_b", BAND), ("out_buffer", OUT)],
    "calculate_adjusted_difference_inplace": [("band_a", BAND), ("band_b", BAND), ("l", FLOAT), ("out_buffer", OUT)],
    "calculate_evi_inplace": [("nir", BAND), ("red", BAND), ("blue", BAND), ("g", FLOAT), ("c1", FLOAT),
                              ("c2", FLOAT), ("l", FLOAT), ("out_buffer", OUT)],
    "calculate_normalized_difference": [("band_a", BAND), ("band_b", BAND)],
    "compile_expr": [("instructions", STEPS), ("num_bands", SIZE)],
    "execute_expr_inplace": [("expr", EXPR), ("bands", BANDS), ("out_buffer", OUT)],
}
REFERENCES = {
    "calculate_normalized_difference_inplace": ref_normalized_difference,
    "calculate_ratio_inplace": ref_ratio,
    "calculate_adjusted_difference_inplace": ref_adjusted_difference,
    "calculate_evi_inplace": ref_evi,
    "calculate_normalized_difference": ref_normalized_difference,
}

# Programs for `expr`, with the number of bands each was compiled for.
PROGRAMS = [
    ([{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "sub"}], 2),
    ([{"type": "push_scalar", "value": 1.5}, {"type": "sqrt"}], 0),
    ([{"type": "push_band", "index": 0}, {"type": "add"}], 1),
    ([{"type": "push_band", "index": 2}, {"type": "push_band", "index": 0}, {"type": "div"}], 3),
]
EXPRS = [(rastrel.compile_expr(program, count), program, count) for program, count in PROGRAMS]
PROGRAM_OF = {id(expr): (program, count) for expr, program, count in EXPRS}


# ---------------------------------------------------------------------------------------------
# Objects that are not what any parameter wants, or are only nearly so.


class FloatRaises:
    def __init__(self, cls):
        self.cls = cls

    def __float__(self):
        raise self.cls(OURS + "float")

    def __index__(self):
        raise self.cls(OURS + "index")


class Panics:
    """Raises the module's own fault exception from Python code that the module calls."""

    def __float__(self):
        raise PanicException(OURS + "float")

    def __index__(self):
        raise PanicException(OURS + "index")

    def __len__(self):
        raise PanicException(OURS + "length")  # only a hint: discarded, not resumed

    def __getitem__(self, index):
        raise PanicException(OURS + "item")

    def __iter__(self):
        raise PanicException(OURS + "iteration")


class IndexOnly:
    def __index__(self):
        return 2


class IndexNotInt:
    def __index__(self):
        return "two"


class FloatNotFloat:
    def __float__(self):
        return 1


class SubTypeError(TypeError):
    pass


class Sequence:
    """A sequence by the interpreter's test, whose iteration fails or yields given items."""

    def __init__(self, items=(), fail=None):
        self.items, self.fail = list(items), fail

    def __len__(self):
        raise ValueError(OURS + "no length")  # only a hint: the module must ignore this

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.fail:
            raise self.fail(OURS + "iteration")
        return iter(self.items)


class Outer:
    class Inner:
        pass


class Subclass(np.ndarray):
    pass


def generator():
    yield np.zeros((2, 2), np.uint16)


JUNK = [
    None, True, False, 0, 1, -1, 2, 3, 2**63, 2**64 - 1, 2**64, -(2**64), 10**400,
    0.0, -0.0, 1.5, -2.5, 1e39, math.inf, -math.inf, math.nan, 1j,
    "", "x", "1.5", "\ud800", b"", b"ab", bytearray(b"xy"), memoryview(b"ab"),
    [], [1], [[0, 1], [2, 3]], (), (1, 2), {}, {"type": "add"}, set(), frozenset({1}), range(3),
    object(), int, np, rastrel, Outer.Inner(), lambda: None,
    fractions.Fraction(1, 3), decimal.Decimal("2.5"),
    np.uint16(7), np.float32(0.5), np.float64(-2.0), np.int64(-1), np.bool_(True),
    FloatRaises(TypeError), FloatRaises(ValueError), FloatRaises(SubTypeError), FloatRaises(OverflowError),
    IndexOnly(), IndexNotInt(), FloatNotFloat(), Panics(),
    Sequence(), Sequence([1, 2]), Sequence(fail=TypeError), Sequence(fail=ValueError),
    rastrel.CompiledExpr, rastrel.calculate_ratio_inplace, generator(),
]
JUNK_ARRAYS = [
    lambda: np.zeros((), np.uint16), lambda: np.zeros(3, np.uint16), lambda: np.zeros((2, 2, 1), np.uint16),
    lambda: np.zeros((2, 3), np.float64), lambda: np.zeros((2, 3), np.int16), lambda: np.zeros((2, 3), np.uint8),
    lambda: np.zeros((2, 3), np.float16), lambda: np.zeros((2, 3), np.uint32),
    lambda: np.zeros((2, 3), ">u2"), lambda: np.zeros((2, 3), ">f4"),
    lambda: np.zeros((2, 3), [("a", "u1"), ("b", "<u2")])["b"],
    lambda: np.zeros((0, 3), np.uint16), lambda: np.zeros((3, 0), np.float32),
    lambda: np.zeros((2, 2)).view(np.matrix),
    lambda: np.zeros(1, [("a", "u2")]),
]


# ---------------------------------------------------------------------------------------------
# Strategies.

ELEMENT_STRIDES = [
    lambda r, c: (c, 1), lambda r, c: (1, r), lambda r, c: (-c, 1), lambda r, c: (c, -1),
    lambda r, c: (-c, -1), lambda r, c: (2 * c + 1, 2), lambda r, c: (3, -3 * r),
]
# Bands may repeat one row (an output may not: which pixel's value it keeps would be unknown).
BROADCAST = lambda r, c: (0, 1)  # noqa: E731


@st.composite
def carved_array(draw, root, dtype, shape):
    """An array of `dtype` and `shape` somewhere in `root`: any of several layouts, sometimes one
    byte off the item grid, sometimes with strides that do not step whole elements, sometimes
    read-only or a subclass."""
    item = dtype.itemsize
    strides = draw(st.sampled_from(ELEMENT_STRIDES + ([BROADCAST] if dtype == U16 else [])))(*shape)
    strides = tuple(s * item for s in strides)
    if draw(st.integers(0, 19)) == 0:
        strides = (strides[0] + draw(st.sampled_from([1, -1, item + 1])), strides[1])
    extent = [(n - 1) * s for n, s in zip(shape, strides) if n]
    low = -sum(min(0, e) for e in extent)
    high = sum(max(0, e) for e in extent) + item
    offset = draw(st.integers(low, max(low, root.nbytes - high)))
    if not fits(root.nbytes, item, shape, strides, offset):
        strides, offset = (shape[1] * item, item), 0
    array = np.ndarray(shape, dtype, buffer=root, offset=offset, strides=strides)
    variant = draw(st.integers(0, 19))
    if variant == 0:
        array.flags.writeable = False
    elif variant == 1:
        array = array.view(Subclass)
    return array


@st.composite
def world(draw):
    """What every argument of one example is made from: an output shape, two buffers that arrays
    share (so that outputs may overlap bands), and random sample values in them."""
    shape = (draw(st.integers(0, 5)), draw(st.integers(0, 6)))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    roots = [rng.integers(0, 256, size=2048, dtype=np.uint8) for _ in range(2)]
    # Samples near the extremes and zero, as well as anywhere.
    for root in roots:
        root[rng.random(root.size) < 0.3] = 0
        root[rng.random(root.size) < 0.1] = 255
    return shape, roots


def array_for(w, dtype):
    """Mostly of the world's shape, sometimes of another."""
    shape, roots = w
    shapes = st.integers(0, 11).flatmap(
        lambda pick: st.tuples(st.integers(0, 5), st.integers(0, 6)) if pick == 0 else st.just(shape))
    return st.tuples(st.sampled_from(roots), shapes).flatmap(lambda rs: carved_array(rs[0], dtype, rs[1]))


def junk(w):
    return st.one_of(
        st.sampled_from(JUNK),
        st.sampled_from(JUNK_ARRAYS).map(lambda make: make()),
        array_for(w, U16),
        array_for(w, F32),
        st.sampled_from(EXPRS).map(lambda e: e[0]),
        st.lists(st.sampled_from(JUNK), max_size=3),
    )


def steps():
    kinds = st.sampled_from(["push_band", "push_scalar", "add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt"])
    return st.lists(
        st.builds(lambda t, i, v: {"type": t, "index": i, "value": v}, kinds, st.integers(0, 3),
                  st.floats(allow_nan=True, width=32)),
        max_size=6,
    )


def good(w, kind, expr=None):
    if kind == BAND:
        return array_for(w, U16)
    if kind == OUT:
        return array_for(w, F32)
    if kind == FLOAT:
        return st.one_of(st.floats(), st.integers(-(2**70), 2**70))
    if kind == SIZE:
        return st.integers(0, 4)
    if kind == STEPS:
        return steps()
    if kind == EXPR:
        return st.sampled_from(EXPRS).map(lambda e: e[0])
    count = PROGRAM_OF[id(expr)][1] if id(expr) in PROGRAM_OF else 2
    return st.lists(array_for(w, U16), min_size=count, max_size=count).flatmap(
        lambda items: st.sampled_from([items, tuple(items)]))


@st.composite
def call(draw, function):
    """(w, positional, keywords): a call of `function` with good or junk values, bound by position
    and keyword, with arguments missing, extra, unknown or repeated now and then."""
    w = draw(world())
    params = FUNCTIONS[function]
    names = [name for name, _ in params]
    # Half of the calls have good values only; the rest one bad value, or several.
    mode = draw(st.integers(0, 9))
    bad = set() if mode < 5 else set(
        draw(st.lists(st.sampled_from(names), min_size=1, max_size=1 if mode < 8 else len(names), unique=True)))
    values = {}
    for name, kind in params:
        values[name] = draw(junk(w) if name in bad else good(w, kind, values.get("expr")))
    if draw(st.integers(0, 4)) == 0:
        for name in draw(st.lists(st.sampled_from(names), max_size=3, unique=True)):
            del values[name]
    positional_count = draw(st.integers(0, len(names)))
    positional = []
    for name in names[:positional_count]:
        if name not in values:
            break
        positional.append(values.pop(name))
    if draw(st.integers(0, 9)) == 0:
        positional += draw(st.lists(junk(w), min_size=1, max_size=2))
    keyword_names = draw(st.permutations(list(values)))
    keywords = {name: values[name] for name in keyword_names}
    if draw(st.integers(0, 9)) == 0:
        unknown = draw(st.one_of(st.sampled_from(["out", "Band_a", "band_a ", "out_buffers", "\ud800", "é"]),
                                 st.text(min_size=1, max_size=4)))
        if unknown not in keywords:
            keywords = dict(draw(st.permutations(list(keywords.items()) + [(unknown, draw(junk(w)))])))
    if positional and draw(st.integers(0, 9)) == 0:
        repeated = names[draw(st.integers(0, min(len(positional), len(names)) - 1))]
        keywords.setdefault(repeated, draw(junk(w)))
    return w, positional, keywords


# ---------------------------------------------------------------------------------------------
# The oracle.


def _equivalent_def(function, default):
    """A Python function of the same name and parameters that returns its arguments by name;
    with `default`, every parameter is optional."""
    names = [name for name, _ in FUNCTIONS[function]]
    scope = {"default": default}
    parameters = ", ".join(f"{n}=default" if default else n for n in names)
    exec(f"def {function}({parameters}):\n    return dict({', '.join(f'{n}={n}' for n in names)})", scope)
    return scope[function]


EQUIVALENT = {function: _equivalent_def(function, None) for function in FUNCTIONS}
OPTIONAL = {function: _equivalent_def(function, "absent") for function in FUNCTIONS}


def bind(function, positional, keywords):
    """The parameter values, or the binding error, from the interpreter's own binding of an
    equivalent `def`, in the module's order: the count of positional arguments first, then each
    keyword as it comes (where the interpreters differ in which fault they name first), then what
    is missing."""
    try:
        if len(positional) > len(FUNCTIONS[function]):
            EQUIVALENT[function](*positional)
        for keyword, value in keywords.items():
            OPTIONAL[function](*positional, **{keyword: value})
        return EQUIVALENT[function](*positional, **keywords), None
    except TypeError as error:
        return None, Raised(TypeError, str(error))


def convert_array(value, dtype, parameter):
    if not is_2d(value, dtype):
        return not_converted(value, "PyArray<T, D>").prefixed(parameter)
    return stride_error(value, parameter)


def expect_kernel(function, slots):
    """(Raised or None, expected output values or None)."""
    floats = {}
    for name, kind in FUNCTIONS[function]:
        value = slots[name]
        if kind == BAND:
            error = convert_array(value, U16, name)
        elif kind == OUT:
            error = convert_array(value, F32, name)
        else:
            error = interpreter_error(lambda: floats.__setitem__(name, to_float32(as_double(value))))  # noqa: B023 - called at once
            error = error and error.prefixed(name)
        if error:
            return error, None
    bands = [slots[name] for name, kind in FUNCTIONS[function] if kind == BAND]
    out = slots.get("out_buffer")
    if out is None:
        out = np.zeros(bands[0].shape, np.float32)
    error = shape_error(bands + [out]) or borrow_refusal(bands, out)
    if error:
        return error, None
    values = [np.array(band) for band in bands]
    return None, REFERENCES[function](*values, *floats.values())


def expect_execute(slots):
    """(Raised or None, set of fault texts of which one is raised, expected output or None)."""
    expr = slots["expr"]
    if not isinstance(expr, rastrel.CompiledExpr):
        return not_converted(expr, "CompiledExpr").prefixed("expr"), None, None
    items, error = collect(slots["bands"])
    if error:
        return error.prefixed("bands"), None, None
    for item in items:
        if not is_2d(item, U16):
            return not_converted(item, "PyArray<T, D>").prefixed("bands"), None, None
    for item in items:
        error = stride_error(item, "bands")
        if error:
            return error, None, None
    out = slots["out_buffer"]
    error = convert_array(out, F32, "out_buffer")
    if error:
        return error, None, None
    program, count = PROGRAM_OF[id(expr)]
    if len(items) != count:
        return Raised(ValueError, "Band count mismatch."), None, None
    error = borrow_refusal(items, out)
    if error:
        return error, None, None
    if out.size == 0:  # nothing is evaluated, so nothing faults
        return None, None, np.zeros(out.shape, np.float32)
    faults = pixel_faults(program, [item.shape for item in items], out.shape)
    if faults:
        return None, faults, None
    return None, None, reference(program, [np.array(item) for item in items], out.shape)


def element_bytes(array, root):
    """Offsets into `root` of every byte of every element of `array`."""
    if array.size == 0:
        return np.zeros(0, np.int64)
    start = array.__array_interface__["data"][0] - root.__array_interface__["data"][0]
    rows, cols = np.indices(array.shape)
    first = start + rows * array.strides[0] + cols * array.strides[1]
    return (first.reshape(-1, 1) + np.arange(array.itemsize)).reshape(-1)


def memory_of(root):
    """A copy of the bytes of a contiguous array, in memory order."""
    return np.frombuffer(root.tobytes(order="A"), np.uint8).copy()


def arrays_in(positional, keywords):
    found = []
    for value in list(positional) + list(keywords.values()):
        if isinstance(value, np.ndarray):
            found.append(value)
        elif isinstance(value, (list, tuple)):
            found += [item for item in value if isinstance(item, np.ndarray)]
    return found


def run_and_check(function, case):
    w, positional, keywords = case
    arrays = arrays_in(positional, keywords)
    roots = {id(root_of(a)): root_of(a) for a in arrays}
    before = {key: memory_of(root) for key, root in roots.items()}

    slots, error = bind(function, positional, keywords)
    faults = expected = None
    if error is None:
        if function == "compile_expr":
            error = compile_outcome(slots["instructions"], slots["num_bands"])
        elif function == "execute_expr_inplace":
            error, faults, expected = expect_execute(slots)
        else:
            error, expected = expect_kernel(function, slots)

    status, result = outcome_of(lambda: getattr(rastrel, function)(*positional, **keywords))
    if error is not None:
        assert status == "raised", f"returned {result!r}, expected {error}"
        error.check(result)
    elif faults is not None:
        assert status == "raised", "no fault"
        Raised.panic(None).check(result)
        assert str(result) in faults, (str(result), faults)
    else:
        assert status == "ok", f"raised {result!r}"
        if function == "compile_expr":
            assert type(result) is rastrel.CompiledExpr
        elif function == "calculate_normalized_difference":
            assert result.flags.c_contiguous and result.base is None
            assert_bits_equal(result, expected)
        else:
            assert result is None
            assert_bits_equal(slots["out_buffer"], expected)

    # Nothing but the output's elements changed, and those only if the loop ran.
    ran = error is None and function not in ("compile_expr", "calculate_normalized_difference")
    for key, root in roots.items():
        changed = before[key] != memory_of(root)
        if ran:
            changed[element_bytes(slots["out_buffer"], root) if root_of(slots["out_buffer"]) is root else []] = False
        assert not changed.any(), f"bytes {np.flatnonzero(changed)[:8]} of a buffer changed"

    assert_nothing_borrowed(arrays)


def test_unexpected_keyword_named_by_its_str_even_when_utf8_cannot_encode_it():
    with pytest.raises(TypeError) as excinfo:
        rastrel.calculate_ratio_inplace(**{"\ud800x": 1})
    assert str(excinfo.value) == "calculate_ratio_inplace() got an unexpected keyword argument '\ud800x'"


@pytest.mark.parametrize("function", list(FUNCTIONS))
@budget(60)
@given(data=st.data())
def test_arbitrary_arguments(function, data):
    run_and_check(function, data.draw(call(function)))
