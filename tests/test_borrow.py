"""Borrows of the arrays a call reads and writes: which arrangements of one buffer coexist, which
are refused and with what fault, that a refusal leaves nothing registered, and that a call running
on another thread keeps its arrays borrowed for its whole length."""
import functools
import sys
import threading
import time

import numpy as np
import pytest

import rastrel
from fuzzing import root_of
from rastrel_testing import (
    ALREADY_BORROWED,
    NOT_WRITEABLE,
    IS_PYPY,
    assert_bits_equal,
    random_band,
    ref_adjusted_difference,
    ref_evi,
    ref_normalized_difference,
    ref_ratio,
    run_at_once,
)


ROWS, COLS = 4, 6
SHAPE = (ROWS, COLS)

# ((a - b) + c) * 0.5, each step rounded to float32.
EXPR = rastrel.compile_expr(
    [
        {"type": "push_band", "index": 0},
        {"type": "push_band", "index": 1},
        {"type": "sub"},
        {"type": "push_band", "index": 2},
        {"type": "add"},
        {"type": "push_scalar", "value": 0.5},
        {"type": "mul"},
    ],
    3,
)


def ref_expr(a, b, c):
    a, b, c = (np.asarray(x, dtype=np.float32) for x in (a, b, c))
    return ((a - b) + c) * np.float32(0.5)


EVI_COEFFICIENTS = (2.5, 6.1, 7.3, 1.05)

# name: (function, band count, positional arguments from (bands, out), reference over the bands)
FUNCTIONS = {
    "normalized_difference_inplace": (
        rastrel.calculate_normalized_difference_inplace, 2, lambda b, o: (*b, o), ref_normalized_difference),
    "ratio": (rastrel.calculate_ratio_inplace, 2, lambda b, o: (*b, o), ref_ratio),
    "adjusted_difference": (
        rastrel.calculate_adjusted_difference_inplace, 2, lambda b, o: (*b, 0.5, o),
        lambda a, b: ref_adjusted_difference(a, b, 0.5)),
    "evi": (
        rastrel.calculate_evi_inplace, 3, lambda b, o: (*b, *EVI_COEFFICIENTS, o),
        lambda n, r, b: ref_evi(n, r, b, *EVI_COEFFICIENTS)),
    "execute_expr": (rastrel.execute_expr_inplace, 3, lambda b, o: (EXPR, list(b), o), ref_expr),
    # Allocates its output, so only the bands' side of an arrangement applies to it.
    "normalized_difference": (
        rastrel.calculate_normalized_difference, 2, lambda b, o: tuple(b), ref_normalized_difference),
}
WRITING_INTO = [name for name in FUNCTIONS if name != "normalized_difference"]


def call(name, bands, out):
    function, _, arguments, _ = FUNCTIONS[name]
    result = function(*arguments(bands, out))
    if name == "normalized_difference":
        out = result
    else:
        assert result is None
    return out


def refusal(thunk):
    """Runs thunk(); returns None when it succeeds, or the text of the fault the module raised."""
    try:
        thunk()
    except BaseException as error:  # the fault class derives from BaseException
        if (type(error).__module__, type(error).__name__) != ("pyo3_runtime", "PanicException"):
            raise
        return str(error)
    return None


def fresh(seed, shape=SHAPE):
    return random_band(np.random.default_rng(seed), shape)


def new_output(shape=SHAPE):
    return np.full(shape, np.nan, dtype=np.float32)


def read_only(array):
    array.flags.writeable = False
    return array


def address(array):
    return array.__array_interface__["data"][0]


ONE = np.ones((1, 1), dtype=np.uint16)


def first_pixel_is_writable(array):
    """Asks the registry whether any borrow covers the first element of `array`: an exclusive
    borrow of a float32 view of the same buffer, starting at that element, is granted only when
    none does. The probe may overwrite those four bytes."""
    root = root_of(array)
    probe = np.ndarray((1, 1), dtype=np.float32, buffer=root, offset=address(array) - address(root))
    fault = refusal(lambda: rastrel.calculate_ratio_inplace(ONE, ONE, probe))
    assert fault in (None, ALREADY_BORROWED), fault
    return fault is None


