"""The reports of bench_peers.py, from the dictionary of one run (as its .json holds it): a
Markdown page of tables and targets, and a plot of throughput against size."""
import json
import os
import platform
import statistics
import sys


def kernels_of(results):
    """The kernels of a run, in the order they were measured."""
    return list(dict.fromkeys(r["kernel"] for r in results))


def regime_of(r):
    """Runs before the busy regime existed timed warm calls only."""
    return r.get("regime", "warm")


def regimes_of(results):
    return list(dict.fromkeys(regime_of(r) for r in results))


def lookup(results, regime="warm", **key):
    for r in results:
        if regime_of(r) == regime and all(r[k] == v for k, v in key.items()):
            return r
    return None


def roofline_seconds(results, kernel, size):
    times = [r["seconds"] for r in results
             if r["kernel"] == kernel and r["size"] == size and r["impl"].startswith("roofline")]
    return min(times) if times else None


def gpix(r):
    return r["pixels"] / r["seconds"] / 1e9


COLUMNS = ["rastrel", "rastrel, 1 thread", "rastrel, child", "rastrel new array", "rastrel expr", "numpy",
           "numpy out=", "numexpr", "numba", "roofline"]


# Each contender's ratio is over rastrel's time in the same process, but the pinned run's is over
# the free child's: both run the same code in a child process, with the same turns and waits.
PINNED, CHILD = "rastrel, 1 thread", "rastrel, child"


def base_of(results, regime, impl, **key):
    """The time a contender's ratio divides: the free child's for the pinned run when there is one,
    otherwise rastrel's in this process."""
    if impl == PINNED:
        child = lookup(results, regime, impl=CHILD, **key)
        if child:
            return child
    return lookup(results, regime, impl="rastrel", **key)


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
              "`rastrel, 1 thread` and `rastrel, child` run the same code in two child processes, timed in "
              "the same rounds, the first pinned to one processor, the second free: the pinned run's "
              "ratio is over the free child's time (`vs child`), like with like, the speed-up of two "
              "threads over one; the child's ratio is over rastrel in the benchmark's own process. The "
              "children's turns slow the smallest calls that follow them in the benchmark's own process, "
              "which the two children share. A mark `(!)` flags a result that differs from rastrel's in "
              "any bit.", ""]
    lines += ["Regimes: `warm`, calls back to back; `busy`, each call after about 1 ms of other "
              "single-threaded NumPy work (not timed), so that every pool has had that long to sleep or "
              "spin. The roofline runs in the warm regime only.", ""]
    kernels = kernels_of(results)
    layouts = [x for x in ("contiguous", "strided") if any(r["layout"] == x for r in results)]
    sizes = sorted({r["size"] for r in results})
    lines += peer_summary(run)
    lines += spread(run)
    for kernel, layout, regime in ((k, x, g) for k in kernels for x in layouts for g in regimes_of(results)):
        present = [c for c in COLUMNS if c == "roofline" and layout == "contiguous" and regime == "warm"
                   or any(r["impl"] == c and r["kernel"] == kernel and r["layout"] == layout
                          and regime_of(r) == regime for r in results)]
        header = ["size"] + present
        lines += [f"## {kernel}, {layout}" + (" (every other column)" if layout == "strided" else "")
                  + f", {regime}", ""]
        lines += ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        for size in sizes:
            base = lookup(results, regime, kernel=kernel, size=size, layout=layout, impl="rastrel")
            if base is None:
                continue
            cells = [f"{size} x {size}"]
            for c in present:
                if c == "roofline":
                    sec = roofline_seconds(results, kernel, size)
                    r = None if sec is None else dict(base, seconds=sec)
                else:
                    r = lookup(results, regime, kernel=kernel, size=size, layout=layout, impl=c)
                if r is None:
                    cells.append("")
                    continue
                mark = "" if r.get("exact", True) else " (!)"
                over = base_of(results, regime, c, kernel=kernel, size=size, layout=layout)
                ratio = "" if c == "rastrel" else f", x{r['seconds'] / over['seconds']:.2f}"
                if c == PINNED and over["impl"] == CHILD:
                    ratio += " vs child"
                cells.append(f"{cell_time(r['seconds'])}, {gpix(r):.3g}{ratio}{mark}")
            lines.append("| " + " | ".join(cells) + " |")
        lines.append("")
    lines += targets(run)
    return "\n".join(lines) + "\n"


