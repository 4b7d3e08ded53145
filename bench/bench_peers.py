"""Every band index of rastrel and its expression executor, side by side with what users run
instead: the NumPy expression (with and without out=), numexpr and numba with parallel=True
where they are installed, and a copy-like roofline with the same memory traffic on the same
number of threads.

All contenders of one kernel, size and layout run in interleaved rounds (in a new order each
round) in one process, so that drifting memory bandwidth and the load of other processes hit
them alike; medians and their ratios are reported. Every peer's formulation is float32-exact,
and its result is compared with rastrel's bit for bit before it is timed.

Thread scaling: rastrel also runs in two child processes, as two more contenders of the same
rounds: one pinned to one processor (the pool sizes itself from the affinity mask; the child moves
to the next usable processor every round, since processors of one machine differ), one free,
running exactly the same code; the pinned run is compared with the free child, like with like (a
child's turns slow the in-process calls that follow them, see RastrelChild).

Where a round of all contenders takes long (4096 x 4096 and up), the contenders within 1.5x of
rastrel get more rounds of their own (--rounds-close), so that a few per cent tell from noise; the
.json keeps every round's time, and the report shows the spread of the round-by-round ratios.

Two regimes: `warm`, calls back to back; `busy`, each call after about a millisecond of other,
single-threaded NumPy work (untimed), as in a user's pipeline, where the pools' threads have had
that long to go to sleep or keep spinning.

Writes docs/performance-<interpreter>.md (tables and targets), .png (throughput against size)
and .json (the medians and every round's time); peers_report.py writes them.

    python bench/bench_peers.py [--sizes 1,64,256,1024,4096,8192] [--rounds 7] [--rounds-large 3]
                                [--rounds-close 11] [--no-pinned] [--regimes warm,busy]
                                [--kernels "normalized difference,evi"]
    python bench/bench_peers.py --replot docs/performance-pypy.json   # where matplotlib is
"""
import argparse
import ctypes
import datetime
import gc
import itertools
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np
from harness import (ChildProcess, collect, interleaved, medians, memory, pin_process, processors, release,
                     same_bits, serve, timing_loop, usable_cpus, warm_up)
from peers_report import CHILD, PINNED, cpu_name, markdown, plot

import rastrel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EPS = np.float32(1e-10)
ONE = np.float32(1.0)
# Inexact coefficients, so that a fused or regrouped formulation would show in the bits.
L_ADJ = np.float32(0.5)
G, C1, C2, L_EVI = np.float32(2.5), np.float32(6.1), np.float32(7.3), np.float32(1.05)
FACTOR = np.float32(L_ADJ + ONE)

KERNELS = ["normalized difference", "ratio", "adjusted difference", "evi"]
BANDS = {"normalized difference": 2, "ratio": 2, "adjusted difference": 2, "evi": 3}


def implementation():
    return "pypy" if platform.python_implementation() == "PyPy" else "cpython"


# ---------------------------------------------------------------------------------------------
# Contenders. Each maker takes the bands and the output and returns a function of no arguments.


def push(k):
    return {"type": "push_band", "index": k}


def scalar(v):
    return {"type": "push_scalar", "value": float(v)}


def op(name):
    return {"type": name}


# The executor adds the division guard itself, as the kernels do.
PROGRAMS = {
    "normalized difference": [push(0), push(1), op("sub"), push(0), push(1), op("add"), op("div")],
    "ratio": [push(0), push(1), op("div")],
    "adjusted difference": [scalar(FACTOR), push(0), push(1), op("sub"), push(0), push(1), op("add"),
                            scalar(L_ADJ), op("add"), op("div"), op("mul")],
    "evi": [scalar(G), push(0), push(1), op("sub"), scalar(C1), push(1), op("mul"), push(0), op("add"),
            scalar(C2), push(2), op("mul"), op("sub"), scalar(L_EVI), op("add"), op("div"), op("mul")],
}


