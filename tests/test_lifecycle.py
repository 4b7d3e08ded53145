"""The module across the life of a process: children made by fork, forkserver and spawn, a fork
while another thread is inside a call, and calls still running when the interpreter exits. Each
case runs in a process of its own with a timeout, since the faults it guards against are hangs
and aborts."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import rastrel
import rastrel_tools

TIMEOUT = 180

# Shared by the scripts: an independent float32 reference and a check of one call against it.
PRELUDE = """
import numpy as np
import rastrel

def expected(a, b):
    a, b = a.astype(np.float32), b.astype(np.float32)
    with np.errstate(all="ignore"):
        return (a - b) / ((a + b) + np.float32(1e-10))

def right_result(seed, shape=(301, 257)):
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 65536, shape, dtype=np.uint16)
    b = rng.integers(0, 65536, shape, dtype=np.uint16)
    got = rastrel.calculate_normalized_difference(a, b)
    return bool((got.view(np.uint32) == expected(a, b).view(np.uint32)).all())
"""


def run_script(tmp_path, body, *args, timeout=TIMEOUT):
    """Runs PRELUDE + body as a script file (spawned children re-import it) in a new interpreter
    that finds this build of the module; returns the finished process."""
    script = tmp_path / "script.py"
    script.write_text(PRELUDE + textwrap.dedent(body))
    paths = [os.path.dirname(rastrel.__file__), os.path.dirname(os.path.dirname(rastrel_tools.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    # A session of its own, so that a hang takes down the script's children too.
    with subprocess.Popen([sys.executable, str(script), *map(str, args)], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, cwd=tmp_path, start_new_session=True) as process:
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            stdout, stderr = process.communicate()
            pytest.fail(f"timed out after {timeout} s\n{stdout}\n{stderr}")
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)


def assert_ok(done):
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
    return done.stdout


# ---------------------------------------------------------------------------------------------
# Fork


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_children_compute_right_results(tmp_path, method):
    assert_ok(run_script(tmp_path, """
        import multiprocessing
        import sys

        if __name__ == "__main__":
            ctx = multiprocessing.get_context(sys.argv[1])
            if sys.argv[1] == "forkserver":
                ctx.set_forkserver_preload(["rastrel"])
            assert right_result(0)  # the parent's pool is up and has worked
            with ctx.Pool(2) as pool:
                assert all(pool.map(right_result, range(1, 5)))
            assert right_result(5)
        """, method))


def test_process_pool_executor_with_default_start_method(tmp_path):
    assert_ok(run_script(tmp_path, """
        from concurrent.futures import ProcessPoolExecutor

        if __name__ == "__main__":
            assert right_result(0)
            with ProcessPoolExecutor(2) as executor:
                assert all(executor.map(right_result, range(1, 5)))
        """))


def test_fork_of_a_fork(tmp_path):
    assert_ok(run_script(tmp_path, """
        import os

        def in_child(then):
            pid = os.fork()
            if pid == 0:
                os._exit(0 if right_result(pid) and then() else 1)
            return os.waitpid(pid, 0)[1] == 0

        assert right_result(0)
        assert in_child(lambda: in_child(lambda: True))
        assert right_result(1)
        """))
