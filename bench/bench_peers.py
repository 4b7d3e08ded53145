"""Every band index of rastrel and its expression executor, side by side with what users run
instead: the NumPy expression (with and without out=), numexpr and numba with parallel=True
where they are installed, and a copy-like roofline with the same memory traffic on the same
number of threads.

All contenders of one kernel, size and layout run in interleaved rounds (the order rotates each
round) in one process, so that drifting memory bandwidth and the load of other processes hit
them alike; medians and their ratios are reported. Every peer's formulation is float32-exact,
and its result is compared with rastrel's bit for bit before it is timed.

Thread scaling: rastrel also runs in a child process pinned to one processor (taskset -c 0; the
pool sizes itself from the affinity mask), as one more contender of the same rounds.

Writes docs/performance-<interpreter>.md (tables and targets), .png (throughput against size)
and .json (the raw medians).

    python bench/bench_peers.py [--sizes 1,64,256,1024,4096,8192] [--rounds 7] [--no-pinned]
    python bench/bench_peers.py --replot docs/performance-pypy.json   # where matplotlib is
"""
import argparse
import ctypes
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

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


def processors():
    # PyPy 3.9 has no os.sched_getaffinity.
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count()


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

        def run():
            # numexpr has no uint16: converting to float32 first keeps every operation in float32
            # (integer operands would turn the constants' float32 into float64).
            names = dict(zip("abc", (band.astype(np.float32) for band in bands)))
            names.update(constants)
            return ne.evaluate(text, local_dict=names, out=out, casting="no")
        return run
    return make


def numba_call(numba):
    prange = numba.prange

    @numba.njit(parallel=True)
    def nd(a, b, out):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                x = np.float32(a[i, j])
                y = np.float32(b[i, j])
                out[i, j] = (x - y) / (x + y + EPS)

    @numba.njit(parallel=True)
    def ratio(a, b, out):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                out[i, j] = np.float32(a[i, j]) / (np.float32(b[i, j]) + EPS)

    @numba.njit(parallel=True)
    def adjusted(a, b, out):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                x = np.float32(a[i, j])
                y = np.float32(b[i, j])
                out[i, j] = FACTOR * ((x - y) / (x + y + L_ADJ + EPS))

    @numba.njit(parallel=True)
    def evi(n, r, b, out):
        for i in prange(n.shape[0]):
            for j in range(n.shape[1]):
                x = np.float32(n[i, j])
                y = np.float32(r[i, j])
                z = np.float32(b[i, j])
                out[i, j] = G * ((x - y) / ((C1 * y + x) - C2 * z + L_EVI + EPS))

    functions = {"normalized difference": nd, "ratio": ratio, "adjusted difference": adjusted, "evi": evi}

    def make(kernel, bands, out):
        f = functions[kernel]
        return lambda: f(*bands, out)
    return make


class Roofline:
    """The copy-like roofline helper, compiled on first use into build/bench."""

    def __init__(self):
        source = os.path.join(ROOT, "bench", "roofline.cpp")
        target_dir = os.path.join(ROOT, "build", "bench")
        library = os.path.join(target_dir, "libroofline.so")
        if not os.path.exists(library) or os.path.getmtime(library) < os.path.getmtime(source):
            os.makedirs(target_dir, exist_ok=True)
            compiler = os.environ.get("CXX", "c++")
            subprocess.run([compiler, "-O3", "-mavx2", "-std=c++20", "-shared", "-fPIC", "-pthread", source,
                            "-o", library], check=True)
        self.lib = ctypes.CDLL(library)
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


def sampler(run):
    """seconds = sample(count): the time of `count` back-to-back calls."""
    if hasattr(run, "sample"):
        return run.sample

    def sample(count):
        start = time.perf_counter()
        for _ in range(count):
            run()
        return time.perf_counter() - start
    return sample


def calibrate(sample, budget):
    """Calls per sample so that a sample lasts about `budget` seconds."""
    once = sample(1)
    if once >= budget:
        return 1
    k = max(1, int(budget / 4 / once))
    return max(1, int(budget / (sample(k) / k)))


