"""One compiled program used by several Python threads at once."""
import threading

import numpy as np

import rastrel
from exprutil import PANIC, assert_same, band, ops, random_samples, reference

THREADS = 4
ROUNDS = 30
PROGRAM = [band(0), band(1), *ops("sub"), band(0), band(1), *ops("add", "div"), band(2), *ops("mul")]


def test_threads_share_one_program():
    expr = rastrel.compile_expr(PROGRAM, 3)
    rng = np.random.default_rng(5)
    common = random_samples(rng, (150, 260))
    barrier = threading.Barrier(THREADS)
    failures = []

    def work(index):
        rng = np.random.default_rng(index)
        shape = (90 + 13 * index, 250 - 7 * index)
        # Every thread reads the common band while the others do; each writes its own output.
        bands = [random_samples(rng, shape), common[: shape[0], : shape[1]], random_samples(rng, shape)]
        want = reference(PROGRAM, bands, shape)
        out = np.empty(shape, dtype=np.float32)
        barrier.wait()
        for round in range(ROUNDS):
            out.fill(np.nan)
            rastrel.execute_expr_inplace(expr, bands, out)
            assert_same(out, want)
            if round % 5 == index % 5:
                # A fault on one thread leaves the others' calls alone.
                try:
                    rastrel.execute_expr_inplace(expr, [bands[0], bands[1], bands[2][:-1]], out)
                except BaseException as error:
                    assert (type(error).__module__, type(error).__name__) == PANIC
                    assert str(error) == "ndarray: index out of bounds"
                else:
                    raise AssertionError("no fault")

    def guarded(index):
        try:
            work(index)
        except BaseException as error:
            failures.append((index, error))
            barrier.abort()

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive()
    assert failures == []
