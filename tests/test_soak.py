"""Soak: eight Python threads call every function for a while with good arguments, bad arguments
and borrows that deliberately conflict on shared buffers. Every good call must give the exact
result, every bad one its exact error, every conflicting one either its exact result or the
refusal; nothing may hang, memory must stay flat, and no borrow may outlive the run.

RASTREL_SOAK_SECONDS sets the length (default 10 seconds)."""
import gc
import os
import threading
import time
from collections import Counter

import numpy as np
import pytest

import rastrel
from fuzzing import assert_nothing_borrowed
from rastrel_testing import (
    ALREADY_BORROWED,
    IS_PYPY,
    PANIC,
    UNDER_SANITIZER,
    assert_bits_equal,
    random_band,
    ref_adjusted_difference,
    ref_evi,
    ref_normalized_difference,
    ref_ratio,
    reference,
    resident_bytes,
)

# Shorter on the sanitizer build, whose run repeats the whole suite.
SECONDS = float(os.environ.get("RASTREL_SOAK_SECONDS", "5" if UNDER_SANITIZER else "10"))
THREADS = 8
SHAPE = (48, 80)
BIG = (384, 512)  # large enough that the pool splits it, so calls overlap for longer

# Read by everyone, written by no one.
_rng = np.random.default_rng(2024)
SAFE = [random_band(_rng, SHAPE) for _ in range(3)]
for _band in SAFE:
    _band.flags.writeable = False
SAFE_BIG = [random_band(_rng, BIG) for _ in range(2)]
for _band in SAFE_BIG:
    _band.flags.writeable = False

# Written and read by everyone, in ways that conflict. Every write stores 1.0 everywhere, so the
# buffer always holds the same values and a call that was granted its borrows knows its result.
CONTESTED = np.ones(BIG, np.float32)
CONTESTED_BANDS = CONTESTED.view(np.uint16)  # (384, 1024): 0 and 0x3F80, the halves of 1.0
ONES = np.ones(BIG, np.uint16)
ONES_WIDE = np.ones(CONTESTED_BANDS.shape, np.uint16)
for _band in (ONES, ONES_WIDE):
    _band.flags.writeable = False
ONE = rastrel.compile_expr([{"type": "push_scalar", "value": 1.0}], 0)
COPY = rastrel.compile_expr([{"type": "push_band", "index": 0}], 1)
OUTSIDE = rastrel.compile_expr([{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
                                {"type": "add"}], 2)
UNDERFLOW = rastrel.compile_expr([{"type": "push_band", "index": 0}, {"type": "mul"}], 1)
PROGRAM = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "sub"},
           {"type": "push_scalar", "value": 0.5}, {"type": "pow"}, {"type": "push_band", "index": 2}, {"type": "div"}]
SHARED_PROGRAM = rastrel.compile_expr(PROGRAM, 3)


def contested_reads(columns):
    expected = np.zeros((BIG[0], columns), np.float32)
    expected[:, 1::2] = 0x3F80
    return expected


class Failure(Exception):
    pass


def check_refused_or(call, check):
    """Runs a call whose borrows may conflict with another thread's: granted, its result must
    be right; refused, with exactly AlreadyBorrowed. Returns which."""
    try:
        call()
    except BaseException as error:  # noqa: B036
        kind = type(error)
        if (kind.__module__, kind.__name__) != PANIC or str(error) != ALREADY_BORROWED:
            raise
        return "refused"
    check()
    return "granted"


def raises_exactly(cls, message, call):
    try:
        call()
    except BaseException as error:  # noqa: B036
        kind = type(error)
        got = (kind.__module__, kind.__name__) if cls is PANIC else kind
        if got != cls or str(error) != message:
            raise Failure(f"{error!r}, expected {cls} {message!r}") from error
        return
    raise Failure(f"no error, expected {message!r}")


