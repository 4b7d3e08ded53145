"""Every call gives back every reference it takes, on success and on every error path."""
import sys

import numpy as np
import pytest

import rastrel
from conftest import IS_PYPY

pytestmark = pytest.mark.skipif(IS_PYPY, reason="PyPy has no sys.getrefcount")

CALLS = 200


class FloatRaises:
    def __init__(self, cls):
        self.cls = cls

    def __float__(self):
        raise self.cls("float")


def arguments():
    rng = np.random.default_rng(0)
    a, b, c = (rng.integers(0, 65536, (6, 7), dtype=np.uint16) for _ in range(3))
    return {
        "a": a, "b": b, "c": c,
        "out": np.zeros((6, 7), np.float32),
        "wide": np.zeros((6, 8), np.uint16),
        "wide_out": np.zeros((6, 8), np.float32),
        "f64": np.zeros((6, 7), np.float64),
        "odd": np.ndarray((6, 7), np.uint16, buffer=np.zeros(256, np.uint8), strides=(15, 2)),
        "l": float("1.05"), "g": float("2.5"), "c1": float("6.1"), "c2": float("7.3"),
        "text": "".join(["no", "t a number"]),
        "huge": 10**400,
        "items": [{"type": "push_band", "index": 0}, {"type": "add"}],
        "raises_type": FloatRaises(TypeError),
        "raises_value": FloatRaises(ValueError),
    }


nd_new = rastrel.calculate_normalized_difference
nd = rastrel.calculate_normalized_difference_inplace
ratio = rastrel.calculate_ratio_inplace
adjusted = rastrel.calculate_adjusted_difference_inplace
evi = rastrel.calculate_evi_inplace

CASES = {
    # Successful calls.
    "nd_new": lambda x: nd_new(x["a"], x["b"]),
    "nd": lambda x: nd(x["a"], x["b"], x["out"]),
    "ratio_keywords": lambda x: ratio(out_buffer=x["out"], band_b=x["b"], band_a=x["a"]),
    "adjusted": lambda x: adjusted(x["a"], x["b"], x["l"], x["out"]),
    "evi": lambda x: evi(x["a"], x["b"], x["c"], x["g"], x["c1"], x["c2"], x["l"], x["out"]),
    "evi_same_band": lambda x: evi(x["a"], x["a"], x["a"], x["g"], x["c1"], x["c2"], x["l"], out_buffer=x["out"]),
    # Binding errors.
    "too_many": lambda x: nd_new(x["a"], x["b"], x["c"]),
    "unexpected_keyword": lambda x: ratio(x["a"], x["b"], x["out"], out=x["out"]),
    "duplicate": lambda x: adjusted(x["a"], x["b"], x["l"], band_b=x["b"]),
    "missing": lambda x: evi(x["a"], x["b"], l=x["l"]),
    # Conversion errors, early and late in the parameter list.
    "bad_first_band": lambda x: evi(x["f64"], x["b"], x["c"], x["g"], x["c1"], x["c2"], x["l"], x["out"]),
    "bad_output": lambda x: evi(x["a"], x["b"], x["c"], x["g"], x["c1"], x["c2"], x["l"], x["f64"]),
    "bad_float": lambda x: evi(x["a"], x["b"], x["c"], x["g"], x["c1"], x["text"], x["l"], x["out"]),
    "float_overflow": lambda x: adjusted(x["a"], x["b"], x["huge"], x["out"]),
    "float_raises_type_error": lambda x: adjusted(x["a"], x["b"], x["raises_type"], x["out"]),
    "float_raises_value_error": lambda x: adjusted(x["a"], x["b"], x["raises_value"], x["out"]),
    "odd_strides": lambda x: ratio(x["a"], x["odd"], x["out"]),
    "bad_band_of_new": lambda x: nd_new(x["a"], x["f64"]),
    # Shape mismatches.
    "shape_new": lambda x: nd_new(x["a"], x["wide"]),
    "shape_band": lambda x: ratio(x["a"], x["wide"], x["out"]),
    "shape_output": lambda x: evi(x["a"], x["b"], x["c"], x["g"], x["c1"], x["c2"], x["l"], x["wide_out"]),
    # The expression functions' conversions.
    "instructions_then_bad_num_bands": lambda x: rastrel.compile_expr(x["items"], x["text"]),
    "bad_instructions": lambda x: rastrel.compile_expr(x["text"], 1),
    "bad_expr": lambda x: rastrel.execute_expr_inplace(x["items"], [x["a"]], x["out"]),
}


def tracked(x):
    return list(x.values()) + list(x["items"]) + [np.dtype(np.uint16), np.dtype(np.float32)]


def call_discarding(call_, x):
    try:
        call_(x)
    except (TypeError, ValueError, OverflowError):
        pass


@pytest.mark.parametrize("case", list(CASES))
def test_arguments_keep_their_reference_counts(case):
    x = arguments()
    call_discarding(CASES[case], x)  # first-use caches are filled here
    objects = tracked(x)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(CALLS):
        call_discarding(CASES[case], x)
    after = [sys.getrefcount(o) for o in objects]
    changed = {i: (b, a) for i, (b, a) in enumerate(zip(before, after)) if b != a}
    assert not changed, changed


def test_new_array_is_owned_by_the_caller_alone():
    x = arguments()
    result = nd_new(x["a"], x["b"])
    assert sys.getrefcount(result) == 2  # the variable and getrefcount's argument
    assert result.base is None


def test_new_array_is_freed_on_shape_mismatch():
    import tracemalloc

    a, b = np.ones((512, 512), np.uint16), np.ones((512, 511), np.uint16)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(20):
            with pytest.raises(ValueError):
                nd_new(a, b)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 512 * 512 * 4, grown  # less than one leaked result
