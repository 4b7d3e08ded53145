"""One compiled program used by several Python threads at once, and over many layouts in turn."""
import gc
import threading
import time
import weakref

import numpy as np
import pytest

import rastrel
from rastrel_testing import PANIC, assert_bits_equal, band, ops, placed, random_band, reference, run_at_once, scalar

THREADS = 4
ROUNDS = 30
PROGRAM = [band(0), band(1), *ops("sub"), band(0), band(1), *ops("add", "div"), band(2), *ops("mul")]


def test_threads_share_one_program():
    expr = rastrel.compile_expr(PROGRAM, 3)
    rng = np.random.default_rng(5)
    common = random_band(rng, (150, 260))
    jobs = []
    for index in range(THREADS):
        rng = np.random.default_rng(index)
        shape = (90 + 13 * index, 250 - 7 * index)
        # Every thread reads the common band while the others do; each writes its own output.
        bands = [random_band(rng, shape), common[: shape[0], : shape[1]], random_band(rng, shape)]
        jobs.append((bands, reference(PROGRAM, bands, shape), np.empty(shape, dtype=np.float32)))

    def work(index):
        bands, want, out = jobs[index]
        for round in range(ROUNDS):
            out.fill(np.nan)
            rastrel.execute_expr_inplace(expr, bands, out)
            assert_bits_equal(out, want)
            if round % 5 == index % 5:
                # A fault on one thread leaves the others' calls alone.
                try:
                    rastrel.execute_expr_inplace(expr, [bands[0], bands[1], bands[2][:-1]], out)
                except BaseException as error:
                    assert (type(error).__module__, type(error).__name__) == PANIC
                    assert str(error) == "ndarray: index out of bounds"
                else:
                    raise AssertionError("no fault")

    run_at_once(work, THREADS)


# A fused shape (the fixed kernel walks its strided views), the general steps, and steps that
# read one band twice and another not at all.
PROGRAMS_OVER_LAYOUTS = [
    [band(0), band(1), *ops("div")],
    [band(2), scalar(0.5), *ops("mul"), band(0), *ops("sub"), band(0), *ops("mul", "sqrt")],
]
# Each differs from another in one way only: strides, alignment, a transposed output, a band
# larger than the output, the shape.
LAYOUT_PAIRS = [
    ("c", "c", 0), ("strided", "c", 0), ("c", "fortran", 0), ("misaligned_c", "c", 0),
    ("c", "misaligned_c", 0), ("transposed_strided", "strided", 0), ("c", "c", 3),
]


def layout_calls(seed):
    """Calls of each program over every layout pair and two shapes, three calls of each with
    samples of their own, in random order: (program index, bands, output, expected)."""
    rng = np.random.default_rng(seed)
    calls = []
    for shape in [(40, 40), (3, 150)]:
        for band_layout, out_layout, extra in LAYOUT_PAIRS:
            for index, program in enumerate(PROGRAMS_OVER_LAYOUTS):
                for _ in range(3):
                    values = [random_band(rng, (shape[0] + extra, shape[1] + extra)) for _ in range(3)]
                    bands = [placed(v, band_layout, np.uint16)[0] for v in values]
                    out = placed(np.full(shape, np.nan), out_layout, np.float32)[0]
                    calls.append((index, bands, out, reference(program, values, shape)))
    return [calls[i] for i in rng.permutation(len(calls))]


@pytest.mark.parametrize("threads", [1, THREADS])
def test_one_program_over_layouts_in_turn(threads):
    """A call over views laid out as an earlier call's reuses what that call bound to them: it
    must read and write its own arrays, and any other layout must be bound anew."""
    exprs = [rastrel.compile_expr(program, 3) for program in PROGRAMS_OVER_LAYOUTS]
    jobs = [layout_calls(seed) for seed in range(threads)]

    def work(index):
        for program, bands, out, want in jobs[index]:
            rastrel.execute_expr_inplace(exprs[program], bands, out)
            assert_bits_equal(out, want)

    run_at_once(work, threads)


def test_a_call_holds_its_bands_until_it_returns():
    """While a call runs with the interpreter lock released, the list of bands is emptied, so
    that only the call still refers to the arrays: it keeps them alive, then lets them go."""
    program = [band(0)] + [band(1), *ops("add"), scalar(0.75), *ops("mul")] * 40
    rng = np.random.default_rng(9)
    # Large enough that the C library returns their memory to the system once freed.
    bands = [random_band(rng, (512, 1024)) for _ in range(2)]
    want = reference(program, bands, (512, 1024))
    alive = [weakref.ref(b) for b in bands]
    out = np.full((512, 1024), np.nan, dtype=np.float32)
    expr = rastrel.compile_expr(program, 2)
    started = threading.Event()

    def call(bands):
        started.set()
        rastrel.execute_expr_inplace(expr, bands, out)

    thread = threading.Thread(target=call, args=(bands,))
    thread.start()
    started.wait()
    time.sleep(0.01)
    bands.clear()
    gc.collect()
    held = [ref() is not None for ref in alive]
    if thread.is_alive():
        assert held == [True, True]
    thread.join(timeout=120)
    assert not thread.is_alive()
    assert_bits_equal(out, want)
    for _ in range(3):
        gc.collect()
    assert [ref() for ref in alive] == [None, None]