def assert_released(*arrays):
    for array in arrays:
        if array.size:  # an empty array has an empty byte range, which no probe can meet
            assert first_pixel_is_writable(array), "a borrow was left registered"


# ---------------------------------------------------------------------------------------------
# Arrangements of memory. Each returns (band, out): `band` takes the last band position, the
# other bands are separate arrays of the same shape; None stands for one array for every band.

SIZE = ROWS * COLS


def cells():
    """(uint16 view, float32 view) of one buffer of 8-byte cells, two float32 elements per column:
    element j of a row of the uint16 view starts at byte 2j, of the float32 view at byte 4j."""
    buffer = np.random.default_rng(5).integers(0, 256, size=(ROWS, 8 * COLS), dtype=np.uint8)
    return buffer.view(np.uint16), buffer.view(np.float32)


def at_one_address(shape, band_strides, out_strides):
    """A band and an output placed at byte 4 of one buffer. NumPy does not move the data pointer
    of an empty slice, so the arrays are placed explicitly."""
    buffer = np.random.default_rng(5).integers(0, 256, size=(ROWS, 8 * COLS), dtype=np.uint8)
    return (np.ndarray(shape, np.uint16, buffer=buffer, offset=4, strides=band_strides),
            np.ndarray(shape, np.float32, buffer=buffer, offset=4, strides=out_strides))


def split(band_start, out_start, reverse=False):
    """A C-ordered band and output at the given byte offsets of one buffer; with `reverse` the
    band is read backwards, so that its lowest address is its last element's."""
    buffer = np.zeros(8 * SIZE, dtype=np.uint8)
    band = buffer[band_start: band_start + 2 * SIZE].view(np.uint16).reshape(SHAPE)
    band[...] = fresh(6)
    out = np.ndarray(SHAPE, np.float32, buffer=buffer, offset=out_start)
    return band[::-1, ::-1] if reverse else band, out


def in_foreign_buffer(out_start):
    """A band at the start of a bytearray and an output at `out_start`: arrays whose first base
    is no array, where the registry files both."""
    buffer = bytearray(8 * SIZE)
    band = np.ndarray(SHAPE, np.uint16, buffer=buffer)
    band[...] = fresh(9)
    return band, np.ndarray(SHAPE, np.float32, buffer=buffer, offset=out_start)


def output_over_band_owner(writeable=True):
    owner = fresh(7, (ROWS, 2 * COLS))
    out = owner.view(np.float32)
    return owner[:, ::2], out if writeable else read_only(out)


def band_under_output(writeable=True):
    buffer = new_output()
    return buffer.view(np.uint16)[:, ::2], buffer if writeable else read_only(buffer.view())


GRANTED = {
    "same_array_for_every_band": lambda: (None, new_output()),
    # Band and output share a buffer but no byte: their byte ranges are adjacent.
    "output_right_after_band": lambda: split(0, 2 * SIZE),
    "output_right_before_reversed_band": lambda: split(4 * SIZE, 0, reverse=True),
    "output_right_after_band_in_foreign_buffer": lambda: in_foreign_buffer(2 * SIZE),
    # Even and odd cells: the band reads bytes 0-1 of each cell, the output writes bytes 4-7. The
    # distance of the data pointers (4) is no multiple of the common stride (8).
    "even_and_odd_cells": lambda: (cells()[0][:, 0::4], cells()[1][:, 1::2]),
    # Empty byte ranges at one address never meet.
    "no_rows_at_one_address": lambda: at_one_address((0, COLS), (8 * COLS, 8), (8 * COLS, 4)),
    "no_columns_at_one_address": lambda: at_one_address((ROWS, 0), (8 * COLS, 8), (8 * COLS, 4)),
}

