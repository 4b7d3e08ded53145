"""What every benchmark here shares: the processors this process may use, interleaved timing
rounds and their medians, and child processes (pinned to one processor or not) that time calls on
request.

Rounds are interleaved (the contenders in a new order each round) because memory bandwidth and the
load of other processes drift on shared machines: side by side in one run, they hit every
contender alike, and the medians' ratios are what to compare."""
import ctypes
import errno
import gc
import itertools
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import types

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


def pin(cpu, thread=0):
    """Restricts `thread` (this one by default), and the threads and processes it starts from now
    on, to `cpu`."""
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(thread, {cpu})
        return
    mask = _CpuSet()
    mask[cpu // 64] = 1 << (cpu % 64)
    if ctypes.CDLL(None, use_errno=True).sched_setaffinity(thread, ctypes.sizeof(mask), mask) != 0:
        error = ctypes.get_errno()
        raise (ProcessLookupError if error == errno.ESRCH else OSError)(error, "sched_setaffinity")


def pin_process(cpu):
    """Moves every thread of this process (a pool's workers too) to `cpu` alone."""
    for task in os.listdir("/proc/self/task"):
        try:
            pin(cpu, int(task))
        except ProcessLookupError:  # a thread that ended meanwhile
            pass


def memory(pid="self"):
    """(resident, peak resident) bytes of a process, from /proc; None where there is no /proc."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f)
    except OSError:
        return None
    return tuple(int(fields[key].split()[0]) * 1024 for key in ("VmRSS", "VmHWM"))


def describe():
    """Interpreter, NumPy and processors, for the first line of a report."""
    return (f"{platform.python_implementation()} {platform.python_version()}, NumPy {np.__version__}, "
            f"{processors()} processors")


# ---------------------------------------------------------------------------------------------
# Timing.


# Each contender gets a timing loop compiled for it alone: PyPy's JIT traces a loop per code
# object, and one loop shared by every contender is traced for all their callees at once (a guard
# and a bridge per callee, and whichever came first shapes the trace). A user's loop calls one
# library; so does each of these. On CPython the loops are the same bytecode as a shared one.
_LOOP = """
def sample(count, call=call, perf_counter=perf_counter):
    start = perf_counter()
    for _ in range(count):
        call()
    return perf_counter() - start
"""
_LOOP_AFTER = """
def sample(count, call=call, before=before, perf_counter=perf_counter):
    total = 0.0
    for _ in range(count):
        before()
        start = perf_counter()
        call()
        total += perf_counter() - start
    return total
"""
_loops = itertools.count()


def timing_loop(call, before=None):
    """seconds = sample(count): the time of `count` calls of `call` (a function of no arguments),
    each after an untimed call of `before` when there is one, in a loop made for `call` alone."""
    scope = {"call": call, "before": before, "perf_counter": time.perf_counter}
    exec(compile(_LOOP_AFTER if before else _LOOP, f"<timing loop {next(_loops)}>", "exec"), scope)
    # Taken out of its globals, so that no cycle keeps the contender's arrays alive until the
    # collector runs (gigabytes at 8192 x 8192).
    return scope.pop("sample")


def release(call):
    """Empties the closure and defaults of a contender's function (or of the function a wrapper
    holds as `run`), so that the arrays it calls with can go. PyPy's JIT keeps a compiled timing
    loop, and the function it calls as a constant of its trace, for the rest of the process
    (`pypyjit.releaseall` does not free them): at 4096 x 4096 and up, every cell's bands and
    outputs stayed alive, gigabytes a few cells. The function is not called again afterwards, and
    its cells must be its own: one shared with a maker that is used again would be emptied too."""
    for function in (call, getattr(call, "run", None)):
        if isinstance(function, types.FunctionType):
            for cell in function.__closure__ or ():
                cell.cell_contents = None
            function.__defaults__ = None


def collect(passes=3):
    """Collects garbage a few times over. On PyPy a NumPy array whose last reference was a view of
    it (every other column of a wider array) is freed only by the pass after the one that frees
    the view: after one pass, 8192 x 8192 cells left gigabytes for the next cell to add to."""
    for _ in range(passes):
        gc.collect()


def warm_up(sample, calls=64, seconds=0.2):
    """On PyPy, runs a timing loop until its JIT has compiled it, so that it is not compiled in a
    timed sample (which would cost that sample milliseconds): `calls` calls or `seconds`, with the
    JIT's thresholds lowered meanwhile (a loop becomes hot after about a thousand iterations, far
    more than the samples of a call after a millisecond of other work make). The loop runs as it
    will be timed, so the JIT traces what it will run. Nothing to do on CPython."""
    if platform.python_implementation() != "PyPy":
        return
    import pypyjit
    pypyjit.set_param("threshold=8,function_threshold=8")
    try:
        start, made, k = time.perf_counter(), 0, 1
        while made < calls and time.perf_counter() - start < seconds:
            sample(k)
            made += k
            k = min(2 * k, calls - made)
    finally:
        pypyjit.set_param("default")


def sampler(contender):
    """seconds = sample(count): the contender's own `sample` (a child process times its calls
    itself, a busy contender adds its untimed work), or a timing loop of its own."""
    if hasattr(contender, "sample"):
        return contender.sample
    return timing_loop(contender)


def calibrate(sample, budget, max_calls=None, prepare=None):
    """Calls per sample so that a sample lasts about `budget` seconds, and at most `max_calls`
    (for samples whose calls come with untimed work of their own, which the budget does not see).
    `prepare()` runs first when a call takes less than the budget (a warm-up, say)."""
    cap = max_calls or float("inf")
    # The fastest of a few calls: one that met a compilation of PyPy's JIT, a collection or a
    # preemption would otherwise make every sample a single call after the pause between samples,
    # a different measurement (seen on PyPy: 1 x 1 calls after other work at 5-9 us instead of 2).
    # Calls of a tenth of a second and more are not tried twice.
    once = sample(1)
    if once < max(10 * budget, 0.1):
        once = min(once, sample(1))
    if once < budget:
        if prepare:
            prepare()
        once = min(sample(1) for _ in range(3))
    if once >= budget:
        return 1
    k = int(min(cap, max(1, budget / 4 / once)))
    return int(min(cap, max(1, budget / (sample(k) / k))))


def interleaved(contenders, rounds, budget=None, warm=False, settle=0.0, max_calls=None, close=None, after=None,
                pair=None):
    """{name: [seconds per call, one per round]}: each contender (a function of no arguments, or
    an object with `sample(count)`) once a round, in a new order each round: shuffled, not rotated,
    because what ran just before a contender can slow it (a child process's turn, threads that
    spin on), and a rotation puts the same contender before it in every round. The shuffles are
    seeded, so runs repeat their orders.

    `budget`: seconds a sample should last, calibrated per contender (one call a sample without).
    `warm`: an untimed call before each sample of several calls, so that the wake-up of a pool
    that the other contenders' turns have put to sleep is not charged to every sample.
    `settle`: a pause after each sample, for peers whose threads spin on after their call.
    `max_calls`: at most this many calls a sample.
    `after(name)`: called after each sample of that contender, untimed.
    `close`: (reference, factor, total): after `rounds`, more rounds of only the contenders whose
    median so far is within `factor` of the reference's (either way), until they have `total`.
    Where each round of all contenders takes seconds, the slow ones need few rounds to rank, and
    the close ones get the rounds that tell a few per cent from noise. Round i of every list was
    timed in the same round, so ratios can be paired round by round.
    `pair`: (a, b), two contenders compared with each other: a runs first of the two in even rounds,
    b in odd ones, so that neither always runs right after the other or after the same third.
    A contender with a method `next_round(r)` is told each round's index before the round starts."""
    names = list(contenders)
    samplers = {name: sampler(contenders[name]) for name in names}

    def prepare(name):
        # A contender with a sample of its own warms it up itself, if it needs to (a child process
        # does when it is set up).
        own = getattr(contenders[name], "warm_up", None)
        return own if own or hasattr(contenders[name], "sample") else lambda: warm_up(samplers[name])
    calls = {name: calibrate(samplers[name], budget, max_calls, prepare(name)) if budget else 1 for name in names}
    times = {name: [] for name in names}

    orders = random.Random(len(names))

    def run(names, rounds):
        for r in range(rounds):
            for name in names:
                if hasattr(contenders[name], "next_round"):
                    contenders[name].next_round(len(times[name]))
            order = list(names)
            orders.shuffle(order)
            if pair and all(name in order for name in pair):
                i, j = sorted(order.index(name) for name in pair)
                order[i], order[j] = pair if r % 2 == 0 else pair[::-1]
            for name in order:
                if warm and calls[name] > 1:
                    samplers[name](1)
                times[name].append(samplers[name](calls[name]) / calls[name])
                if after:
                    after(name)
                if settle:
                    time.sleep(settle)

    run(names, rounds)
    if close and close[2] > rounds:
        reference, factor, total = close
        base = statistics.median(times[reference])
        near = [name for name in names if 1 / factor <= statistics.median(times[name]) / base <= factor]
        run(near, total - rounds)
    return times


def medians(times):
    return {name: statistics.median(values) for name, values in times.items()}


def same_bits(x, y):
    """Bit for bit, NaN compared by mask (any payload)."""
    x, y = np.asarray(x, np.float32), np.asarray(y, np.float32)
    nan = np.isnan(x)
    return bool(np.array_equal(nan, np.isnan(y)) and np.array_equal(x.view(np.uint32)[~nan], y.view(np.uint32)[~nan]))


# ---------------------------------------------------------------------------------------------
# A child process: the same script run again, pinned to one processor before it imports rastrel
# (whose pool sizes itself from the affinity mask, so it has one worker there) or free like its
# parent. It answers JSON requests, one a line.


class ChildProcess:
    """Runs `script` with `args`, on processor `cpu` only when one is given; the script calls
    `serve` when it sees them."""

    def __init__(self, script, *args, cpu=None):
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(script), *map(str, args)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1,
            preexec_fn=None if cpu is None else lambda: pin(cpu),
        )

    def send(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()

    def receive(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the child process ended (exit status {self.process.wait()})")
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
