"""Binding of arguments to parameters and their conversion, with the exact messages."""
import fractions
import re

import numpy as np
import pytest

import rastrel
from rastrel_testing import IS_PYPY, assert_bits_equal, cpython_only, random_band

pytestmark = pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")

PARAMETERS = {
    "calculate_normalized_difference_inplace": ("band_a", "band_b", "out_buffer"),
    "calculate_ratio_inplace": ("band_a", "band_b", "out_buffer"),
    "calculate_adjusted_difference_inplace": ("band_a", "band_b", "l", "out_buffer"),
    "calculate_evi_inplace": ("nir", "red", "blue", "g", "c1", "c2", "l", "out_buffer"),
    "calculate_normalized_difference": ("band_a", "band_b"),
}
BANDS = {"band_a", "band_b", "nir", "red", "blue"}
ARRAY_PARAMETERS = [(f, p) for f, ps in PARAMETERS.items() for p in ps if p in BANDS or p == "out_buffer"]
FLOAT_PARAMETERS = [(f, p) for f, ps in PARAMETERS.items() for p in ps if p not in BANDS and p != "out_buffer"]
SHAPE = (4, 5)


def good_arguments(function, shape=SHAPE):
    rng = np.random.default_rng(0)
    arguments = {}
    for name in PARAMETERS[function]:
        if name in BANDS:
            arguments[name] = random_band(rng, shape)
        elif name == "out_buffer":
            arguments[name] = np.full(shape, 9.0, dtype=np.float32)
        else:
            arguments[name] = 1.5
    return arguments


def call(function, arguments):
    """Calls positionally, in parameter order."""
    return getattr(rastrel, function)(*(arguments[p] for p in PARAMETERS[function]))


def raises_exactly(cls, message, call_):
    with pytest.raises(BaseException) as excinfo:
        call_()
    assert type(excinfo.value) is cls, repr(excinfo.value)
    assert str(excinfo.value) == message
    return excinfo.value


def not_array(parameter, type_name):
    return f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


def not_whole_elements(parameter, strides, item):
    return (
        f"argument '{parameter}': array strides {strides} are not multiples of its item size ({item}); "
        "pass a copy, for example numpy.ascontiguousarray(...)"
    )


# ---------------------------------------------------------------------------------------------
# Binding.

u16 = np.zeros((2, 2), np.uint16)
f32 = np.zeros((2, 2), np.float32)
nd, ratio, adjusted, evi = (
    rastrel.calculate_normalized_difference,
    rastrel.calculate_ratio_inplace,
    rastrel.calculate_adjusted_difference_inplace,
    rastrel.calculate_evi_inplace,
)