REFUSED = {
    "band_is_uint16_view_of_output": (band_under_output, ALREADY_BORROWED),
    "output_is_float32_view_of_band_owner": (output_over_band_owner, ALREADY_BORROWED),
    "output_on_the_band_cells": (lambda: at_one_address(SHAPE, (8 * COLS, 8), (8 * COLS, 8)), ALREADY_BORROWED),
    "output_over_band_in_foreign_buffer": (lambda: in_foreign_buffer(0), ALREADY_BORROWED),
    # The output's range reaches one element into the band's, at the band's highest address, or
    # at its lowest where the band runs backwards.
    "output_over_last_band_element": (lambda: split(0, 2 * SIZE - 2), ALREADY_BORROWED),
    "output_over_lowest_element_of_reversed_band": (lambda: split(4 * SIZE, 2, reverse=True), ALREADY_BORROWED),
    "read_only_output": (lambda: (None, read_only(new_output().view())), NOT_WRITEABLE),
    # The writeable flag is looked at before any conflict.
    "read_only_output_also_read_as_band": (lambda: band_under_output(False), NOT_WRITEABLE),
    "read_only_view_of_band_owner_as_output": (lambda: output_over_band_owner(False), NOT_WRITEABLE),
}


def arrange(function, build):
    band, out = build()
    count = FUNCTIONS[function][1]
    if band is None:
        return [fresh(8, out.shape)] * count, out
    return [fresh(10 + i, out.shape) for i in range(count - 1)] + [band], out


@pytest.mark.parametrize(
    "function, arrangement",
    [(f, a) for f in FUNCTIONS for a in GRANTED if f in WRITING_INTO or a == "same_array_for_every_band"],
)
def test_granted_arrangements(function, arrangement):
    bands, out = arrange(function, GRANTED[arrangement])
    before = [band.copy() for band in bands]

    result = call(function, bands, out)

    assert_bits_equal(result, FUNCTIONS[function][3](*before))
    for band, copy in zip(bands, before):
        np.testing.assert_array_equal(band, copy)
    assert_released(*bands, out, result)


@pytest.mark.parametrize("arrangement", REFUSED)
@pytest.mark.parametrize("function", WRITING_INTO)
def test_refused_arrangements(function, arrangement):
    build, message = REFUSED[arrangement]
    bands, out = arrange(function, build)
    memory = [(root_of(a), root_of(a).tobytes()) for a in (*bands, out)]

    assert refusal(lambda: call(function, bands, out)) == message

    for root, contents in memory:
        assert root.tobytes() == contents, "a refused call wrote into an array"
    assert_released(*bands, out)
    before = [band.copy() for band in bands]
    retried = call(function, bands, new_output())
    assert_bits_equal(retried, FUNCTIONS[function][3](*before))


# Views whose items lie off each other's grid: the data pointers are 2 bytes apart and the
# common stride is 4, yet every band item is the upper half of an output item. Granting this would
# let the kernel write the bytes it reads.
@pytest.mark.parametrize("function", WRITING_INTO)
def test_items_off_the_common_grid_that_share_bytes_conflict(function):
    out = new_output()
    bands, out = arrange(function, lambda: (out.view(np.uint16)[:, 1::2], out))
    assert refusal(lambda: call(function, bands, out)) == ALREADY_BORROWED


# Empty arrays touch no memory, so an empty band and an empty output at one address, with the
# same strides but items of different sizes, do not exclude each other.
@pytest.mark.parametrize("function", WRITING_INTO)
def test_empty_arrays_of_different_item_sizes_at_one_address_coexist(function):
    bands, out = arrange(function, lambda: at_one_address((0, COLS), (8 * COLS, 8), (8 * COLS, 8)))
    assert refusal(lambda: call(function, bands, out)) is None


@pytest.mark.skipif(IS_PYPY, reason="PyPy has no sys.getrefcount")
@pytest.mark.parametrize("arrangement", REFUSED)
@pytest.mark.parametrize("function", WRITING_INTO)
def test_refused_call_keeps_reference_counts(function, arrangement):
    build, message = REFUSED[arrangement]
    bands, out = arrange(function, build)
    arguments = FUNCTIONS[function][2](bands, out)
    watched = [*arguments, *bands, *(a.base for a in (*bands, out) if a.base is not None)]
    counts = [sys.getrefcount(obj) for obj in watched]

    assert refusal(lambda: FUNCTIONS[function][0](*arguments)) == message

    assert [sys.getrefcount(obj) for obj in watched] == counts


# ---------------------------------------------------------------------------------------------
# A call on another thread holds its borrows while it runs with the interpreter lock released.

LONG_EXPR = rastrel.compile_expr(
    [{"type": "push_band", "index": 0}]
    + [{"type": "push_scalar", "value": 1.0001}, {"type": "pow"}, {"type": "sqrt"}] * 16,
    1,
)
HELD_COLUMNS = 1024