class Worker:
    def __init__(self, index):
        self.rng = np.random.default_rng(index)
        rng = self.rng
        self.bands = [random_band(rng, SHAPE) for _ in range(3)]
        self.out = np.empty(SHAPE, np.float32)
        self.big_out = np.empty(BIG, np.float32)
        self.wide_out = np.empty(CONTESTED_BANDS.shape, np.float32)
        a, b, c = self.bands
        self.expr = rastrel.compile_expr(PROGRAM, 3)  # each thread's own, and one shared by all
        self.calls = Counter()
        self.good = [
            (lambda o: rastrel.calculate_normalized_difference_inplace(a, b, o), ref_normalized_difference(a, b)),
            (lambda o: rastrel.calculate_ratio_inplace(a, b, o), ref_ratio(a, b)),
            (lambda o: rastrel.calculate_adjusted_difference_inplace(a, b, 0.5, o), ref_adjusted_difference(a, b, 0.5)),
            (lambda o: rastrel.calculate_evi_inplace(a, b, c, 2.5, 6.1, 7.3, 1.05, o), ref_evi(a, b, c, 2.5, 6.1, 7.3, 1.05)),
            (lambda o: rastrel.execute_expr_inplace(self.expr, [a, b, c], o), reference(PROGRAM, [a, b, c], SHAPE)),
            (lambda o: rastrel.execute_expr_inplace(SHARED_PROGRAM, (a, b, c), out_buffer=o), reference(PROGRAM, [a, b, c], SHAPE)),
            (lambda o: rastrel.calculate_ratio_inplace(SAFE[0], SAFE[1], o), ref_ratio(SAFE[0], SAFE[1])),
            (lambda o: rastrel.calculate_evi_inplace(*SAFE, 2.5, 6.1, 7.3, 1.05, out_buffer=o), ref_evi(*SAFE, 2.5, 6.1, 7.3, 1.05)),
        ]
        self.new_expected = ref_normalized_difference(SAFE[2], SAFE[0])
        self.big_expected = ref_normalized_difference(*SAFE_BIG)

    def step(self):
        rng = self.rng
        action = rng.integers(0, 100)
        if action < 30:
            call, expected = self.good[rng.integers(len(self.good))]
            self.out.fill(np.nan)
            call(self.out)
            assert_bits_equal(self.out, expected)
            self.calls["good"] += 1
        elif action < 35:
            result = rastrel.calculate_normalized_difference(SAFE[2], SAFE[0])
            assert_bits_equal(result, self.new_expected)
            self.calls["good"] += 1
        elif action < 40:
            self.big_out.fill(np.nan)
            rastrel.calculate_normalized_difference_inplace(*SAFE_BIG, self.big_out)
            assert_bits_equal(self.big_out, self.big_expected)
            self.calls["good"] += 1
        elif action < 55:
            self.bad(rng.integers(0, 8))
            self.calls["bad"] += 1
        elif action < 60:
            rastrel.compile_expr(PROGRAM[: rng.integers(0, len(PROGRAM) + 1)], 3)
            raises_exactly(ValueError, "Unknown op: Add", lambda: rastrel.compile_expr([{"type": "Add"}], 1))
            self.calls["compile"] += 1
        else:
            self.calls[self.contested(rng.integers(0, 5))] += 1

    def bad(self, which):
        a, b, _ = self.bands
        if which == 0:
            raises_exactly(TypeError, "calculate_ratio_inplace() missing 1 required positional argument: 'out_buffer'",
                           lambda: rastrel.calculate_ratio_inplace(a, b))
        elif which == 1:
            raises_exactly(TypeError, "argument 'out_buffer': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
                           lambda: rastrel.calculate_normalized_difference_inplace(a, b, SAFE[0]))
        elif which == 2:
            raises_exactly(ValueError, "Shape mismatch at index 1: expected [48, 80], got [384, 512]",
                           lambda: rastrel.calculate_ratio_inplace(a, SAFE_BIG[0], self.out))
        elif which == 3:
            raises_exactly(PANIC, "ndarray: index out of bounds",
                           lambda: rastrel.execute_expr_inplace(OUTSIDE, [SAFE_BIG[0], SAFE[0]], self.big_out))
        elif which == 4:
            raises_exactly(PANIC, "index out of bounds: the len is 16 but the index is 18446744073709551615",
                           lambda: rastrel.execute_expr_inplace(UNDERFLOW, [a], self.out))
        elif which == 5:
            raises_exactly(ValueError, "Band count mismatch.",
                           lambda: rastrel.execute_expr_inplace(self.expr, [a, b], self.out))
        elif which == 6:
            # The output is one of the bands: refused whatever anyone else does.
            raises_exactly(PANIC, ALREADY_BORROWED,
                           lambda: rastrel.execute_expr_inplace(COPY, [CONTESTED_BANDS], CONTESTED))
        else:
            raises_exactly(PANIC, "called `Result::unwrap()` on an `Err` value: NotWriteable",
                           lambda: rastrel.calculate_ratio_inplace(a, b, self.read_only_out()))

    def read_only_out(self):
        out = self.out.view()
        out.flags.writeable = False
        return out

    def contested(self, which):
        half = BIG[0] // 2
        if which == 0:  # the whole buffer
            call = lambda: rastrel.calculate_ratio_inplace(ONES, ONES, CONTESTED)  # noqa: E731
            check = lambda: None  # noqa: E731
        elif which in (1, 2):  # one half: the halves never conflict with each other
            rows = slice(0, half) if which == 1 else slice(half, None)
            call = lambda: rastrel.execute_expr_inplace(ONE, [], CONTESTED[rows])  # noqa: E731
            check = lambda: None  # noqa: E731
        else:  # read it, all of it or its even columns
            bands = CONTESTED_BANDS if which == 3 else CONTESTED_BANDS[:, ::2]
            ones = ONES_WIDE if which == 3 else ONES
            out = self.wide_out if which == 3 else self.big_out
            out.fill(np.nan)
            call = lambda: rastrel.calculate_ratio_inplace(bands, ones, out)  # noqa: E731
            expected = contested_reads(bands.shape[1]) if which == 3 else np.zeros(bands.shape, np.float32)
            check = lambda: assert_bits_equal(out, expected)  # noqa: E731
        return check_refused_or(call, check)