def rastrel_call(kernel, bands, out):
    if kernel == "normalized difference":
        a, b = bands
        return lambda: rastrel.calculate_normalized_difference_inplace(a, b, out)
    if kernel == "ratio":
        a, b = bands
        return lambda: rastrel.calculate_ratio_inplace(a, b, out)
    if kernel == "adjusted difference":
        a, b = bands
        return lambda: rastrel.calculate_adjusted_difference_inplace(a, b, float(L_ADJ), out)
    n, r, b = bands
    return lambda: rastrel.calculate_evi_inplace(n, r, b, float(G), float(C1), float(C2), float(L_EVI), out)


def numpy_formula(kernel, x):
    """The formula over float32 arrays, one rounding per operation in the kernel's order."""
    if kernel == "normalized difference":
        return (x[0] - x[1]) / (x[0] + x[1] + EPS)
    if kernel == "ratio":
        return x[0] / (x[1] + EPS)
    if kernel == "adjusted difference":
        return FACTOR * ((x[0] - x[1]) / (x[0] + x[1] + L_ADJ + EPS))
    return G * ((x[0] - x[1]) / ((C1 * x[1] + x[0]) - C2 * x[2] + L_EVI + EPS))


def numpy_plain(kernel, bands, out):
    def run():
        return numpy_formula(kernel, [band.astype(np.float32) for band in bands])
    return run


numpy_plain.writes_out = False  # returns a new array: no output of its own to hold (512 MB at 8192^2)


def numpy_out(kernel, bands, out):
    shape = bands[0].shape
    x = [np.empty(shape, np.float32) for _ in bands]
    d, s, u = (np.empty(shape, np.float32) for _ in range(3))

    def run():
        for target, band in zip(x, bands):
            np.copyto(target, band)
        if kernel == "normalized difference":
            np.subtract(x[0], x[1], out=d)
            np.add(x[0], x[1], out=s)
            np.add(s, EPS, out=s)
            np.divide(d, s, out=out)
        elif kernel == "ratio":
            np.add(x[1], EPS, out=s)
            np.divide(x[0], s, out=out)
        elif kernel == "adjusted difference":
            np.subtract(x[0], x[1], out=d)
            np.add(x[0], x[1], out=s)
            np.add(s, L_ADJ, out=s)
            np.add(s, EPS, out=s)
            np.divide(d, s, out=d)
            np.multiply(d, FACTOR, out=out)
        else:
            np.subtract(x[0], x[1], out=d)
            np.multiply(x[1], C1, out=s)
            np.add(s, x[0], out=s)
            np.multiply(x[2], C2, out=u)
            np.subtract(s, u, out=s)
            np.add(s, L_EVI, out=s)
            np.add(s, EPS, out=s)
            np.divide(d, s, out=d)
            np.multiply(d, G, out=out)
        return out
    return run


NUMEXPR_TEXT = {
    "normalized difference": "(a - b) / (a + b + eps)",
    "ratio": "a / (b + eps)",
    "adjusted difference": "factor * ((a - b) / (a + b + l + eps))",
    "evi": "g * ((a - b) / ((c1 * b + a) - c2 * c + l + eps))",
}


def numexpr_call(ne):
    def make(kernel, bands, out):
        text = NUMEXPR_TEXT[kernel]
        constants = {"eps": EPS, "factor": FACTOR, "l": L_ADJ if kernel != "evi" else L_EVI,
                     "g": G, "c1": C1, "c2": C2}
        evaluate = ne.evaluate  # run's cells are its own (see harness.release)

        def run():
            # numexpr has no uint16: converting to float32 first keeps every operation in float32
            # (integer operands would turn the constants' float32 into float64).
            names = dict(zip("abc", (band.astype(np.float32) for band in bands)))
            names.update(constants)
            return evaluate(text, local_dict=names, out=out, casting="no")
        return run
    return make