def time_contenders(contenders, rounds, budget, settle=0.003):
    names = list(contenders)
    samplers = {name: sampler(contenders[name]) for name in names}
    calls = {name: calibrate(samplers[name], budget) for name in names}
    samples = {name: [] for name in names}
    for r in range(rounds):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            if calls[name] > 1:
                # Back to back means warm: the pause below has put every pool to sleep (this
                # module's too), and the first call of a sample would pay for waking it.
                samplers[name](1)
            samples[name].append(samplers[name](calls[name]) / calls[name])
            # Peers' threads may spin on after their call (OpenMP's, numba's): let them settle, so
            # that they do not take the processors from the next contender.
            time.sleep(settle)
    return {name: statistics.median(samples[name]) for name in names}


class PinnedRastrel:
    """rastrel in a child process pinned to processor 0 (so its pool has one worker), timed in the
    same interleaved rounds as everything else: one thread against two at the same moment, on a
    machine whose load drifts."""

    def __init__(self):
        command = ["taskset", "-c", "0", sys.executable, os.path.abspath(__file__), "--pinned-server"]
        self.child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, **request):
        self.child.stdin.write(json.dumps(request) + "\n")
        self.child.stdin.flush()
        answer = self.child.stdout.readline()
        if not answer:
            raise RuntimeError("the pinned child ended")
        return json.loads(answer)

    def setup(self, kernel, n, layout):
        self.ask(setup=[kernel, n, layout])
        return self

    def sample(self, count):
        return self.ask(sample=count)["seconds"]

    def close(self):
        self.child.stdin.close()
        self.child.wait()


def serve_pinned():
    """The child's side of PinnedRastrel: one configuration at a time, samples on request."""
    run = None
    for line in sys.stdin:
        request = json.loads(line)
        if "setup" in request:
            kernel, n, layout = request["setup"]
            run = None  # the previous configuration's arrays go first
            bands, out = make_arrays(np.random.default_rng(n), n, BANDS[kernel], layout)
            run = rastrel_call(kernel, bands, out)
            run()
            answer = {"threads": processors()}
        else:
            start = time.perf_counter()
            for _ in range(request["sample"]):
                run()
            answer = {"seconds": time.perf_counter() - start}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


def same_bits(x, y):
    x = np.asarray(x, np.float32)
    y = np.asarray(y, np.float32)
    nan = np.isnan(x)
    return bool(np.array_equal(nan, np.isnan(y)) and np.array_equal(x.view(np.uint32)[~nan], y.view(np.uint32)[~nan]))


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
    pinned = None if args.no_pinned else PinnedRastrel()
    roofline = Roofline()
    peers["roofline"] = roofline.make(streaming=False)
    peers["roofline streaming"] = roofline.make(streaming=True)

    rng = np.random.default_rng(7)
    results = []
    for n in args.sizes:
        for layout in args.layouts:
            for kernel in KERNELS:
                bands, out = make_arrays(rng, n, BANDS[kernel], layout)
                expr = rastrel.compile_expr(PROGRAMS[kernel], BANDS[kernel])
                contenders = {"rastrel": rastrel_call(kernel, bands, out)}
                if kernel == "normalized difference":
                    contenders["rastrel new array"] = (
                        lambda a=bands[0], b=bands[1]: rastrel.calculate_normalized_difference(a, b))
                out_expr = np.empty_like(out) if layout == "contiguous" else np.empty((n, 2 * n), np.float32)[:, ::2]
                contenders["rastrel expr"] = (
                    lambda e=expr, bs=list(bands), o=out_expr: rastrel.execute_expr_inplace(e, bs, o))

                contenders["rastrel"]()
                reference = out.copy()
                exact = {}
                contenders["rastrel expr"]()
                exact["rastrel expr"] = same_bits(out_expr, reference)
                for name, make in peers.items():
                    if name.startswith("roofline") and layout != "contiguous":
                        continue
                    peer_out = np.empty_like(out) if layout == "contiguous" else np.empty(
                        (n, 2 * n), np.float32)[:, ::2]
                    run = make(kernel, bands, peer_out)
                    result = run()
                    if not name.startswith("roofline"):
                        got = result if result is not None else peer_out
                        exact[name] = same_bits(got, reference)
                    contenders[name] = run
                if "rastrel new array" in contenders:
                    exact["rastrel new array"] = same_bits(contenders["rastrel new array"](), reference)

                if pinned:
                    contenders["rastrel, 1 thread"] = pinned.setup(kernel, n, layout)

                pixels = n * n
                rounds = args.rounds if pixels >= 1 << 22 else max(args.rounds, 11)
                budget = 0.002 if pixels <= 1 << 16 else 0.02
                medians = time_contenders(contenders, rounds, budget)
                for name, seconds in medians.items():
                    results.append({"kernel": kernel, "size": n, "layout": layout, "impl": name,
                                    "seconds": seconds, "pixels": pixels,
                                    "exact": exact.get(name, True)})
                line = ", ".join(f"{name} {medians[name] * 1e3:.3f} ms" for name in medians)
                print(f"{kernel}, {n} x {n} {layout}: {line}", file=sys.stderr, flush=True)
                del bands, out, out_expr, contenders
    if pinned:
        pinned.close()
    return {"threads": processors(), "roofline threads": roofline.threads, "results": results}