@pytest.mark.parametrize(
    "call_, message",
    [
        (lambda: nd(u16, u16, u16), "calculate_normalized_difference() takes 2 positional arguments but 3 were given"),
        (lambda: evi(*[u16] * 9), "calculate_evi_inplace() takes 8 positional arguments but 9 were given"),
        (lambda: ratio(u16, u16, f32, out=f32), "calculate_ratio_inplace() got an unexpected keyword argument 'out'"),
        (lambda: ratio(u16, u16, Out_Buffer=f32), "calculate_ratio_inplace() got an unexpected keyword argument 'Out_Buffer'"),
        (lambda: ratio(u16, u16, **{"out_bufférs": f32}), "calculate_ratio_inplace() got an unexpected keyword argument 'out_bufférs'"),
        (lambda: ratio(u16, band_a=u16), "calculate_ratio_inplace() got multiple values for argument 'band_a'"),
        (lambda: evi(u16, u16, u16, 1, 1, 1, 1, f32, l=1), "calculate_evi_inplace() got multiple values for argument 'l'"),
        (lambda: ratio(u16), "calculate_ratio_inplace() missing 2 required positional arguments: 'band_b' and 'out_buffer'"),
        (lambda: ratio(u16, u16), "calculate_ratio_inplace() missing 1 required positional argument: 'out_buffer'"),
        (lambda: adjusted(u16, u16, out_buffer=f32), "calculate_adjusted_difference_inplace() missing 1 required positional argument: 'l'"),
        (lambda: nd(band_b=u16), "calculate_normalized_difference() missing 1 required positional argument: 'band_a'"),
        (lambda: evi(u16, u16, u16, c2=1, l=1), "calculate_evi_inplace() missing 3 required positional arguments: 'g', 'c1', and 'out_buffer'"),
        (lambda: evi(red=u16, l=1), "calculate_evi_inplace() missing 6 required positional arguments: 'nir', 'blue', 'g', 'c1', 'c2', and 'out_buffer'"),
        (lambda: evi(), "calculate_evi_inplace() missing 8 required positional arguments: 'nir', 'red', 'blue', 'g', 'c1', 'c2', 'l', and 'out_buffer'"),
        # Too many positional arguments come before a keyword that is unknown or duplicated.
        (lambda: ratio(u16, u16, f32, u16, out=f32), "calculate_ratio_inplace() takes 3 positional arguments but 4 were given"),
        (lambda: ratio(u16, u16, f32, u16, band_a=u16), "calculate_ratio_inplace() takes 3 positional arguments but 4 were given"),
        # A duplicate wins over missing parameters; the first offending keyword is the one reported.
        (lambda: evi(u16, nir=u16), "calculate_evi_inplace() got multiple values for argument 'nir'"),
        (lambda: ratio(u16, out=1, band_a=u16), "calculate_ratio_inplace() got an unexpected keyword argument 'out'"),
        (lambda: ratio(u16, band_a=u16, out=1), "calculate_ratio_inplace() got multiple values for argument 'band_a'"),
        # Binding comes before any conversion.
        (lambda: ratio("x", "y"), "calculate_ratio_inplace() missing 1 required positional argument: 'out_buffer'"),
        (lambda: adjusted("x", "y", "z", "w", w=1), "calculate_adjusted_difference_inplace() got an unexpected keyword argument 'w'"),
    ],
)
def test_binding_errors(call_, message):
    raises_exactly(TypeError, message, call_)