def numba_functions(numba, parallel=True):
    """The four kernels as numba loops, float32 exactly as rastrel computes them; with
    parallel=False a plain loop on one thread."""
    prange = numba.prange if parallel else range

    @numba.njit(parallel=parallel)
    def nd(a, b, out):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                x = np.float32(a[i, j])
                y = np.float32(b[i, j])
                out[i, j] = (x - y) / (x + y + EPS)

    @numba.njit(parallel=parallel)
    def ratio(a, b, out):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                out[i, j] = np.float32(a[i, j]) / (np.float32(b[i, j]) + EPS)

    @numba.njit(parallel=parallel)
    def adjusted(a, b, out):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                x = np.float32(a[i, j])
                y = np.float32(b[i, j])
                out[i, j] = FACTOR * ((x - y) / (x + y + L_ADJ + EPS))

    @numba.njit(parallel=parallel)
    def evi(n, r, b, out):
        for i in prange(n.shape[0]):
            for j in range(n.shape[1]):
                x = np.float32(n[i, j])
                y = np.float32(r[i, j])
                z = np.float32(b[i, j])
                out[i, j] = G * ((x - y) / ((C1 * y + x) - C2 * z + L_EVI + EPS))

    return {"normalized difference": nd, "ratio": ratio, "adjusted difference": adjusted, "evi": evi}


def numba_call(numba):
    functions = numba_functions(numba)

    def make(kernel, bands, out):
        f = functions[kernel]
        return lambda: f(*bands, out)
    return make