def peer_summary(run):
    """Per regime and layout: rastrel's time against each peer's at every size, as the peer's time
    over rastrel's (at least 1: rastrel as fast or faster), the worst cell of each column."""
    results = run["results"]
    peers = ["numba", "numpy out=", "numpy", "numexpr", PINNED]
    out = ["## Against the peers, every size", "",
           "Each cell: the peer's median time over rastrel's (above 1: rastrel faster), worst over the kernels "
           "measured, with the kernel. `rastrel, 1 thread` is the pinned one-processor run, over the free "
           "child's time where the run has one (both in child processes, the same code).", ""]
    sizes = sorted({r["size"] for r in results})
    for regime in regimes_of(results):
        for layout in ("contiguous", "strided"):
            rows = []
            for size in sizes:
                cells = []
                for peer in peers:
                    worst = None
                    for kernel in kernels_of(results):
                        r = base_of(results, regime, peer, kernel=kernel, size=size, layout=layout)
                        p = lookup(results, regime, kernel=kernel, size=size, layout=layout, impl=peer)
                        if r and p and (worst is None or p["seconds"] / r["seconds"] < worst[0]):
                            worst = (p["seconds"] / r["seconds"], kernel)
                    cells.append("" if worst is None else f"{worst[0]:.2f} ({worst[1]})")
                if any(cells):
                    rows.append(f"| {size} x {size} | " + " | ".join(cells) + " |")
            if rows:
                out += [f"### {layout}, {regime}", "", "| size | " + " | ".join(peers) + " |",
                        "|" + "---|" * (len(peers) + 1)] + rows + [""]
    expr = []
    for regime in regimes_of(results):
        for layout in ("contiguous", "strided"):
            for kernel in kernels_of(results):
                for size in sizes:
                    r = lookup(results, regime, kernel=kernel, size=size, layout=layout, impl="rastrel")
                    e = lookup(results, regime, kernel=kernel, size=size, layout=layout, impl="rastrel expr")
                    if r and e:
                        expr.append((e["seconds"] / r["seconds"], f"{kernel}, {size} x {size}, {layout}, {regime}"))
    if expr:
        worst = max(expr)
        out += [f"Expression executor over the matching fixed kernel: at most {worst[0]:.2f}x ({worst[1]}); "
                f"median {sorted(x for x, _ in expr)[len(expr) // 2]:.2f}x over {len(expr)} cells.", ""]
    return out


def paired(base, peer):
    """The peer's time over the base's, round by round (round i of both lists ran in the same
    round); None for runs that kept no rounds."""
    if "times" not in base or "times" not in peer:
        return None
    return [p / b for p, b in zip(peer["times"], base["times"])]


def spread(run):
    """At the largest sizes, where a round of all contenders takes seconds and the load of other
    processes drifts between rounds: each close ratio with the quartiles of its round-by-round
    ratios and the ratio of the fastest rounds, to tell a few per cent from noise. Likewise the
    pinned run's ratios below 1 at the smallest sizes, where calls of a microsecond drift more
    than the two children can differ, and every ratio below 1 at the sizes between, where whole
    runs' medians of a cell differ by more than the cell's margin."""
    results = run["results"]
    sizes = sorted({r["size"] for r in results if "times" in r})
    small = [s for s in sizes if s <= 64]
    large = [s for s in sizes if s >= 4096] or [s for s in sizes[-1:] if s not in small]
    middle = [s for s in sizes if s not in small and s not in large]
    rows = []
    for size in sizes:
        for kernel in kernels_of(results):
            for layout in ("contiguous", "strided"):
                for regime in regimes_of(results):
                    cells = []
                    for peer in ("numba", PINNED):
                        key = dict(kernel=kernel, size=size, layout=layout)
                        b, p = base_of(results, regime, peer, **key), lookup(results, regime, impl=peer, **key)
                        ratios = paired(b, p) if b and p else None
                        # The smallest sizes only where the pinned run came out ahead, the
                        # sizes between where either peer did.
                        below = ratios and p["seconds"] < b["seconds"] and (peer == PINNED or size in middle)
                        if not ratios or len(ratios) < 2 or (size not in large and not below):
                            cells.append("")
                            continue
                        q1, _, q3 = statistics.quantiles(ratios, n=4)
                        fastest = min(p["times"]) / min(b["times"])
                        cells.append(f"{p['seconds'] / b['seconds']:.2f}: {q1:.2f}-{q3:.2f}, {fastest:.2f}, "
                                     f"{len(ratios)}")
                    if any(cells):
                        rows.append(f"| {kernel}, {size} x {size}, {layout}, {regime} | " + " | ".join(cells) + " |")
    if not rows:
        return []
    return ["## Spread of the closest ratios", "",
            "Each cell: the ratio of the medians; the quartiles of the ratios round by round (the peer's "
            "time over the base's in the same round); the ratio of the fastest rounds; the number of rounds. "
            "The base is rastrel in the benchmark's process, for `rastrel, 1 thread` the free child. At the "
            "largest sizes every cell; up to 64 x 64, where both children run the same code on the calling "
            "thread, the pinned run's cells below 1; at the sizes between, every cell below 1.", "",
            "| cell | numba | rastrel, 1 thread |", "|---|---|---|"] + rows + [""]