# ---------------------------------------------------------------------------------------------
# Reports.


def lookup(results, **key):
    for r in results:
        if all(r[k] == v for k, v in key.items()):
            return r
    return None


def roofline_seconds(results, kernel, size):
    times = [r["seconds"] for r in results
             if r["kernel"] == kernel and r["size"] == size and r["impl"].startswith("roofline")]
    return min(times) if times else None


def gpix(r):
    return r["pixels"] / r["seconds"] / 1e9


COLUMNS = ["rastrel", "rastrel, 1 thread", "rastrel new array", "rastrel expr", "numpy", "numpy out=", "numexpr",
           "numba", "roofline"]


def cell_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e3:.2f} ms"


def markdown(run, command):
    results = run["results"]
    lines = [f"# Performance on {run['interpreter']}", ""]
    lines += [f"{run['interpreter']}, NumPy {run['numpy']}; {run['threads']} threads "
              f"(the roofline: {run['roofline threads']}); {run['cpu']}; run {run['date']}, "
              f"load average {run['load'][0]:.1f} before and {run['load'][1]:.1f} after.", ""]
    lines += [f"Command: `{command}`", ""]
    lines += ["Each cell: median time per call and throughput in Gpix/s, with interleaved rounds of all "
              "contenders in one process; the ratio row divides each contender's time by rastrel's. "
              "`roofline` is the copy-like loop with the same traffic (two or three uint16 reads and a "
              "32-bit write per pixel), the faster of cached and streaming stores, on contiguous arrays. "
              "`rastrel, 1 thread` runs in a child process pinned to one processor, timed in the same "
              "rounds; its ratio is the speed-up of two threads over one. A mark `(!)` flags a result "
              "that differs from rastrel's in any bit.", ""]
    kernels = [k for k in KERNELS if any(r["kernel"] == k for r in results)]
    layouts = [x for x in ("contiguous", "strided") if any(r["layout"] == x for r in results)]
    sizes = sorted({r["size"] for r in results})
    for kernel in kernels:
        for layout in layouts:
            present = [c for c in COLUMNS if c == "roofline" and layout == "contiguous"
                       or any(r["impl"] == c and r["kernel"] == kernel and r["layout"] == layout for r in results)]
            header = ["size"] + present
            lines += [f"## {kernel}, {layout}" + (" (every other column)" if layout == "strided" else ""), ""]
            lines += ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
            for size in sizes:
                base = lookup(results, kernel=kernel, size=size, layout=layout, impl="rastrel")
                if base is None:
                    continue
                cells = [f"{size} x {size}"]
                for c in present:
                    if c == "roofline":
                        sec = roofline_seconds(results, kernel, size)
                        r = None if sec is None else dict(base, seconds=sec)
                    else:
                        r = lookup(results, kernel=kernel, size=size, layout=layout, impl=c)
                    if r is None:
                        cells.append("")
                        continue
                    mark = "" if r.get("exact", True) else " (!)"
                    ratio = "" if c == "rastrel" else f", x{r['seconds'] / base['seconds']:.2f}"
                    cells.append(f"{cell_time(r['seconds'])}, {gpix(r):.3g}{ratio}{mark}")
                lines.append("| " + " | ".join(cells) + " |")
            lines.append("")
    lines += targets(run)
    return "\n".join(lines) + "\n"


