"""The worker pool seen from Python: one worker per usable processor, started before the import
returns and deaf to the environment; results that do not depend on the pool; calls from several
threads at once; and a fault in one piece of a loop."""
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import pool_probe
import rastrel
from rastrel_testing import (
    assert_bits_equal,
    expect_panic,
    random_band,
    ref_evi,
    ref_normalized_difference,
    ref_ratio,
    reference,
    run_at_once,
)

PROBE_TIMEOUT = 300

# Variables that size the thread pools of other libraries, and names this module might have read.
THREAD_VARIABLES = (
    "OMP_NUM_THREADS",
    "OMP_THREAD_LIMIT",
    "RAYON_NUM_THREADS",
    "RAYON_RS_NUM_CPUS",
    "MKL_NUM_THREADS",
    "OPENBLAS_NUM_THREADS",
    "NUMEXPR_NUM_THREADS",
    "NUMEXPR_MAX_THREADS",
    "VECLIB_MAXIMUM_THREADS",
    "BLIS_NUM_THREADS",
    "TBB_NUM_THREADS",
    "NUM_THREADS",
    "RASTREL_NUM_THREADS",
    "RASTREL_THREADS",
)

FIRST_CPU = min(pool_probe.usable_cpus())

# name: (processor to pin to before the import, extra environment)
PROBES = {
    "unpinned": (None, {}),
    "pinned": (FIRST_CPU, {}),
    "thread_variables_1": (None, dict.fromkeys(THREAD_VARIABLES, "1")),
    "thread_variables_7": (None, dict.fromkeys(THREAD_VARIABLES, "7")),
}


@pytest.fixture(scope="module")
def probes():
    """Runs every probe process at once; returns {name: what it printed}."""
    script = os.path.join(os.path.dirname(__file__), "pool_probe.py")
    running = {}
    for name, (cpu, variables) in PROBES.items():
        command = [sys.executable, script] + ([] if cpu is None else ["--pin", str(cpu)])
        running[name] = subprocess.Popen(
            command, env={**os.environ, **variables}, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
    results = {}
    for name, process in running.items():
        output, errors = process.communicate(timeout=PROBE_TIMEOUT)
        assert process.returncode == 0, (name, errors.decode(errors="replace"))
        results[name] = json.loads(output)
    return results


@pytest.fixture(scope="module")
def here():
    return pool_probe.run_cases(rastrel)


# ---------------------------------------------------------------------------------------------
# Size of the pool.


@pytest.mark.parametrize("probe", list(PROBES))
def test_one_worker_per_usable_processor(probes, probe):
    result = probes[probe]
    assert result["usable"] == (1 if probe == "pinned" else len(pool_probe.usable_cpus()))
    assert result["added"] == result["usable"]


@pytest.mark.parametrize("probe", list(PROBES))
def test_each_worker_keeps_to_a_processor_of_its_own(probes, probe):
    # One worker per processor of the mask, each bound to its own, in the order of the mask:
    # left free, two workers were often stacked on one processor.
    result = probes[probe]
    assert result["allowed"] == [[cpu] for cpu in result["usable_cpus"]]


def test_every_worker_has_run_when_the_import_returns(probes):
    # On one processor a worker that has run and let the importing thread continue has been
    # switched out at least once; a thread that was only created never was.
    switches = probes["pinned"]["switches"]
    assert len(switches) == 1 and min(switches) > 0, switches


# ---------------------------------------------------------------------------------------------
# Results: every kernel and a program give the same bytes whatever the size of the pool.


@pytest.mark.parametrize("probe", list(PROBES))
def test_same_bytes_whatever_the_pool(probes, here, probe):
    theirs = probes[probe]["digests"]
    assert sorted(theirs) == sorted(here)
    assert [key for key in here if theirs[key] != here[key]] == []


# ---------------------------------------------------------------------------------------------
# Several Python threads at once. Their calls share the workers: none starts threads of its own.

THREADS = 8
ROUNDS = 25


def concurrent_jobs():
    """One job per thread: (call writing into out, out, expected); shapes and kernels mixed,
    some bands shared by several threads."""
    expr = rastrel.compile_expr(pool_probe.PROGRAM, 3)
    rng = np.random.default_rng(11)
    shared = [random_band(rng, (300, 410)) for _ in range(3)]
    jobs = []
    for index in range(THREADS):
        shape = (300 - 17 * index, 410 - 29 * index)
        own = [random_band(rng, shape) for _ in range(2)]
        common = [band[: shape[0], : shape[1]] for band in shared]
        order = "F" if index % 2 else "C"
        out = np.empty(shape, np.float32, order=order)
        kind = index % 4
        if kind == 0:
            args = (own[0], common[0].T.copy().T)  # a Fortran-ordered band
            call = lambda out, args=args: rastrel.calculate_normalized_difference_inplace(*args, out)  # noqa: E731
            expected = ref_normalized_difference(*args)
        elif kind == 1:
            args = (common[1], own[1][::-1])
            call = lambda out, args=args: rastrel.calculate_ratio_inplace(*args, out)  # noqa: E731
            expected = ref_ratio(*args)
        elif kind == 2:
            args = (own[0], common[2], own[1], 2.5, 6.1, 7.3, 1.05)
            call = lambda out, args=args: rastrel.calculate_evi_inplace(*args, out)  # noqa: E731
            expected = ref_evi(*args)
        else:
            bands = [common[0], own[1].T.copy().T, shared[2]]  # the last larger than the output
            call = lambda out, bands=bands: rastrel.execute_expr_inplace(expr, bands, out)  # noqa: E731
            expected = reference(pool_probe.PROGRAM, bands, shape)
        jobs.append((call, out, expected))
    return jobs


def test_threads_calling_at_once_get_their_own_results():
    jobs = concurrent_jobs()
    threads_before = len(pool_probe.tasks())
    most = 0

    def count_threads():
        nonlocal most
        most = max(most, len(pool_probe.tasks()))

    def work(index):
        call, out, expected = jobs[index]
        for _ in range(ROUNDS):
            out.fill(np.nan)
            call(out)
            assert_bits_equal(out, expected)

    run_at_once(work, THREADS, watch=count_threads)
    assert most <= threads_before + THREADS


# ---------------------------------------------------------------------------------------------
# Faults. Pixels outside a band fault in the pieces that reach them; the caller gets the fault
# once the loop has ended, and neither the pool nor the borrows keep a trace of it.

BAND_SUM = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "add"}]
OUTSIDE = "ndarray: index out of bounds"