@pytest.mark.parametrize("function", list(PARAMETERS))
def test_keywords_in_any_order_bind_like_positions(function):
    names = PARAMETERS[function]
    reference = good_arguments(function)
    expected = call(function, reference)
    expected = reference.get("out_buffer", expected)
    rng = np.random.default_rng(1)
    for order in [names, names[::-1]] + [tuple(rng.permutation(names)) for _ in range(4)]:
        for positional in (0, len(names) // 2):
            arguments = good_arguments(function)
            keywords = {n: arguments[n] for n in order if n not in names[:positional]}
            result = getattr(rastrel, function)(*(arguments[n] for n in names[:positional]), **keywords)
            assert_bits_equal(arguments.get("out_buffer", result), expected)


# ---------------------------------------------------------------------------------------------
# Array arguments.


class Outer:
    class Inner:
        pass


NOT_ACCEPTED = [
    ("list", lambda dtype: [[0, 1], [2, 3]], "list"),
    ("none", lambda dtype: None, "NoneType"),
    ("nested_class", lambda dtype: Outer.Inner(), "Outer.Inner"),
    ("scalar", lambda dtype: dtype(1), {np.uint16: "uint16", np.float32: "float32"}),
    ("zero_d", lambda dtype: np.zeros((), dtype), "ndarray"),
    ("one_d", lambda dtype: np.zeros(4, dtype), "ndarray"),
    ("three_d", lambda dtype: np.zeros((2, 2, 1), dtype), "ndarray"),
    ("float64", lambda dtype: np.zeros((2, 2), np.float64), "ndarray"),
    ("int16", lambda dtype: np.zeros((2, 2), np.int16), "ndarray"),
    ("uint8", lambda dtype: np.zeros((2, 2), np.uint8), "ndarray"),
    ("uint32", lambda dtype: np.zeros((2, 2), np.uint32), "ndarray"),
    ("float16", lambda dtype: np.zeros((2, 2), np.float16), "ndarray"),
    ("big_endian", lambda dtype: np.zeros((2, 2), np.dtype(dtype).newbyteorder(">")), "ndarray"),
    ("other_kind", lambda dtype: np.zeros((2, 2), np.float32 if dtype is np.uint16 else np.uint16), "ndarray"),
    ("matrix_float64", lambda dtype: np.matrix(np.zeros((2, 2))), "matrix"),
]


@pytest.mark.parametrize("case, make, type_name", NOT_ACCEPTED, ids=[c[0] for c in NOT_ACCEPTED])
@pytest.mark.parametrize("function, parameter", ARRAY_PARAMETERS)
def test_array_not_accepted(function, parameter, case, make, type_name):
    dtype = np.uint16 if parameter in BANDS else np.float32
    if isinstance(type_name, dict):
        type_name = type_name[dtype]
    arguments = good_arguments(function)
    arguments[parameter] = make(dtype)
    raises_exactly(TypeError, not_array(parameter, type_name), lambda: call(function, arguments))
    if "out_buffer" in arguments and parameter != "out_buffer":
        assert (arguments["out_buffer"] == 9.0).all()


class Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("wrap", [np.matrix, lambda a: a.view(Subclass)], ids=["matrix", "subclass"])
@pytest.mark.parametrize("function", list(PARAMETERS))
def test_array_subclasses_are_accepted(function, wrap):
    plain = good_arguments(function)
    expected = call(function, plain)
    expected = plain.get("out_buffer", expected)
    wrapped = {n: wrap(v) if isinstance(v, np.ndarray) else v for n, v in good_arguments(function).items()}
    result = call(function, wrapped)
    assert_bits_equal(np.asarray(wrapped.get("out_buffer", result)), expected)


def odd_strides(dtype):
    """A (3, 4) array whose row stride is not a whole number of elements."""
    item = np.dtype(dtype).itemsize
    return np.ndarray((3, 4), dtype, buffer=np.zeros(64, np.uint8), strides=(4 * item + 1, item))


@pytest.mark.parametrize(
    "make",
    [
        odd_strides,
        lambda dtype: odd_strides(dtype)[::-1],
        lambda dtype: np.lib.stride_tricks.as_strided(np.zeros(40, dtype), (3, 4), (np.dtype(dtype).itemsize * 4, 3)),
        lambda dtype: np.zeros((3, 4), dtype=[("a", "u1"), ("b", dtype)])["b"],
    ],
    ids=["odd_rows", "odd_reversed_rows", "odd_columns", "packed_field"],
)
@pytest.mark.parametrize("function, parameter", ARRAY_PARAMETERS)
def test_strides_that_are_not_whole_elements_are_refused(function, parameter, make):
    dtype = np.uint16 if parameter in BANDS else np.float32
    bad = make(dtype)
    assert bad.dtype == dtype
    arguments = good_arguments(function, shape=(3, 4))
    arguments[parameter] = bad
    message = not_whole_elements(parameter, bad.strides, np.dtype(dtype).itemsize)
    raises_exactly(ValueError, message, lambda: call(function, arguments))
    for name, value in arguments.items():
        if name == "out_buffer" and value is not bad:
            assert (value == 9.0).all()


def test_odd_stride_on_an_axis_of_length_one_is_harmless():
    a = np.ndarray((1, 6), np.uint16, buffer=np.zeros(64, np.uint8), strides=(7, 2))
    b = np.ndarray((6, 1), np.uint16, buffer=np.zeros(64, np.uint8), offset=1, strides=(2, 9))
    out = np.ndarray((1, 6), np.float32, buffer=np.zeros(64, np.uint8), offset=3, strides=(5, 4))
    a[...] = [[1, 2, 3, 4, 5, 6]]
    b[...] = [[6], [5], [4], [3], [2], [1]]
    rastrel.calculate_ratio_inplace(a, b.T, out)
    assert_bits_equal(out, np.float32([[1, 2, 3, 4, 5, 6]]) / np.float32([[6, 5, 4, 3, 2, 1]]))


# ---------------------------------------------------------------------------------------------
# Float arguments.


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class IndexOnly:
    def __index__(self):
        return 3


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "value, cpython_message",
    [
        ("x", "must be real number, not str"),
        (None, "must be real number, not NoneType"),
        ([1.0], "must be real number, not list"),
        (1j, "must be real number, not complex"),
    ],
)
@pytest.mark.parametrize("function, parameter", FLOAT_PARAMETERS)
def test_float_refused_with_parameter_name(function, parameter, value, cpython_message):
    arguments = good_arguments(function)
    arguments[parameter] = value
    arguments["out_buffer"] = [1.0]  # a bad output is reported after the coefficients
    with pytest.raises(TypeError) as excinfo:
        call(function, arguments)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(f"argument '{parameter}': ")
    if not IS_PYPY:
        assert str(excinfo.value) == f"argument '{parameter}': {cpython_message}"


