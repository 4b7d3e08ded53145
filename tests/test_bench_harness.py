"""The benchmarks' shared timing harness and report: what each contender is timed on and divided by."""
import gc
import os
import sys
import weakref

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import harness  # noqa: E402
import peers_report  # noqa: E402


class Fake:
    """A contender with a sample of its own: `per_call` seconds a call, `first` for its first call."""

    def __init__(self, per_call, first=None):
        self.per_call, self.first, self.calls = per_call, first, []

    def sample(self, count):
        self.calls.append(count)
        if self.first is not None and len(self.calls) == 1:
            return self.first + (count - 1) * self.per_call
        return count * self.per_call


@pytest.mark.parametrize("first", [None, 0.003, 0.05])
def test_calibration_is_not_fooled_by_one_slow_call(first):
    # A first call that met a compilation or a preemption must not turn every sample into one call.
    assert harness.calibrate(Fake(2e-6, first).sample, 0.002, max_calls=20) == 20


@pytest.mark.parametrize("rounds, total", [(3, 11), (11, 11), (7, 5)])
def test_close_contenders_get_more_rounds_in_step(rounds, total):
    contenders = {"rastrel": Fake(1e-3), "peer": Fake(1.2e-3), "slow": Fake(5e-3)}
    times = harness.interleaved(contenders, rounds, close=("rastrel", 1.5, total))
    assert {name: len(values) for name, values in times.items()} == {
        "rastrel": max(rounds, total), "peer": max(rounds, total), "slow": rounds}
    assert peers_report.paired({"times": times["rastrel"]}, {"times": times["peer"]}) == pytest.approx(
        [1.2] * max(rounds, total))


class Recorder(Fake):
    """A contender that notes its turns."""

    def __init__(self, name, order):
        super().__init__(1e-3)
        self.name, self.order = name, order

    def sample(self, count):
        self.order.append(self.name)
        return super().sample(count)


@pytest.mark.parametrize("names", [["rastrel", "a", "b", "x"], ["a", "x", "rastrel", "b", "y"]])
def test_a_pair_takes_turns_running_first(names):
    order = []
    harness.interleaved({name: Recorder(name, order) for name in names}, 6, pair=("a", "b"))
    pairs = [name for name in order if name in ("a", "b")]
    assert pairs[::2] == ["a", "b"] * 3


def test_no_contender_always_follows_the_same_one():
    # A child's turn slows the call made right after it: a fixed cyclic order charged that to
    # one contender in every round.
    order = []
    names = ["rastrel", "peer", "other", "child"]
    harness.interleaved({name: Recorder(name, order) for name in names}, 12)
    rounds = [order[i:i + len(names)] for i in range(0, len(order), len(names))]
    assert all(sorted(r) == sorted(names) for r in rounds)
    assert len({r[r.index("rastrel") - 1] for r in rounds}) > 1


@pytest.mark.parametrize("before", [False, True])
def test_timing_loop_calls_each_once(before):
    seen = []
    sample = harness.timing_loop(lambda: seen.append("call"), (lambda: seen.append("before")) if before else None)
    assert sample(3) >= 0
    assert seen == (["before", "call"] if before else ["call"]) * 3


class Wrapper:
    def __init__(self, run):
        self.run = run


class Array:
    pass


def contender():
    """A call whose closure and defaults each hold an array, and weak references to both."""
    kept, seen = Array(), Array()
    return (lambda extra=seen: (kept, extra)), [weakref.ref(kept), weakref.ref(seen)]


@pytest.mark.parametrize("wrap", [False, True])
def test_release_lets_a_kept_contenders_arrays_go(wrap):
    # PyPy's JIT keeps the timed functions themselves; what they reach must not stay with them.
    run, refs = contender()
    harness.release(Wrapper(run) if wrap else run)
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_pinned_run_is_divided_by_the_free_child():
    def result(impl, seconds):
        return {"kernel": "ratio", "size": 64, "layout": "contiguous", "regime": "busy", "impl": impl,
                "seconds": seconds, "pixels": 4096, "times": [seconds]}
    results = [result("rastrel", 3e-6), result("rastrel, 1 thread", 3.3e-6), result("rastrel, child", 2e-6)]
    run = {"interpreter": "X", "implementation": "cpython", "numpy": "2", "threads": 2, "roofline threads": 2,
           "cpu": "c", "date": "d", "load": [0, 0], "docs": "nowhere", "results": results}
    text = peers_report.markdown(run, "cmd")
    assert "| 64 x 64 | 3.0 us, 1.37 | 3.3 us, 1.24, x1.65 vs child | 2.0 us, 2.05, x0.67 |" in text
    assert "| 64 x 64 |  |  |  |  | 1.65 (ratio) |" in text


@pytest.mark.parametrize("numba, shown", [(0.9e-5, True), (1.1e-5, False)])
def test_spread_lists_a_middle_size_only_where_the_peer_is_ahead(numba, shown):
    def result(size, impl, seconds):
        return {"kernel": "ratio", "size": size, "layout": "contiguous", "regime": "warm", "impl": impl,
                "seconds": seconds, "pixels": size * size, "times": [seconds, seconds]}
    results = [result(size, impl, seconds) for size in (64, 256, 4096)
               for impl, seconds in (("rastrel", 1e-5), ("numba", numba))]
    rows = [line for line in peers_report.spread({"results": results}) if line.startswith("| ratio")]
    assert [row.split(",")[1] for row in rows] == [" 256 x 256"] * shown + [" 4096 x 4096"]
