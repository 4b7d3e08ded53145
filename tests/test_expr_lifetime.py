"""What compiling and running programs holds on to: memory stays flat and every reference taken
is given back, after successful and failing calls alike."""
import gc
import os
import sys

import numpy as np
import pytest

import rastrel
from conftest import UNDER_SANITIZER
from exprutil import IS_PYPY, band, ops, scalar

pytestmark = pytest.mark.skipif(IS_PYPY, reason="PyPy has no sys.getrefcount")

# Long programs make any per-call leak of the instruction arrays large against the bound.
LONG = [scalar(1)] + [scalar(2), *ops("add")] * 40
SLACK = 4 << 20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


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