@pytest.mark.parametrize("function, parameter", FLOAT_PARAMETERS)
def test_float_overflow_is_not_prefixed(function, parameter):
    arguments = good_arguments(function)
    arguments[parameter] = 10**400
    raises_exactly(OverflowError, "int too large to convert to float", lambda: call(function, arguments))


def test_errors_of_the_float_conversion():
    cause = KeyError("root")
    with pytest.raises(TypeError) as excinfo:
        adjusted(u16, u16, FloatRaises(TypeError("inner")), f32)
    # Replaced by a prefixed TypeError that keeps the original's cause but not the original.
    assert str(excinfo.value) == "argument 'l': inner" and type(excinfo.value) is TypeError
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as excinfo:
        adjusted(u16, u16, FloatRaises(inner), f32)
    assert excinfo.value.__cause__ is cause
    assert excinfo.value is not inner and excinfo.value.__context__ is not inner
    # Anything but exactly TypeError passes unchanged.
    for error in (TypeErrorSubclass("sub"), ValueError("value"), ZeroDivisionError("zero")):
        with pytest.raises(type(error)) as excinfo:
            adjusted(u16, u16, FloatRaises(error), f32)
        assert excinfo.value is error and str(excinfo.value) == str(error)


FLOAT32_ROUNDS_TO_INFINITY = (2 - 2.0**-24) * 2.0**127  # halfway between the largest float32 and 2**128


def evi_gain(g):
    """calculate_evi_inplace with n = 1 and everything else 0 computes g * (1 / 1): the float32
    that the gain was converted to."""
    out = np.full((2, 5), 7.0, np.float32)
    bands = [np.full((2, 5), v, np.uint16) for v in (1, 0, 0)]
    rastrel.calculate_evi_inplace(*bands, g, 0.0, 0.0, 0.0, out)
    assert (out.view(np.uint32) == out.view(np.uint32)[0, 0]).all()
    return out[0, 0]


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1.0),
        (False, 0.0),
        (3, 3.0),
        (-2, -2.0),
        (2**24 + 1, 2.0**24),  # a tie, rounded to even
        (2**24 + 3, 2.0**24 + 4),
        (0.1, np.float32(0.1)),
        (1 + 2.0**-24, 1.0),
        (1 + 2.0**-24 + 2.0**-40, 1 + 2.0**-23),
        (-(1 + 2.0**-24 + 2.0**-40), -(1 + 2.0**-23)),
        (1e-46, 0.0),
        (-1e-46, -0.0),
        (1e-40, np.float32(1e-40)),
        (np.nextafter(FLOAT32_ROUNDS_TO_INFINITY, 0), np.finfo(np.float32).max),
        (FLOAT32_ROUNDS_TO_INFINITY, np.inf),
        (1e39, np.inf),
        (-(10**39), -np.inf),
        (np.float64(2.2), np.float32(2.2)),
        (np.float32(0.3), np.float32(0.3)),
        (np.uint16(7), 7.0),
        (fractions.Fraction(1, 3), np.float32(1 / 3)),
        (np.array(0.7), np.float32(0.7)),
    ],
)
def test_float_arguments_round_to_nearest_float32(value, expected):
    got = evi_gain(value)
    assert np.float32(expected).view(np.uint32) == got.view(np.uint32), (got, expected)


