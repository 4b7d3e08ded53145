"""Faults injected from outside: a worker thread that the system refuses to start at import.

A small library preloaded into a fresh interpreter makes pthread_create fail for threads with the
pool's stack size. The import must succeed anyway; every call that needs the pool must then raise
the fault exception with the pool's text, release what it borrowed, and leave the interpreter
usable. (NumPy missing at the first call is tested in test_module.py; faults inside the pieces of
a loop in test_pool.py.)"""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import pool_probe

POOL_MISSING = (
    "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"
)
WORKER_STACK = 2 * 1024 * 1024
SHIM = os.path.join(os.path.dirname(__file__), "support", "failing_thread_start.c")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the preloaded library")
    library = str(tmp_path_factory.mktemp("shim") / "libfailing_thread_start.so")
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", library, SHIM, "-ldl"], check=True,
                   capture_output=True, timeout=120, env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    return library


SCRIPT = r"""
import ctypes, json, os, sys, threading, time

def tasks():
    return len(os.listdir("/proc/self/task"))

before = tasks()
import rastrel
shim = ctypes.CDLL(None)
# Workers that did start must leave again: wait for the thread count to come back.
deadline = time.monotonic() + 10
while tasks() > before and time.monotonic() < deadline:
    time.sleep(0.01)
report = {"failed_starts": shim.failed_thread_starts(), "threads_left": tasks() - before}

import numpy as np

def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as error:
        return f"{type(error).__module__}.{type(error).__name__}: {error}"

a = np.arange(12, dtype=np.uint16).reshape(3, 4)
b = np.ones((3, 4), np.uint16)
out = np.zeros((3, 4), np.float32)
empty = np.zeros((0, 4), np.uint16)
empty_out = np.zeros((0, 4), np.float32)
two = rastrel.compile_expr([{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
                            {"type": "sub"}], 2)
calls = {
    "normalized_difference_inplace": lambda: rastrel.calculate_normalized_difference_inplace(a, b, out),
    "ratio": lambda: rastrel.calculate_ratio_inplace(a, b, out),
    "adjusted_difference": lambda: rastrel.calculate_adjusted_difference_inplace(a, b, 0.5, out),
    "evi": lambda: rastrel.calculate_evi_inplace(a, b, a, 2.5, 6.1, 7.3, 1.05, out),
    "normalized_difference": lambda: rastrel.calculate_normalized_difference(a, b),
    "execute_expr": lambda: rastrel.execute_expr_inplace(two, [a, b], out),
    "empty_ratio": lambda: rastrel.calculate_ratio_inplace(empty, empty, empty_out),
    "empty_execute_expr": lambda: rastrel.execute_expr_inplace(two, [empty, empty], empty_out),
    "faulty_program": lambda: rastrel.execute_expr_inplace(rastrel.compile_expr([{"type": "add"}], 0), [], out),
    # Errors that come before the loop stay what they are.
    "bad_argument": lambda: rastrel.calculate_ratio_inplace(a, None, out),
    "bad_shape": lambda: rastrel.calculate_ratio_inplace(a, b[:2], out),
    "compile": lambda: rastrel.compile_expr([{"type": "neg"}], 0),
    # Had the first call kept its borrow of `out`, reading it would be refused.
    "borrows_released": lambda: rastrel.calculate_ratio_inplace(a, out.view(np.uint16)[:, :4], b.astype(np.float32)),
}
report["calls"] = {name: outcome(call) for name, call in calls.items()}

# The interpreter goes on as usual, threads included.
results = []
worker = threading.Thread(target=lambda: results.append(sum(range(1000))))
worker.start()
worker.join()
report["untouched"] = bool((out == 0).all()) and results == [499500]
print(json.dumps(report))
"""


def run_without_workers(shim, fail_after):
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), shim]))
    env["RASTREL_TEST_FAIL_STACK"] = str(WORKER_STACK)
    env["RASTREL_TEST_FAIL_AFTER"] = str(fail_after)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


PANIC = "pyo3_runtime.PanicException: " + POOL_MISSING
EXPECTED_CALLS = {
    "normalized_difference_inplace": PANIC,
    "ratio": PANIC,
    "adjusted_difference": PANIC,
    "evi": PANIC,
    "normalized_difference": PANIC,
    "execute_expr": PANIC,
    "empty_ratio": PANIC,
    "empty_execute_expr": PANIC,
    "faulty_program": PANIC,
    "bad_argument": "builtins.TypeError: argument 'band_b': 'NoneType' object cannot be converted to 'PyArray<T, D>'",
    "bad_shape": "builtins.ValueError: Shape mismatch at index 1: expected [3, 4], got [2, 4]",
    "compile": "ok",
    "borrows_released": PANIC,
}


@pytest.fixture(scope="module", params=[0, 1], ids=["first_worker", "second_worker"])
def report(request, shim):
    if request.param >= len(pool_probe.usable_cpus()):
        pytest.skip("the pool has fewer workers than that on this machine")
    return run_without_workers(shim, request.param)


def test_import_succeeds_without_workers_and_every_loop_faults(report):
    assert report["failed_starts"] == 1  # one refusal, and the pool gave up at once
    assert report["threads_left"] == 0  # a worker that had started has left again
    calls = dict(report["calls"])
    del calls["faulty_program"]
    assert calls == {k: v for k, v in EXPECTED_CALLS.items() if k != "faulty_program"}
    assert report["untouched"]


def test_without_workers_a_faulty_program_gets_the_pools_fault(report):
    assert report["calls"]["faulty_program"] == PANIC