def build_roofline():
    """The roofline library, built (or brought up to date) by CMake in build/bench."""
    build = os.path.join(ROOT, "build", "bench")
    tools = os.path.dirname(sys.executable)  # the venv's cmake and ninja, where they are
    cmake = os.path.join(tools, "cmake") if os.path.exists(os.path.join(tools, "cmake")) else "cmake"
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={os.path.join(tools, 'ninja')}"] if os.path.exists(
            os.path.join(tools, "ninja")) else []
        subprocess.run([cmake, "-S", ROOT, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                        "-DRASTREL_BUILD_MODULE=OFF", "-DRASTREL_BUILD_TESTS=OFF", "-DRASTREL_BUILD_BENCH=ON"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", build, "--target", "roofline"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "libroofline.so")


class Roofline:
    """The copy-like roofline (bench/roofline.cpp) through ctypes."""

    def __init__(self):
        self.lib = ctypes.CDLL(build_roofline())
        self.lib.roofline_run.argtypes = [ctypes.c_void_p] * 4 + [ctypes.c_size_t, ctypes.c_int]
        self.lib.roofline_run.restype = None
        self.threads = self.lib.roofline_threads()

    def make(self, streaming):
        def make_for(kernel, bands, out):
            # Contiguous arrays of the same size, whatever the layout of the kernel's arrays.
            shape = bands[0].shape
            src = [np.ascontiguousarray(band) for band in bands]
            dst = np.empty(shape, np.uint32)
            pointers = [x.ctypes.data for x in src] + [None] * (3 - len(src))
            run_c = self.lib.roofline_run
            size = dst.size
            flag = 1 if streaming else 0
            target = dst.ctypes.data
            # The arrays go into the closure: ctypes holds only their addresses.
            return lambda keep=(src, dst): run_c(target, pointers[0], pointers[1], pointers[2], size, flag)
        return make_for


# ---------------------------------------------------------------------------------------------
# Timing.


def make_arrays(rng, n, bands, layout):
    """Bands and output of n x n pixels: contiguous, or every other column of a wider array."""
    def band():
        if layout == "contiguous":
            return rng.integers(0, 65536, (n, n), dtype=np.uint16)
        return rng.integers(0, 65536, (n, 2 * n), dtype=np.uint16)[:, ::2]
    arrays = [band() for _ in range(bands)]
    out = np.empty((n, n), np.float32) if layout == "contiguous" else np.empty((n, 2 * n), np.float32)[:, ::2]
    return arrays, out


# About a millisecond of other single-threaded NumPy work, done before each timed call in the
# busy regime.
_BUSY = np.ones(20000, np.float64)


# Calls per busy sample: each comes with its millisecond of other work.
BUSY_CALLS = 20


def other_work(seconds=0.001):
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        np.sqrt(_BUSY, out=_BUSY)


class Busy:
    """A contender timed in the busy regime: other work before each call, outside the timing."""

    def __init__(self, run):
        self.run = run
        self.sample = timing_loop(run, before=other_work)

    def __call__(self):
        return self.run()

    def warm_up(self):
        warm_up(self.sample)


def collect_after(name):
    """On PyPy, the contenders that make new arrays leave them to the collector, which does not see
    their size: from 4096 x 4096 on, a few rounds of them filled the memory."""
    if name in ("numpy", "numexpr", "rastrel new array"):
        gc.collect()


def sample_budget(pixels):
    """Seconds a sample should last."""
    return 0.002 if pixels <= 1 << 16 else 0.02


class RastrelChild(ChildProcess):
    """rastrel in a child process, timed in the same interleaved rounds as everything else:
    pinned to one processor (so its pool has one worker), or free, running exactly the same code.

    The free one is what the pinned one compares with. Between its turns a child waits on a pipe
    while the other contenders run, and the smallest in-process calls made after a child's turn
    are slower than without children in the rounds (see bench/README.md); two children see the
    same turns, waits and wake-ups, and differ only in the processors they may use."""

    def __init__(self, pinned):
        # The pinned child is moved to the next usable processor every round: processors of one
        # machine differ (on a loaded 2-processor virtual machine the same calls ran 1.04-1.7
        # times slower on the second than on the first, run after run), and the free child runs on
        # any of them, so a pinned child always on the first compared it with the faster one.
        self.cpus = usable_cpus() if pinned else None
        self.cpu = self.cpus[0] if pinned else None
        super().__init__(__file__, "--child-server", cpu=self.cpu)

    def setup(self, kernel, n, layout, regime):
        self.ask(setup=[kernel, n, layout, regime])
        return self

    def next_round(self, r):
        if self.cpus:
            self.cpu = self.cpus[r % len(self.cpus)]

    def sample(self, count):
        return self.ask(sample=count, cpu=self.cpu)["seconds"]


def serve_child():
    """The child's side of RastrelChild: one configuration at a time, samples on request."""
    state = {}
    # The processor the pinned child runs on (it starts on the first usable one).
    placed = [usable_cpus()[0]]

    def answer(request):
        if "setup" in request:
            kernel, n, layout, regime = request["setup"]
            # The previous configuration's arrays go first (see harness.release).
            release(state.get("run"))
            state.clear()
            collect()
            bands, out = make_arrays(np.random.default_rng(n), n, BANDS[kernel], layout)
            run = state["run"] = rastrel_call(kernel, bands, out)
            run()
            # Warmed up as the parent warms its own contenders: see harness.calibrate.
            state["sample"] = timing_loop(run, before=other_work if regime == "busy" else None)
            if implementation() == "pypy" and min(state["sample"](1), state["sample"](1)) < sample_budget(n * n):
                warm_up(state["sample"])
            return {"threads": processors()}
        if request["cpu"] is not None and request["cpu"] != placed[0]:
            # The new processor's caches hold none of the arrays, which the free child, rarely
            # moved by the scheduler, seldom pays: one untimed call first.
            pin_process(request["cpu"])
            placed[0] = request["cpu"]
            state["sample"](1)
        return {"seconds": state["sample"](request["sample"])}

    serve(answer)


def cell_contenders(kernel, n, layout, bands, out, peers):
    """{name: call} for one cell, rastrel's first, and {name: whether its result is rastrel's bit
    for bit}."""
    expr = rastrel.compile_expr(PROGRAMS[kernel], BANDS[kernel])
    contenders = {"rastrel": rastrel_call(kernel, bands, out)}
    if kernel == "normalized difference":
        contenders["rastrel new array"] = (
            lambda a=bands[0], b=bands[1]: rastrel.calculate_normalized_difference(a, b))
    out_expr = np.empty_like(out) if layout == "contiguous" else np.empty((n, 2 * n), np.float32)[:, ::2]
    contenders["rastrel expr"] = lambda e=expr, bs=list(bands), o=out_expr: rastrel.execute_expr_inplace(e, bs, o)

    contenders["rastrel"]()
    reference = out.copy()
    contenders["rastrel expr"]()
    exact = {"rastrel expr": same_bits(out_expr, reference)}
    for name, make in peers.items():
        if name.startswith("roofline") and layout != "contiguous":
            continue
        peer_out = None
        if getattr(make, "writes_out", True):
            peer_out = np.empty_like(out) if layout == "contiguous" else np.empty((n, 2 * n), np.float32)[:, ::2]
        run = make(kernel, bands, peer_out)
        result = run()
        if not name.startswith("roofline"):
            exact[name] = same_bits(result if result is not None else peer_out, reference)
        contenders[name] = run
    if "rastrel new array" in contenders:
        exact["rastrel new array"] = same_bits(contenders["rastrel new array"](), reference)
    return contenders, exact


def measure_cell(args, kernel, n, layout, regime, rng, peers, children):
    """{name: [seconds per call, one per round]} and {name: bit-identical} of one cell."""
    bands, out = make_arrays(rng, n, BANDS[kernel], layout)
    calls, exact = cell_contenders(kernel, n, layout, bands, out, peers)
    del bands, out
    contenders = dict(calls)
    if regime == "busy":
        contenders = {name: Busy(run) for name, run in contenders.items() if not name.startswith("roofline")}
    for name, child in children.items():
        contenders[name] = child.setup(kernel, n, layout, regime)

    pixels = n * n
    if pixels >= 1 << 25:
        rounds = args.rounds_large
    elif pixels >= 1 << 22:
        rounds = args.rounds
    else:
        rounds = max(args.rounds, 11)
    # Warm samples: the pause after each sample puts every pool to sleep (this module's too), and
    # the first call of a sample would pay for waking it. The pause lets peers' threads that spin on
    # after their call (OpenMP's, numba's) settle, so that they do not take the processors from the
    # next contender. Busy calls cost a millisecond of other work each, which the budget does not
    # see. Contenders within 1.5x of rastrel get at least --rounds-close rounds, three times as
    # many up to 256 x 256: up to 64 x 64 both children run the same code on the calling thread, and
    # two identical processes' medians of 11 rounds differed by 2-8% (busy 1 x 1: up to 2x) on a
    # loaded machine, as much as the pinned run's misses there; at 256 x 256 two whole runs'
    # medians of the same cell differed by up to 30%, and one round in five of a busy cell was
    # slowed two- or threefold for every contender in the process. The two children swap places
    # every other round.
    close_rounds = args.rounds_close * (3 if pixels <= 1 << 16 else 1)
    times = interleaved(contenders, rounds, sample_budget(pixels), warm=True, settle=0.003,
                        max_calls=BUSY_CALLS if regime == "busy" else None,
                        close=("rastrel", 1.5, close_rounds), pair=(PINNED, CHILD) if children else None,
                        after=collect_after if implementation() == "pypy" and pixels >= 1 << 22 else None)
    for run in calls.values():
        release(run)
    return times, exact


def memory_note(children):
    """Resident memory of this process and the children (now, and their peaks), for the progress
    line: the largest sizes take gigabytes a cell, and what one cell leaves behind shows here."""
    gb = 1 / (1 << 30)
    parts = []
    for name, pid in [("this", "self")] + [(name, child.process.pid) for name, child in children.items()]:
        got = memory(pid)
        if got:
            parts.append(f"{name} {got[0] * gb:.1f} (peak {got[1] * gb:.1f})")
    return f" [GB resident: {', '.join(parts)}]" if parts else ""


def measure(args):
    peers = {"numpy": numpy_plain, "numpy out=": numpy_out}
    try:
        import numexpr
        peers["numexpr"] = numexpr_call(numexpr)
    except ImportError:
        pass
    try:
        import numba
        peers["numba"] = numba_call(numba)
    except ImportError:
        pass
    children = {} if args.no_pinned else {PINNED: RastrelChild(pinned=True), CHILD: RastrelChild(pinned=False)}
    roofline = Roofline()
    peers["roofline"] = roofline.make(streaming=False)
    peers["roofline streaming"] = roofline.make(streaming=True)

    rng = np.random.default_rng(7)
    results = []
    for n, layout, kernel, regime in itertools.product(args.sizes, args.layouts, args.kernels, args.regimes):
        times, exact = measure_cell(args, kernel, n, layout, regime, rng, peers, children)
        # PyPy frees NumPy's arrays (and the temporaries of the NumPy contenders) only when its
        # collector runs, which does not see their size: without this, gigabytes a cell piled up
        # at 4096 x 4096 and up until the system killed the run.
        collect()
        seconds_of = medians(times)
        for name, seconds in seconds_of.items():
            results.append({"kernel": kernel, "size": n, "layout": layout, "regime": regime, "impl": name,
                            "seconds": seconds, "pixels": n * n, "times": times[name],
                            "exact": exact.get(name, True)})
        line = ", ".join(f"{name} {seconds * 1e3:.3f} ms" for name, seconds in seconds_of.items())
        print(f"{kernel}, {n} x {n} {layout}, {regime}: {line}{memory_note(children)}", file=sys.stderr, flush=True)
    for child in children.values():
        child.close()
    return {"threads": processors(), "roofline threads": roofline.threads, "results": results}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1,64,256,1024,4096,8192",
                        type=lambda s: [int(x) for x in s.split(",")], help="rows (= columns) per size")
    parser.add_argument("--layouts", default="contiguous,strided", type=lambda s: s.split(","))
    parser.add_argument("--regimes", default="warm,busy", type=lambda s: s.split(","),
                        help="warm: back to back; busy: each call after 1 ms of other NumPy work")
    parser.add_argument("--kernels", default=",".join(KERNELS), type=lambda s: s.split(","))
    parser.add_argument("--rounds", type=int, default=7,
                        help="interleaved rounds (at least 11 below 2048 x 2048)")
    parser.add_argument("--rounds-large", type=int, default=3,
                        help="interleaved rounds from about 5800 x 5800 on (each round of all contenders takes "
                             "seconds there)")
    parser.add_argument("--rounds-close", type=int, default=11,
                        help="rounds at least for the contenders within 1.5x of rastrel (more rounds of those "
                             "alone where the others took fewer; three times as many up to 64 x 64)")
    parser.add_argument("--docs", default=os.path.join(ROOT, "docs"), help="where the reports go")
    parser.add_argument("--no-pinned", action="store_true",
                        help="skip the child processes (pinned to one processor, and free)")
    parser.add_argument("--replot", metavar="JSON",
                        help="only draw the plot of an earlier run's .json (PyPy's venvs have no matplotlib)")
    parser.add_argument("--child-server", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child_server:
        serve_child()
        return
    if args.replot:
        with open(args.replot) as f:
            run = json.load(f)
        plot(run, os.path.splitext(args.replot)[0] + ".png")
        return

    load_before = os.getloadavg()[0]
    run = measure(args)
    run.update({
        "interpreter": f"{platform.python_implementation()} {platform.python_version()}",
        "implementation": implementation(),
        "numpy": np.__version__,
        "cpu": cpu_name(),
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "load": [load_before, os.getloadavg()[0]],
        "docs": args.docs,
    })
    os.makedirs(args.docs, exist_ok=True)
    stem = os.path.join(args.docs, f"performance-{implementation()}")
    command = "python bench/bench_peers.py" + "".join(f" {a}" for a in sys.argv[1:])
    with open(stem + ".json", "w") as f:
        json.dump({k: v for k, v in run.items() if k != "docs"}, f, indent=1)
    with open(stem + ".md", "w") as f:
        f.write(markdown(run, command))
    plot(run, stem + ".png")
    print(f"wrote {stem}.md, .png and .json")


if __name__ == "__main__":
    main()