def targets(run):
    """The goals of the work on performance, each with its measured figure."""
    results = run["results"]
    out = ["## Targets", "", "| target | measured | met |", "|---|---|---|"]

    def row(text, value, ok):
        out.append(f"| {text} | {value} | {'yes' if ok else 'no'} |")

    big = [s for s in (4096, 8192) if lookup(results, size=s, impl="rastrel", layout="contiguous")]
    for kernel in KERNELS:
        goal = 0.85 if kernel == "evi" else 0.90
        for size in big:
            r = lookup(results, kernel=kernel, size=size, layout="contiguous", impl="rastrel")
            roof = roofline_seconds(results, kernel, size)
            if r and roof:
                share = roof / r["seconds"]
                row(f"{kernel} in place, {size} x {size}: >= {goal:.2f} of the roofline", f"{share:.2f}",
                    share >= goal)
    for size in big:
        r = lookup(results, kernel="normalized difference", size=size, layout="contiguous", impl="rastrel")
        new = lookup(results, kernel="normalized difference", size=size, layout="contiguous",
                     impl="rastrel new array")
        if r and new:
            ratio = new["seconds"] / r["seconds"]
            row(f"new array at most 1.15x in place, {size} x {size}", f"{ratio:.2f}x", ratio <= 1.15)
    goals = {"numpy out=": 7.0, "numpy": 10.0, "numexpr": 6.0, "numba": 0.95}
    for peer, goal in goals.items():
        for kernel in KERNELS:
            r = lookup(results, kernel=kernel, size=4096, layout="contiguous", impl="rastrel")
            p = lookup(results, kernel=kernel, size=4096, layout="contiguous", impl=peer)
            if r and p:
                ratio = p["seconds"] / r["seconds"]
                row(f"{kernel}, 4096 x 4096: >= {goal}x {peer}", f"{ratio:.2f}x", ratio >= goal)
    if any(r["impl"] == "rastrel, 1 thread" for r in results):
        for kernel in KERNELS:
            for size in big:
                two = lookup(results, kernel=kernel, size=size, layout="contiguous", impl="rastrel")
                one = lookup(results, kernel=kernel, size=size, layout="contiguous", impl="rastrel, 1 thread")
                if two and one:
                    share = two["seconds"] / one["seconds"]
                    row(f"{kernel}, {size} x {size}: one thread >= 0.75 of two", f"{share:.2f}", share >= 0.75)
            for size in (256, 1024):
                two = lookup(results, kernel=kernel, size=size, layout="contiguous", impl="rastrel")
                one = lookup(results, kernel=kernel, size=size, layout="contiguous", impl="rastrel, 1 thread")
                if two and one:
                    speedup = one["seconds"] / two["seconds"]
                    row(f"{kernel}, {size} x {size} (in cache): two threads >= 1.7x one", f"{speedup:.2f}x",
                        speedup >= 1.7)
    limits = {1: 2e-6, 64: 25e-6}
    other = load_other(run)
    for size, limit in limits.items():
        r = lookup(results, kernel="normalized difference", size=size, layout="contiguous", impl="rastrel")
        if r is None:
            continue
        if run["implementation"] == "cpython":
            row(f"call, {size} x {size}: at most {limit * 1e6:.0f} us", f"{r['seconds'] * 1e6:.2f} us",
                r["seconds"] <= limit)
        elif other:
            c = lookup(other["results"], kernel="normalized difference", size=size, layout="contiguous",
                       impl="rastrel")
            if c:
                ratio = r["seconds"] / c["seconds"]
                row(f"call, {size} x {size}: at most 3x CPython's", f"{r['seconds'] * 1e6:.2f} us, {ratio:.2f}x",
                    ratio <= 3)
    inexact = sorted({f"{r['impl']} ({r['kernel']})" for r in results if not r.get("exact", True)})
    row("every contender bit-identical to rastrel", "all" if not inexact else "differ: " + ", ".join(inexact),
        not inexact or all(not x.startswith("rastrel") for x in inexact))
    out.append("")
    return out


