"""What calls hold on to: every reference a call takes is given back and memory stays flat, on
success and on every error path, for single calls, for programs compiled and run, and over many
mixed calls. CPython only: PyPy has no reference counts to read.

The mixed run makes 50,000 calls in every run of the suite; RASTREL_LEAK_CALLS sets another number
(for example a million for the long check)."""
import gc
import os
import sys

import numpy as np
import pytest

import rastrel
from rastrel_testing import IS_PYPY, UNDER_SANITIZER, band, ops, random_band, resident_bytes, scalar

pytestmark = pytest.mark.skipif(IS_PYPY, reason="PyPy has no sys.getrefcount")


class FloatRaises:
    def __init__(self, cls):
        self.cls = cls

    def __float__(self):
        raise self.cls("float")


# ---------------------------------------------------------------------------------------------
# One call at a time: the reference count of every argument.

REPEATS = 200


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
    for _ in range(REPEATS):
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
    import tracemalloc  # CPython only

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


# ---------------------------------------------------------------------------------------------
# Programs: compiled, failing to compile, run and failing to run.

# Long programs make any per-call leak of the instruction arrays large against the bound.
LONG = [scalar(1)] + [scalar(2), *ops("add")] * 40
SLACK = 4 << 20


def grows_by(action, times, warm_up=2000):
    """Resident memory gained by calling `action` `times` times, after a warm-up."""
    if UNDER_SANITIZER:
        pytest.skip("resident memory under AddressSanitizer includes its quarantine of freed blocks")
    for _ in range(warm_up):
        action()
    before = resident_bytes()
    for _ in range(times):
        action()
    return resident_bytes() - before


def refcounts(*objects):
    # Called outside assert statements: pytest's rewriting keeps temporaries that hold references.
    # Collected first, so that garbage of earlier tests (a CompiledExpr in a cycle holds its
    # class) is not freed in between and counted as a change.
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def failing(action, error):
    def call():
        try:
            action()
        except error:
            return
        raise AssertionError("the call succeeded")

    return call


def test_compiled_programs_are_freed():
    kind = rastrel.CompiledExpr
    steps = LONG[:3]
    before = refcounts(kind, *steps)
    # Each instance holds a reference to its class, so a leaked instance shows there too.
    assert grows_by(lambda: rastrel.compile_expr(LONG, 2), 100_000) < SLACK
    assert refcounts(kind, *steps) == before


@pytest.mark.parametrize(
    "bad, error",
    [({"type": "bad"}, ValueError), ({"type": 7}, TypeError), (band(-1), OverflowError), ({}, KeyError)],
)
def test_a_failed_compilation_leaves_nothing_behind(bad, error):
    program = LONG + [bad]
    watched = (rastrel.CompiledExpr, bad, *LONG[:3])
    before = refcounts(*watched)
    assert grows_by(failing(lambda: rastrel.compile_expr(program, 1), error), 20_000) < SLACK
    assert refcounts(*watched) == before


def test_running_a_program_holds_nothing_afterwards():
    a = np.arange(16, dtype=np.uint16).reshape(4, 4)
    b = np.ones((4, 4), dtype=np.uint16)
    bands = [a, b]
    out = np.zeros((4, 4), dtype=np.float32)
    expr = rastrel.compile_expr(LONG + [band(0), band(1), *ops("mul", "add")], 2)
    before = refcounts(a, b, bands, out, expr)
    assert grows_by(lambda: rastrel.execute_expr_inplace(expr, bands, out), 10_000, warm_up=500) < SLACK
    assert refcounts(a, b, bands, out, expr) == before
    assert (out == 81 + np.arange(16).reshape(4, 4)).all()


def faulting(a, b, out):
    return rastrel.compile_expr([band(0), *ops("add")], 2), [a, b], out


def mismatched(a, b, out):
    return rastrel.compile_expr([band(0)], 3), [a, b], out


def refused(a, b, out):
    return rastrel.compile_expr([band(0)], 3), [a, b, out.view(np.uint16)], out


def wrong_output(a, b, out):
    return rastrel.compile_expr([band(0)], 2), [a, b], out.astype(np.float64)


@pytest.mark.parametrize(
    "make_call, error",
    [(faulting, BaseException), (mismatched, ValueError), (refused, BaseException), (wrong_output, TypeError)],
)
def test_a_failing_call_gives_back_what_it_took(make_call, error):
    a = np.zeros((4, 4), dtype=np.uint16)
    b = np.ones((4, 4), dtype=np.uint16)
    out = np.zeros((4, 4), dtype=np.float32)
    expr, bands, target = make_call(a, b, out)
    before = refcounts(a, b, out, expr, bands, target)
    assert grows_by(failing(lambda: rastrel.execute_expr_inplace(expr, bands, target), error), 2000, 200) < SLACK
    assert refcounts(a, b, out, expr, bands, target) == before
    # No borrow was left behind either.
    rastrel.execute_expr_inplace(rastrel.compile_expr([band(1)], 2), [a, b], out)
    assert (out == 1).all()