@pytest.mark.timeout(SECONDS + 240)
def test_eight_threads_with_good_bad_and_conflicting_calls():
    workers = [Worker(i) for i in range(THREADS)]
    failures = []
    stop = threading.Event()
    start = threading.Barrier(THREADS + 1)

    def run(worker):
        try:
            start.wait()
            while not stop.is_set():
                worker.step()
        except BaseException as error:  # noqa: B036
            failures.append(error)
            stop.set()

    threads = [threading.Thread(target=run, args=(w,), daemon=True) for w in workers]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.monotonic()
    warm = None
    while not stop.wait(0.5) and time.monotonic() - began < SECONDS:
        if IS_PYPY:
            gc.collect()  # PyPy's collector does not see the size of NumPy's buffers and waits too long
        if warm is None and time.monotonic() - began >= SECONDS * 0.3:
            warm = resident_bytes()
    stop.set()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive(), "a thread is stuck"
    grown = resident_bytes() - (warm or 0)
    if failures:
        raise failures[0]

    totals = sum((w.calls for w in workers), Counter())
    print(f"\nsoak: {THREADS} threads x {SECONDS:g} s: {dict(totals)}; resident memory grew by {grown / 2**20:.1f} MiB")
    assert totals["granted"] and totals["refused"] and totals["good"] and totals["bad"]
    # Nothing stays registered: the whole of every buffer can be borrowed exclusively again.
    assert (CONTESTED == 1).all()
    assert_nothing_borrowed([CONTESTED] + [a for w in workers for a in w.bands + [w.out, w.big_out, w.wide_out]])
    if not IS_PYPY and not UNDER_SANITIZER:
        assert grown < 16 << 20, f"resident memory grew by {grown} bytes"