@functools.lru_cache(maxsize=None)
def held_rows(seconds=1.0):
    """Rows for the long call's arrays that keep it running about `seconds` on this machine, while
    each case below takes microseconds: measured, since the speed of evaluation is not ours to fix."""
    rows = 16
    while True:
        band = np.full((rows, HELD_COLUMNS), 7, dtype=np.uint16)
        out = np.empty((rows, HELD_COLUMNS), dtype=np.float32)
        start = time.perf_counter()
        rastrel.execute_expr_inplace(LONG_EXPR, [band], out)
        elapsed = time.perf_counter() - start
        if elapsed > seconds / 8 or rows >= 1 << 14:
            return min(1 << 14, max(rows, int(rows * seconds / elapsed)))
        rows *= 2


EMPTY_EXPR = rastrel.compile_expr([], 0)


def is_borrowed(array):
    """Whether a call holds any borrow of `array`'s memory. The probe is an output of no elements
    placed one byte into the array's range (with unit strides, so that no stride can step over a
    registered element): it touches no memory and has no pixels to wait for the worker pool with,
    and its exclusive borrow is refused exactly when some borrow covers that range."""
    root = root_of(array)
    offset = address(array) + 1 - address(root)
    probe = np.ndarray((0, 1), dtype=np.float32, buffer=root, offset=offset, strides=(1, 1))
    fault = refusal(lambda: rastrel.execute_expr_inplace(EMPTY_EXPR, [], probe))
    assert fault in (None, ALREADY_BORROWED), fault
    return fault is not None


class LongCall:
    """execute_expr_inplace over a large band on a thread of its own: while it runs, `band` is
    borrowed shared and `out` exclusively."""

    def __init__(self, rows):
        shape = (rows, HELD_COLUMNS)
        self.band = np.full(shape, 7, dtype=np.uint16)
        self.out = np.zeros(shape, dtype=np.float32)
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            rastrel.execute_expr_inplace(LONG_EXPR, [self.band], self.out)
        except BaseException as error:
            self.error = error

    def holding(self):
        return is_borrowed(self.band)

    def __enter__(self):
        self.thread.start()
        deadline = time.monotonic() + 30
        while not self.holding():
            assert self.thread.is_alive() and time.monotonic() < deadline, "the long call never held its band"
            time.sleep(0.0005)
        return self

    def __exit__(self, *exc):
        self.thread.join(60)
        assert not self.thread.is_alive(), "the long call did not end"
        assert self.error is None, self.error


class Beside:
    """A call on a thread of its own, started while the long call runs. A call that has work for
    the worker pool may have to wait until the long call's work is done, so the test looks at what
    the call holds instead of waiting for it to return."""

    def __init__(self, hold, function, bands, out):
        self.outcome = "did not end"
        self.thread = threading.Thread(target=self._run, args=(function, bands, out), daemon=True)
        self.thread.start()
        # bands[0] is the call's own array. Borrows are taken with the interpreter lock held, all
        # of them before it is first released: once this one is seen, the call has been granted
        # everything or refused; once the thread has ended, the call is over. An empty array has
        # nothing to see, and a call over empty arrays has no work to wait for.
        deadline = time.monotonic() + 30
        while self.thread.is_alive() and time.monotonic() < deadline:
            if bands[0].size and is_borrowed(bands[0]):
                break
            time.sleep(0.0002)
        self.while_held = hold.holding()

    def _run(self, function, bands, out):
        self.outcome = refusal(lambda: call(function, bands, out))

    def result(self):
        self.thread.join(60)
        return self.outcome


def empty_output_in(band, row):
    """A float32 array of no rows whose data pointer is the start of `band`'s row `row`."""
    return np.ndarray((0, COLS), np.float32, buffer=band, offset=row * band.strides[0])