def targets(run):
    """The goals of the work on performance, each with its measured figure."""
    results = run["results"]
    out = ["## Targets", "", "| target | measured | met |", "|---|---|---|"]

    def row(text, value, ok):
        out.append(f"| {text} | {value} | {'yes' if ok else 'no'} |")

    big = [s for s in (4096, 8192) if lookup(results, size=s, impl="rastrel", layout="contiguous")]
    kernels = kernels_of(results)
    for kernel in kernels:
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
        for kernel in kernels:
            r = lookup(results, kernel=kernel, size=4096, layout="contiguous", impl="rastrel")
            p = lookup(results, kernel=kernel, size=4096, layout="contiguous", impl=peer)
            if r and p:
                ratio = p["seconds"] / r["seconds"]
                row(f"{kernel}, 4096 x 4096: >= {goal}x {peer}", f"{ratio:.2f}x", ratio >= goal)
    if any(r["impl"] == PINNED for r in results):
        for kernel in kernels:
            for size in big:
                two = base_of(results, "warm", PINNED, kernel=kernel, size=size, layout="contiguous")
                one = lookup(results, kernel=kernel, size=size, layout="contiguous", impl=PINNED)
                if two and one:
                    share = two["seconds"] / one["seconds"]
                    row(f"{kernel}, {size} x {size}: one thread >= 0.75 of two", f"{share:.2f}", share >= 0.75)
            for size in (256, 1024):
                two = base_of(results, "warm", PINNED, kernel=kernel, size=size, layout="contiguous")
                one = lookup(results, kernel=kernel, size=size, layout="contiguous", impl=PINNED)
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
    rows = [(x, g) for x in ("contiguous", "strided") for g in regimes_of(results)
            if any(r["layout"] == x and regime_of(r) == g for r in results)]
    kernels = kernels_of(results)
    fig, axes = plt.subplots(len(rows), len(kernels), figsize=(5 * len(kernels), 4.2 * len(rows)),
                             squeeze=False, sharey=True)
    styles = {"rastrel": ("C0", "-", "o"), "rastrel new array": ("C0", "--", "s"),
              "rastrel expr": ("C9", "-", "^"), "rastrel, 1 thread": ("C0", ":", "v"),
              "rastrel, child": ("C0", "-.", "x"),
              "numpy": ("C1", "-", "o"), "numpy out=": ("C1", "--", "s"), "numexpr": ("C2", "-", "D"),
              "numba": ("C3", "-", "P"), "roofline": ("k", "-.", None)}
    for i, (layout, regime) in enumerate(rows):
        for j, kernel in enumerate(kernels):
            ax = axes[i][j]
            series = {}
            for r in results:
                if (r["kernel"] != kernel or r["layout"] != layout or regime_of(r) != regime
                        or r["impl"].startswith("roofline")):
                    continue
                series.setdefault(r["impl"], []).append((r["pixels"], gpix(r)))
            if layout == "contiguous" and regime == "warm":
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
            ax.set_title(f"{kernel}, {layout}, {regime}")
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