def load_other(run):
    other = "cpython" if run["implementation"] == "pypy" else "pypy"
    path = os.path.join(run["docs"], f"performance-{other}.json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def plot(run, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("no matplotlib here: no plot", file=sys.stderr)
        return False
    results = run["results"]
    layouts = [x for x in ("contiguous", "strided") if any(r["layout"] == x for r in results)]
    fig, axes = plt.subplots(len(layouts), len(KERNELS), figsize=(5 * len(KERNELS), 4.2 * len(layouts)),
                             squeeze=False, sharey=True)
    styles = {"rastrel": ("C0", "-", "o"), "rastrel new array": ("C0", "--", "s"),
              "rastrel expr": ("C9", "-", "^"), "rastrel, 1 thread": ("C0", ":", "v"),
              "numpy": ("C1", "-", "o"), "numpy out=": ("C1", "--", "s"), "numexpr": ("C2", "-", "D"),
              "numba": ("C3", "-", "P"), "roofline": ("k", "-.", None)}
    for i, layout in enumerate(layouts):
        for j, kernel in enumerate(KERNELS):
            ax = axes[i][j]
            series = {}
            for r in results:
                if r["kernel"] != kernel or r["layout"] != layout or r["impl"].startswith("roofline"):
                    continue
                series.setdefault(r["impl"], []).append((r["pixels"], gpix(r)))
            if layout == "contiguous":
                sizes = sorted({r["size"] for r in results if r["kernel"] == kernel})
                roof = [(s * s, s * s / roofline_seconds(results, kernel, s) / 1e9)
                        for s in sizes if roofline_seconds(results, kernel, s)]
                series["roofline"] = roof
            for name, points in series.items():
                if not points:
                    continue
                points.sort()
                color, line, marker = styles.get(name, ("C7", "-", None))
                ax.plot([p[0] for p in points], [p[1] for p in points], color=color, linestyle=line,
                        marker=marker, markersize=4, label=name)
            ax.set_xscale("log")
            ax.set_yscale("log")
            # Below this, calls are all overhead; a contender far down there would flatten the rest.
            ax.set_ylim(bottom=1e-4)
            ax.set_title(f"{kernel}, {layout}")
            ax.set_xlabel("pixels per call")
            if j == 0:
                ax.set_ylabel("Gpix/s")
            ax.grid(True, which="both", alpha=0.3)
    axes[0][0].legend(fontsize=8, loc="lower right")
    fig.suptitle(f"rastrel and peers on {run['interpreter']}, {run['threads']} threads")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    return True


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1,64,256,1024,4096,8192",
                        type=lambda s: [int(x) for x in s.split(",")], help="rows (= columns) per size")
    parser.add_argument("--layouts", default="contiguous,strided", type=lambda s: s.split(","))
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds (more for small sizes)")
    parser.add_argument("--docs", default=os.path.join(ROOT, "docs"), help="where the reports go")
    parser.add_argument("--no-pinned", action="store_true", help="skip the run pinned to one processor")
    parser.add_argument("--replot", metavar="JSON",
                        help="only draw the plot of an earlier run's .json (PyPy's venvs have no matplotlib)")
    parser.add_argument("--pinned-server", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.pinned_server:
        serve_pinned()
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