# ---------------------------------------------------------------------------------------------
# Many mixed calls, succeeding and failing in every way: resident memory stays flat, every argument
# keeps its reference count, and the number of objects the collector tracks does not grow.

CALLS = int(os.environ.get("RASTREL_LEAK_CALLS", "50000"))
WARM_UP = 5000


def mixed_arguments():
    rng = np.random.default_rng(7)
    a, b, c = (random_band(rng, (6, 9)) for _ in range(3))
    out = np.zeros((6, 9), np.float32)
    steps = [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 0.5}, {"type": "mul"},
             {"type": "push_band", "index": 1}, {"type": "add"}]
    return {
        "a": a, "b": b, "c": c, "out": out, "steps": steps,
        "bands": [a, b], "expr": rastrel.compile_expr(steps, 2),
        "short": a[:5], "overlap": out.view(np.uint16)[:, :9], "readonly": np.zeros((6, 9), np.float32)[...],
        "f64": np.zeros((6, 9)), "text": "not a number", "raises": FloatRaises(ValueError), "huge": 10**400,
        "bad_steps": steps[:2] + [{"type": "nope"}], "underflow": rastrel.compile_expr([{"type": "add"}], 0),
    }


def mixed_calls(x):
    x["readonly"].flags.writeable = False
    r = rastrel
    return [
        lambda: r.calculate_normalized_difference_inplace(x["a"], x["b"], x["out"]),
        lambda: r.calculate_ratio_inplace(band_a=x["a"], band_b=x["b"], out_buffer=x["out"]),
        lambda: r.calculate_adjusted_difference_inplace(x["a"], x["b"], 0.5, x["out"]),
        lambda: r.calculate_evi_inplace(x["a"], x["b"], x["c"], 2.5, 6.1, 7.3, 1.05, x["out"]),
        lambda: r.calculate_normalized_difference(x["a"], x["b"]),
        lambda: r.compile_expr(x["steps"], 2),
        lambda: r.execute_expr_inplace(x["expr"], x["bands"], x["out"]),
        # Failing ones: binding, conversion, shape, band count, borrows, program faults.
        lambda: r.calculate_ratio_inplace(x["a"], x["b"], x["out"], x["out"]),
        lambda: r.calculate_evi_inplace(x["a"], x["b"], x["c"], 2.5, x["text"], 7.3, 1.05, x["out"]),
        lambda: r.calculate_adjusted_difference_inplace(x["a"], x["b"], x["raises"], x["out"]),
        lambda: r.calculate_adjusted_difference_inplace(x["a"], x["b"], x["huge"], x["out"]),
        lambda: r.calculate_normalized_difference_inplace(x["a"], x["b"], x["f64"]),
        lambda: r.calculate_normalized_difference(x["a"], x["short"]),
        lambda: r.compile_expr(x["bad_steps"], 2),
        lambda: r.compile_expr(x["steps"], x["text"]),
        lambda: r.execute_expr_inplace(x["expr"], x["bands"][:1], x["out"]),
        lambda: r.execute_expr_inplace(x["expr"], [x["a"], x["overlap"]], x["out"]),
        lambda: r.calculate_ratio_inplace(x["a"], x["b"], x["readonly"]),
        lambda: r.execute_expr_inplace(x["underflow"], [], x["out"]),
        lambda: r.execute_expr_inplace(x["expr"], [x["a"], x["short"]], x["out"]),
    ]


def run_all(functions, count):
    outcomes = 0
    n = len(functions)
    for i in range(count):
        try:
            functions[i % n]()
        except BaseException:  # noqa: B036 - the fault exception derives from BaseException
            outcomes += 1
    return outcomes


@pytest.mark.timeout(600 + CALLS // 500)
def test_mixed_calls_leave_no_trace():
    x = mixed_arguments()
    functions = mixed_calls(x)
    failing = run_all(functions, WARM_UP)
    assert failing == WARM_UP * 13 // len(functions)  # every failing kind failed, every good one did not
    watched = list(x.values()) + x["steps"] + x["bad_steps"] + [rastrel.CompiledExpr]
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    tracked = len(gc.get_objects())
    before = resident_bytes()
    run_all(functions, CALLS)
    grown = resident_bytes() - before
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert len(gc.get_objects()) - tracked < 100
    print(f"\n{CALLS} calls: resident memory {before / 2**20:.1f} MiB before, {(before + grown) / 2**20:.1f} MiB after")
    if not UNDER_SANITIZER:
        # Catches a leak of more than about 20 bytes per call at 50,000 calls, 4 at a million.
        assert grown < max(1 << 20, CALLS * 4), f"resident memory grew by {grown} bytes over {CALLS} calls"