# name: (what it makes of the long call's arrays: (band, out), None for a separate array; expected)
WHILE_HELD = {
    "write_into_held_input": (lambda h: (None, h.band[:ROWS, : 2 * COLS].view(np.float32)), ALREADY_BORROWED),
    "write_into_held_output": (lambda h: (None, h.out[:ROWS, :COLS]), ALREADY_BORROWED),
    "read_only_view_of_held_input_as_output": (
        lambda h: (None, read_only(h.band[:ROWS, : 2 * COLS].view(np.float32))), NOT_WRITEABLE),
    "read_only_view_of_held_output_as_output": (lambda h: (None, read_only(h.out[:ROWS, :COLS])), NOT_WRITEABLE),
    # An empty range inside the held one still meets it; at either end it does not.
    "empty_output_inside_held_input": (lambda h: (None, empty_output_in(h.band, len(h.band) // 2)), ALREADY_BORROWED),
    "empty_output_at_start_of_held_input": (lambda h: (None, empty_output_in(h.band, 0)), None),
    "empty_output_at_end_of_held_input": (lambda h: (None, empty_output_in(h.band, len(h.band))), None),
    "read_held_output": (lambda h: (h.out[:ROWS, : COLS // 2].view(np.uint16), None), ALREADY_BORROWED),
    "read_held_input": (lambda h: (h.band[:ROWS, :COLS], None), None),
    "separate_arrays": (lambda h: (None, None), None),
}
# The cases that pass an output of their own; the allocating function has none.
OUTPUT_CASES = {case for case in WHILE_HELD if case.startswith(("write", "read_only", "empty"))}


def while_held_arguments(function, case, hold):
    band, out = WHILE_HELD[case][0](hold)
    shape = band.shape if band is not None else out.shape if out is not None else SHAPE
    bands = [fresh(20 + i, shape) for i in range(FUNCTIONS[function][1])]
    if band is not None:
        bands[-1] = band
    return bands, out if out is not None else new_output(shape)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_calls_while_another_thread_holds_its_arrays(function):
    cases = [case for case in WHILE_HELD if function in WRITING_INTO or case not in OUTPUT_CASES]
    rows = held_rows()
    for _ in range(4):  # a busy machine may let the long call end first: it is made longer then
        with LongCall(rows) as hold:
            calls = {case: Beside(hold, function, *while_held_arguments(function, case, hold)) for case in cases}
        if all(calls[case].while_held for case in cases):
            break
        for beside in calls.values():
            beside.result()
        rows *= 2
    assert [case for case in cases if not calls[case].while_held] == [], "the long call ended too early"
    assert {case: calls[case].result() for case in cases} == {case: WHILE_HELD[case][1] for case in cases}
    assert not is_borrowed(hold.band) and not is_borrowed(hold.out)
    assert_released(hold.band, hold.out)


# ---------------------------------------------------------------------------------------------
# Tiles of one output written at once from several threads: interleaved in memory, but no element
# is shared.

TILE_STEPS = 96
TILE_EXPR = rastrel.compile_expr(
    [{"type": "push_band", "index": 0}]
    + [{"type": "push_scalar", "value": 0.75}, {"type": "add"}, {"type": "push_scalar", "value": 0.5}, {"type": "mul"}]
    * TILE_STEPS,
    1,
)

# name: (memory order of the output, the tiles' index windows for a (rows, cols) output)
TILINGS = {
    "column_halves": ("C", lambda r, c: [np.s_[:, : c // 2], np.s_[:, c // 2 :]]),
    "quarters": ("C", lambda r, c: [np.s_[: r // 2, : c // 2], np.s_[: r // 2, c // 2 :],
                                    np.s_[r // 2 :, : c // 2], np.s_[r // 2 :, c // 2 :]]),
    "row_halves_column_major": ("F", lambda r, c: [np.s_[: r // 2, :], np.s_[r // 2 :, :]]),
}


@pytest.mark.parametrize("tiling", TILINGS)
def test_tiles_of_one_output_written_at_once(tiling):
    order, windows = TILINGS[tiling]
    band = random_band(np.random.default_rng(3), (1024, 768))
    out = np.zeros(band.shape, np.float32, order=order)
    tiles = windows(*band.shape)
    run_at_once(lambda i: rastrel.execute_expr_inplace(TILE_EXPR, [band[tiles[i]]], out[tiles[i]]), len(tiles))
    want = band.astype(np.float32)
    for _ in range(TILE_STEPS):
        want = (want + np.float32(0.75)) * np.float32(0.5)
    assert_bits_equal(out, want)