@pytest.mark.parametrize("order", ["C", "F"])
def test_a_fault_in_some_pieces_leaves_the_pool_and_the_arrays_usable(order):
    expr = rastrel.compile_expr(BAND_SUM, 2)
    rng = np.random.default_rng(12)
    wide = rng.integers(1, 65536, size=(2048, 2048), dtype=np.uint16)
    narrow = rng.integers(1, 65536, size=(2048, 1000), dtype=np.uint16)  # right of column 999 faults
    out = np.zeros((2048, 2048), np.float32, order=order)

    expect_panic(OUTSIDE, rastrel.execute_expr_inplace, expr, [wide, narrow], out)
    # Every piece has ended: nothing writes into the output any more.
    written = out.copy()
    time.sleep(0.05)
    assert np.array_equal(out.view(np.uint32), written.view(np.uint32))

    # No borrow is left behind: the output can be written again, and so can the band's memory.
    out.fill(np.nan)
    rastrel.calculate_normalized_difference_inplace(wide, wide, out)
    assert not out.any()
    into_narrow = narrow.view(np.float32)
    rastrel.calculate_ratio_inplace(wide[:, :500], wide[:, :500], into_narrow)
    assert (into_narrow == 1).all()


def test_the_pool_keeps_working_after_many_faults():
    expr = rastrel.compile_expr(BAND_SUM, 2)
    rng = np.random.default_rng(13)
    a, b = random_band(rng, (96, 130)), random_band(rng, (96, 130))
    want = a.astype(np.float32) + b.astype(np.float32)
    short, narrow = b[:95], b[:, :129]
    out = np.empty((96, 130), np.float32)
    for round in range(300):
        expect_panic(OUTSIDE, rastrel.execute_expr_inplace, expr, [a, short if round % 2 else narrow], out)
        out.fill(np.nan)
        rastrel.execute_expr_inplace(expr, [a, b], out)
        assert_bits_equal(out, want)
