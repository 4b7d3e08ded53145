"""The module across the life of a process: children made by fork, forkserver and spawn, a fork
while another thread is inside a call, and calls still running when the interpreter exits. Each
case runs in a process of its own with a timeout, since the faults it guards against are hangs
and aborts."""
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
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


def test_fork_while_another_thread_is_inside_a_call(tmp_path):
    """The child has neither that thread nor its call: the arrays the call held are free there,
    while in the parent the call carries on and still holds them."""
    assert_ok(run_script(tmp_path, """
        import os
        import threading
        import time

        panic = None
        steps = [{"type": "push_band", "index": 0}] + [{"type": "push_scalar", "value": 0.5}, {"type": "add"}] * 2000
        long_expr = rastrel.compile_expr(steps, 1)
        short_expr = rastrel.compile_expr(steps[:3], 1)
        band = np.ones((1024, 1024), np.uint16)
        out = np.zeros(band.shape, np.float32)

        def borrowed(array):
            global panic
            try:
                rastrel.execute_expr_inplace(short_expr, [band], array)
                return False
            except BaseException as error:
                assert str(error).endswith("AlreadyBorrowed"), error
                panic = type(error)
                return True

        def long_call():
            # The probe below may hold `out` just when the call asks for it: then it asks again.
            while True:
                try:
                    return rastrel.execute_expr_inplace(long_expr, [band], out)
                except BaseException as error:
                    if not str(error).endswith("AlreadyBorrowed"):
                        raise

        inside = threading.Thread(target=long_call)
        inside.start()
        # Sleeping between probes lets the other thread take the interpreter lock: PyPy's lock
        # can starve a thread behind a loop that releases and retakes it back to back.
        while not borrowed(out):
            assert inside.is_alive(), "the long call ended before it was seen holding its output"
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            ok = not borrowed(out) and (out == 1.5).all() and right_result(1)
            os._exit(0 if ok else 1)
        assert os.waitpid(pid, 0)[1] == 0
        inside.join()
        assert (out == 1001).all() and not borrowed(out)  # the parent's call ran on to its end
        """))


# ---------------------------------------------------------------------------------------------
# Panics across processes

NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
PANIC_PRELUDE = """
def panic_of_read_only_output(_=None):
    out = np.zeros((4, 4), np.float32)
    out.flags.writeable = False
    try:
        rastrel.calculate_normalized_difference_inplace(np.ones((4, 4), np.uint16), np.ones((4, 4), np.uint16), out)
    except BaseException as panic:
        return panic

def raise_panic(_=None):
    raise panic_of_read_only_output()

def is_panic(error, message):
    cls = type(error)
    return ((cls.__module__, cls.__qualname__, cls.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
            and error.args == (message,) and str(error) == message)
"""


def test_panic_exception_pickles_as_itself():
    import pickle

    out = np.zeros((4, 4), np.float32)
    out.flags.writeable = False
    with pytest.raises(BaseException) as caught:
        rastrel.calculate_normalized_difference_inplace(np.ones((4, 4), np.uint16), np.ones((4, 4), np.uint16), out)
    panic = caught.value
    panic.note = "kept"
    back = pickle.loads(pickle.dumps(panic))
    assert type(back) is type(panic) and back.args == (NOT_WRITEABLE,) and back.note == "kept"
    assert "_rebuild_panic_exception" not in rastrel.__all__


@pytest.mark.parametrize("pool", ["process_pool_executor", "multiprocessing_spawn"])
def test_panic_reaches_the_parent_process(tmp_path, pool):
    assert_ok(run_script(tmp_path, PANIC_PRELUDE + textwrap.dedent("""
        import multiprocessing
        import sys
        from concurrent.futures import ProcessPoolExecutor

        if __name__ == "__main__":
            message = str(panic_of_read_only_output())
            if sys.argv[1] == "process_pool_executor":
                with ProcessPoolExecutor(1) as executor:
                    try:
                        executor.submit(raise_panic).result()
                        raise AssertionError("no panic")
                    except BaseException as panic:
                        assert is_panic(panic, message), repr(panic)
                    assert executor.submit(right_result, 0).result()
            else:
                # The pool's workers pass on only Exception, so a task hands its panic back as a value.
                with multiprocessing.get_context("spawn").Pool(1) as workers:
                    panic = workers.apply(panic_of_read_only_output)
                assert is_panic(panic, message), repr(panic)
        """), pool))


def test_panic_in_a_dask_block_reaches_the_client_as_an_exception(tmp_path):
    pytest.importorskip("distributed")
    assert_ok(run_script(tmp_path, PANIC_PRELUDE + textwrap.dedent("""
        import dask.array as da
        from distributed import Client, LocalCluster
        from rastrel_tools.dask import _evaluate_block

        def formula(*blocks, mask=None):
            raise_panic()

        if __name__ == "__main__":
            with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                              dashboard_address=None) as cluster, Client(cluster) as client:
                band = da.ones((8, 8), dtype=np.uint16, chunks=4)
                blocks = da.map_blocks(_evaluate_block, formula, {}, 1, band, dtype=np.float32,
                                       meta=np.empty((0, 0), np.float32))
                try:
                    blocks.compute()
                    raise AssertionError("no error")
                except Exception as error:
                    assert str(error) == str(panic_of_read_only_output()), repr(error)
        """)))


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
        else:
            # The interpreter's own handler, set even where this process was started with SIGINT
            # ignored (as a background job of a shell is), which it would otherwise inherit.
            signal.signal(signal.SIGINT, signal.default_int_handler)

        def program(steps):
            return rastrel.compile_expr([{"type": "push_band", "index": 0}]
                                        + [{"type": "push_scalar", "value": 0.75}, {"type": "add"}] * steps, 1)

        band = np.arange(2048 * 2048, dtype=np.uint16).reshape(2048, 2048)
        out = np.zeros(band.shape, np.float32)
        # As many steps as make a call last about two seconds here.
        started = time.perf_counter()
        rastrel.execute_expr_inplace(program(20), [band], out)
        steps = max(20, int(20 * 2.0 / (time.perf_counter() - started)))
        expr = program(steps)

        sent = []
        def send():
            time.sleep(0.4)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=send).start()
        # Calls one after the other, so that the signal meets one however fast they turn out. A
        # signal that lands as a call returns is raised by the interpreter between calls: the try
        # covers the whole loop so that this counts too.
        try:
            while not handled:
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