def test_nan_argument_stays_nan():
    assert np.isnan(evi_gain(float("nan")))


@cpython_only("PyPy's float conversion refuses an object that has only __index__")
def test_float_argument_from_index_only():
    assert evi_gain(IndexOnly()) == 3.0


def test_int_l_is_the_float():
    rng = np.random.default_rng(2)
    a, b = random_band(rng, (8, 9)), random_band(rng, (8, 9))
    outs = [np.empty((8, 9), np.float32) for _ in range(2)]
    adjusted(a, b, 3, outs[0])
    adjusted(a, b, 3.0, outs[1])
    assert_bits_equal(outs[0], outs[1])


# ---------------------------------------------------------------------------------------------
# Order of conversion: parameter order, whatever the order of the keywords; conversions before
# the shape check.

bad_out = np.zeros((2, 2), np.float64)


@pytest.mark.parametrize(
    "call_, exception, message",
    [
        (lambda: evi(u16, u16, [1], "g", 1, 1, 1, f32), TypeError, not_array("blue", "list")),
        (lambda: evi(u16, u16, u16, "g", "c1", 1, 1, f32), TypeError, "argument 'g': must be real number, not str"),
        (lambda: evi(u16, u16, u16, 1, 1, "c2", "l", f32), TypeError, "argument 'c2': must be real number, not str"),
        (lambda: evi(u16, u16, u16, 1, 1, 1, None, bad_out), TypeError, "argument 'l': must be real number, not NoneType"),
        (lambda: evi(out_buffer=bad_out, l="l", c2=1, c1=1, g=1, blue=u16, red=u16, nir=f32), TypeError, not_array("nir", "ndarray")),
        (lambda: evi(u16, u16, u16, 1, 1, 1, 10**400, bad_out), OverflowError, "int too large to convert to float"),
        (lambda: adjusted(u16, u16, "l", bad_out), TypeError, "argument 'l': must be real number, not str"),
        (lambda: adjusted(u16, f32, "l", bad_out), TypeError, not_array("band_b", "ndarray")),
        (lambda: ratio(out_buffer=None, band_b=None, band_a=u16), TypeError, not_array("band_b", "NoneType")),
        # Conversions come before the shape check.
        (lambda: ratio(np.zeros((3, 3), np.uint16), u16, bad_out), TypeError, not_array("out_buffer", "ndarray")),
        (lambda: nd(np.zeros((3, 3), np.uint16), None), TypeError, not_array("band_b", "NoneType")),
        # The stride check is part of each array's conversion.
        (lambda: ratio(odd_strides(np.uint16), None, None), ValueError, not_whole_elements("band_a", (9, 2), 2)),
        (lambda: ratio(u16, None, odd_strides(np.float32)), TypeError, not_array("band_b", "NoneType")),
        (lambda: adjusted(u16, u16, "l", odd_strides(np.float32)), TypeError, "argument 'l': must be real number, not str"),
        (lambda: adjusted(u16, u16, 1, odd_strides(np.float32)), ValueError, not_whole_elements("out_buffer", (17, 4), 4)),
    ],
)
def test_conversion_order(call_, exception, message):
    if IS_PYPY and "must be real number" in message:
        with pytest.raises(exception, match="^" + re.escape(message.split(":")[0] + ": ")):
            call_()
    else:
        raises_exactly(exception, message, call_)
