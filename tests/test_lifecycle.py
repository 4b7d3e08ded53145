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


# ---------------------------------------------------------------------------------------------
# Exit with calls in flight


def test_exit_while_daemon_threads_are_inside_calls(tmp_path):
    """The interpreter ends threads that want its lock back while it finalizes; that must not
    abort the process (it did in most runs)."""
    body = """
        import threading
        import time
        from multiprocessing.pool import ThreadPool

        a = np.ones((1024, 1024), np.uint16)
        inside = threading.Barrier(3)

        def calls(_=None):
            out = np.empty(a.shape, np.float32)
            inside.wait()
            while True:
                rastrel.calculate_normalized_difference_inplace(a, a, out)

        threading.Thread(target=calls, daemon=True).start()
        ThreadPool(1).apply_async(calls)
        inside.wait()
        time.sleep(0.01)
        """
    for run in range(20):
        done = run_script(tmp_path, body, timeout=60)
        assert (done.returncode, done.stderr) == (0, ""), f"run {run}"


# ---------------------------------------------------------------------------------------------
# Ctrl-C


@pytest.mark.parametrize("handler", ["default", "raises", "returns"])
def test_signal_during_a_long_call(tmp_path, handler):
    """A signal handler runs within moments of SIGINT even while the main thread waits for a
    long call; if it raises, the call stops early with that exception and leaves nothing
    borrowed; if it returns, the call carries on to the right result."""
    out = assert_ok(run_script(tmp_path, """
        import os
        import signal
        import sys
        import threading
        import time

        class FromHandler(Exception):
            pass

        def raises(signum, frame):
            raise FromHandler()

        handled = []
        if sys.argv[1] == "raises":
            signal.signal(signal.SIGINT, raises)
        elif sys.argv[1] == "returns":
            signal.signal(signal.SIGINT, lambda signum, frame: handled.append(time.perf_counter()))

        def program(steps):
            return rastrel.compile_expr([{"type": "push_band", "index": 0}]
                                        + [{"type": "push_scalar", "value": 0.75}, {"type": "add"}] * steps, 1)

        band = np.arange(2048 * 2048, dtype=np.uint16).reshape(2048, 2048)
        out = np.zeros(band.shape, np.float32)
        # As many steps as make the call last about four seconds here.
        started = time.perf_counter()
        rastrel.execute_expr_inplace(program(20), [band], out)
        steps = max(20, int(20 * 4.0 / (time.perf_counter() - started)))
        expr = program(steps)

        sent = []
        def send():
            time.sleep(0.4)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=send).start()
        try:
            rastrel.execute_expr_inplace(expr, [band], out)
            outcome = "returned"
        except (KeyboardInterrupt, FromHandler) as raised:
            outcome = type(raised).__name__
        ended = time.perf_counter()
        if handled:
            print(outcome, handled[0] - sent[0])
            want = band.astype(np.float32)
            for _ in range(steps):
                want = want + np.float32(0.75)
            assert (out.view(np.uint32) == want.view(np.uint32)).all()
        else:
            print(outcome, ended - sent[0])
        rastrel.execute_expr_inplace(program(1), [band], out)  # the same output: not borrowed
        assert (out == band.astype(np.float32) + np.float32(0.75)).all()
        assert right_result(0)
        """, handler))
    outcome, seconds = out.split()
    assert outcome == {"default": "KeyboardInterrupt", "raises": "FromHandler", "returns": "returned"}[handler]
    assert float(seconds) < 1.0
