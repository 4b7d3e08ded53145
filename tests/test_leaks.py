"""Many mixed calls, succeeding and failing in every way, leave no trace: resident memory stays
flat, every argument keeps its reference count, and the number of objects the collector tracks
does not grow. 50,000 calls in every run; RASTREL_LEAK_CALLS sets another number (for example a
million for the long check). CPython only: PyPy has no reference counts to read."""
import gc
import os
import sys

import numpy as np
import pytest

import rastrel
from conftest import IS_PYPY, UNDER_SANITIZER, random_band

pytestmark = pytest.mark.skipif(IS_PYPY, reason="PyPy has no sys.getrefcount")

CALLS = int(os.environ.get("RASTREL_LEAK_CALLS", "50000"))
WARM_UP = 5000


class FloatRaises:
    def __float__(self):
        raise ValueError("no float")


def arguments():
    rng = np.random.default_rng(7)
    a, b, c = (random_band(rng, (6, 9)) for _ in range(3))
    out = np.zeros((6, 9), np.float32)
    steps = [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 0.5}, {"type": "mul"},
             {"type": "push_band", "index": 1}, {"type": "add"}]
    return {
        "a": a, "b": b, "c": c, "out": out, "steps": steps,
        "bands": [a, b], "expr": rastrel.compile_expr(steps, 2),
        "short": a[:5], "overlap": out.view(np.uint16)[:, :9], "readonly": np.zeros((6, 9), np.float32)[...],
        "f64": np.zeros((6, 9)), "text": "not a number", "raises": FloatRaises(), "huge": 10**400,
        "bad_steps": steps[:2] + [{"type": "nope"}], "underflow": rastrel.compile_expr([{"type": "add"}], 0),
    }


def calls(x):
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


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(functions, count):
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
    x = arguments()
    functions = calls(x)
    failing = run(functions, WARM_UP)
    assert failing == WARM_UP * 13 // len(functions)  # every failing kind failed, every good one did not
    watched = list(x.values()) + x["steps"] + x["bad_steps"] + [rastrel.CompiledExpr]
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    tracked = len(gc.get_objects())
    before = resident_bytes()
    run(functions, CALLS)
    grown = resident_bytes() - before
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert len(gc.get_objects()) - tracked < 100
    print(f"\n{CALLS} calls: resident memory {before / 2**20:.1f} MiB before, {(before + grown) / 2**20:.1f} MiB after")
    if not UNDER_SANITIZER:
        # Catches a leak of more than about 20 bytes per call at 50,000 calls, 4 at a million.
        assert grown < max(1 << 20, CALLS * 4), f"resident memory grew by {grown} bytes over {CALLS} calls"
