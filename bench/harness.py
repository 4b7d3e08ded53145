"""What every benchmark here shares: the processors this process may use, interleaved timing
rounds and their medians, and a child process pinned to one processor that times calls on request.

Rounds are interleaved (the contenders' order rotates each round) because memory bandwidth and the
load of other processes drift on shared machines: side by side in one run, they hit every
contender alike, and the medians' ratios are what to compare."""
import ctypes
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

# ---------------------------------------------------------------------------------------------
# Processors (PyPy's os module has neither sched_getaffinity nor sched_setaffinity).

_CpuSet = ctypes.c_uint64 * 16  # 1024 processors, as the module itself asks for


def usable_cpus():
    """The processors this thread may run on, in ascending order."""
    if hasattr(os, "sched_getaffinity"):
        return sorted(os.sched_getaffinity(0))
    mask = _CpuSet()
    if ctypes.CDLL(None, use_errno=True).sched_getaffinity(0, ctypes.sizeof(mask), mask) != 0:
        raise OSError(ctypes.get_errno(), "sched_getaffinity")
    return [64 * i + bit for i, word in enumerate(mask) for bit in range(64) if word >> bit & 1]


def processors():
    return len(usable_cpus())


def pin(cpu):
    """Restricts this thread, and the threads and processes it starts from now on, to `cpu`."""
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {cpu})
        return
    mask = _CpuSet()
    mask[cpu // 64] = 1 << (cpu % 64)
    if ctypes.CDLL(None, use_errno=True).sched_setaffinity(0, ctypes.sizeof(mask), mask) != 0:
        raise OSError(ctypes.get_errno(), "sched_setaffinity")


def describe():
    """Interpreter, NumPy and processors, for the first line of a report."""
    return (f"{platform.python_implementation()} {platform.python_version()}, NumPy {np.__version__}, "
            f"{processors()} processors")


# ---------------------------------------------------------------------------------------------
# Timing.


def sampler(contender):
    """seconds = sample(count): the time of `count` back-to-back calls of a function of no
    arguments, or the contender's own `sample` (a pinned child times its calls itself)."""
    if hasattr(contender, "sample"):
        return contender.sample

    def sample(count):
        start = time.perf_counter()
        for _ in range(count):
            contender()
        return time.perf_counter() - start
    return sample


def calibrate(sample, budget, max_calls=None):
    """Calls per sample so that a sample lasts about `budget` seconds, and at most `max_calls`
    (for samples whose calls come with untimed work of their own, which the budget does not see)."""
    cap = max_calls or float("inf")
    once = sample(1)
    if once >= budget:
        return 1
    k = int(min(cap, max(1, budget / 4 / once)))
    return int(min(cap, max(1, budget / (sample(k) / k))))


def interleaved(contenders, rounds, budget=None, warm=False, settle=0.0, max_calls=None):
    """{name: [seconds per call, one per round]}: each contender (a function of no arguments, or
    an object with `sample(count)`) once a round, the order rotating each round.

    `budget`: seconds a sample should last, calibrated per contender (one call a sample without).
    `warm`: an untimed call before each sample of several calls, so that the wake-up of a pool
    that the other contenders' turns have put to sleep is not charged to every sample.
    `settle`: a pause after each sample, for peers whose threads spin on after their call.
    `max_calls`: at most this many calls a sample."""
    names = list(contenders)
    samplers = {name: sampler(contenders[name]) for name in names}
    calls = {name: calibrate(samplers[name], budget, max_calls) if budget else 1 for name in names}
    times = {name: [] for name in names}
    for r in range(rounds):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            if warm and calls[name] > 1:
                samplers[name](1)
            times[name].append(samplers[name](calls[name]) / calls[name])
            if settle:
                time.sleep(settle)
    return times


def medians(times):
    return {name: statistics.median(values) for name, values in times.items()}


def same_bits(x, y):
    """Bit for bit, NaN compared by mask (any payload)."""
    x, y = np.asarray(x, np.float32), np.asarray(y, np.float32)
    nan = np.isnan(x)
    return bool(np.array_equal(nan, np.isnan(y)) and np.array_equal(x.view(np.uint32)[~nan], y.view(np.uint32)[~nan]))


# ---------------------------------------------------------------------------------------------
# A pinned child: the same script run again in a process bound to one processor before it
# imports rastrel (whose pool sizes itself from the affinity mask, so it has one worker there).
# It answers JSON requests, one a line.


class PinnedChild:
    """Runs `script` with `args` on processor `cpu`; the script calls `serve` when it sees them."""

    def __init__(self, cpu, script, *args):
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(script), *map(str, args)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1,
            preexec_fn=lambda: pin(cpu),
        )

    def send(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()

    def receive(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the pinned child ended (exit status {self.process.wait()})")
        return json.loads(line)

    def ask(self, **request):
        self.send(**request)
        return self.receive()

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def serve(answer):
    """The child's side: answer(request) for every request on standard input, until it closes."""
    for line in sys.stdin:
        sys.stdout.write(json.dumps(answer(json.loads(line))) + "\n")
        sys.stdout.flush()
