"""The worker pool against one processor, and the cost of handing a tiny call to the pool.

Two processes take turns: this one, whose pool has a worker per usable processor, and a
long-lived child pinned to one processor before it imports rastrel, so that its pool has a single
worker (the module has no knob for its size; it sizes its pool from the affinity mask). They
alternate round by round over a pipe, so drifting memory bandwidth and the load of other
processes hit both alike; each side times its own calls, and medians and ratios are reported.

- calculate_normalized_difference_inplace on 1024 x 1024 bands (8 MiB for both bands and the
  output, near the caches) and on 4096 x 4096 bands (128 MiB, bound by memory bandwidth);
  --sizes picks others;
- a call on 8 x 8 arrays back to back and after an idle pause of 20 ms (the workers have gone to
  sleep and must be woken), beside a call on 1 x 1 arrays, which never reaches the pool.

With --plain-threads, a plain two-thread loop of the same kernel joins the 4096 comparison: two
more children pinned to processors of their own (each with a one-worker pool) compute half of
the rows each, started together at an agreed instant. With --realtime (as root, where chrt
exists) everything runs again under chrt -f 10, out of reach of ordinary processes.

With --poll-idle (as root) everything runs again while this process holds a zero latency request
on /dev/cpu_dma_latency, so that idle processors poll instead of halting. On virtual machines
that halt an idle processor at once, waking a thread on another processor takes an interrupt to a
halted virtual processor (tens of microseconds, against a few on the same processor), and a call
that finds a worker asleep pays it; the second run shows what the calls cost without that.

    python bench/bench_pool.py [--sizes 1024,4096] [--rounds 15] [--tiny 1000] [--pauses 100]
                               [--plain-threads] [--realtime] [--poll-idle]
"""
import argparse
import functools
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np
from harness import ChildProcess, serve, usable_cpus

SIZES = (1024, 4096)
TINY = (8, 1)
PAUSE = 0.02

# ---------------------------------------------------------------------------------------------
# Threads.


@functools.lru_cache(maxsize=None)
def import_rastrel():
    """Imports the module; returns it and the number of threads the import started (its pool).
    Cached: a second run in this process finds the module imported and its threads started."""
    before = set(os.listdir("/proc/self/task"))
    import rastrel

    return rastrel, len(set(os.listdir("/proc/self/task")) - before)


def scheduling():
    with open("/proc/self/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    priority, policy = int(fields[37]), int(fields[38])  # fields 40 and 41 of proc(5)
    return {0: "normal scheduling", 1: f"SCHED_FIFO {priority}", 2: f"SCHED_RR {priority}"}.get(
        policy, f"policy {policy}"
    )


# ---------------------------------------------------------------------------------------------
# The measurements, the same on both sides of the pipe.


class Bench:
    def __init__(self, rastrel, sizes):
        self.kernel = rastrel.calculate_normalized_difference_inplace
        rng = np.random.default_rng(0)
        self.arrays = {}
        for n in sizes + TINY:
            a, b = (rng.integers(0, 65536, size=(n, n), dtype=np.uint16) for _ in range(2))
            self.arrays[n] = (a, b, np.empty((n, n), np.float32))
            self.kernel(*self.arrays[n])  # the output's pages are mapped before any timing

    def digest(self, n):
        a, b, out = self.arrays[n]
        self.kernel(a, b, out)
        return hashlib.sha1(out.tobytes()).hexdigest()[:12]

    def calls(self, n, count, pause=0.0, warm=False):
        """Times `count` calls on n x n arrays, each after `pause` seconds of sleep. With `warm`, one
        untimed call comes first: the other side's round has just run, the workers of this side
        have gone to sleep and its bands have left the caches, which the throughput of repeated
        calls should not include (the tiny calls measure the wake-up on its own)."""
        a, b, out = self.arrays[n]
        kernel, clock, times = self.kernel, time.perf_counter, []
        if warm:
            kernel(a, b, out)
        for _ in range(count):
            if pause:
                time.sleep(pause)
            start = clock()
            kernel(a, b, out)
            times.append(clock() - start)
        return times

    def half(self, n, which, at):
        """Computes the rows of one half from the instant `at` on; returns (start, end). Both
        are read from the system-wide monotonic clock, so they compare across processes."""
        a, b, out = self.arrays[n]
        rows = slice(0, n // 2) if which == 0 else slice(n // 2, n)
        # Sleep most of the wait: a process that spun all along would be the first to lose its
        # processor to others just as it starts to work.
        time.sleep(max(0.0, at - time.perf_counter() - 0.001))
        while time.perf_counter() < at:
            pass
        start = time.perf_counter()
        self.kernel(a[rows], b[rows], out[rows])
        return start, time.perf_counter()


def child(sizes):
    """The pinned side: the same measurements on request, with a pool of one worker."""
    rastrel, workers = import_rastrel()
    bench = Bench(rastrel, sizes)
    serve(lambda request: getattr(bench, request.pop("do"))(**request) if "do" in request else workers)


class Child(ChildProcess):
    """This script again, pinned to `cpu`, driven one request at a time."""

    def __init__(self, cpu, sizes):
        super().__init__(__file__, "--child", "--sizes", ",".join(map(str, sizes)), cpu=cpu)
        self.workers = self.ask()

    def calls(self, n, count, pause=0.0, warm=False):
        return self.ask(do="calls", n=n, count=count, pause=pause, warm=warm)


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)), help="band sizes, comma-separated")
    parser.add_argument("--rounds", type=int, default=15, help="alternating rounds per size")
    parser.add_argument("--tiny", type=int, default=1000, help="back-to-back tiny calls per side")
    parser.add_argument("--pauses", type=int, default=100, help="tiny calls after a pause, per side")
    parser.add_argument("--plain-threads", action="store_true", help="add a plain two-thread loop")
    parser.add_argument("--realtime", action="store_true", help="run again under chrt -f 10")
    parser.add_argument("--poll-idle", action="store_true", help="run again with idle processors polling")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.sizes = tuple(int(n) for n in args.sizes.split(","))
    if args.child:
        return child(args.sizes)

    run(args)
    if args.poll_idle:
        run_polling_idle(args)
    if args.realtime:
        if os.geteuid() != 0 or not shutil.which("chrt"):
            print("\n--realtime: needs root and chrt; skipped")
            return
        print("\nAgain under chrt -f 10:", flush=True)
        rest = [a for a in sys.argv[1:] if a != "--realtime"]
        subprocess.run(["chrt", "-f", "10", sys.executable, os.path.abspath(__file__)] + rest, check=True)


def run_polling_idle(args):
    """run() again while a zero wake-up latency request is held: the kernel keeps idle processors
    polling for as long as the device stays open."""
    try:
        request = os.open("/dev/cpu_dma_latency", os.O_WRONLY)
    except OSError as error:
        print(f"\n--poll-idle: cannot open /dev/cpu_dma_latency ({error.strerror}; it needs root); skipped")
        return
    try:
        os.write(request, (0).to_bytes(4, sys.byteorder, signed=True))
        print("\nAgain with idle processors polling (zero latency request on /dev/cpu_dma_latency):", flush=True)
        run(args)
    finally:
        os.close(request)


def run(args):
    cpus = usable_cpus()
    rastrel, workers = import_rastrel()
    bench, pinned = Bench(rastrel, args.sizes), Child(cpus[0], args.sizes)
    plain = [Child(cpu, args.sizes) for cpu in cpus[:2]] if args.plain_threads and len(cpus) >= 2 else []
    try:
        same = all(bench.digest(n) == pinned.ask(do="digest", n=n) for n in args.sizes)
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
        print(f"{platform.python_implementation()} {platform.python_version()}, NumPy {np.__version__}; "
              f"load {load}; {scheduling()}")
        print(f"pool: {workers} workers on processors {cpus}; one processor: a child pinned to {cpus[0]}, "
              f"{pinned.workers} worker; same bytes on both: {'yes' if same else 'NO'}")
        if os.getloadavg()[0] >= len(cpus) and scheduling() == "normal scheduling":
            print("busy machine: the pinned processes share their one processor with other work; "
                  "--realtime measures out of its reach")
        print()
        throughput(args, bench, pinned, plain)
        print()
        tiny_calls(args, bench, pinned)
    finally:
        for process in [pinned] + plain:
            process.close()


def calls_per_round(n):
    """About 20 ms of calls a round on small bands (sixty on 1024 x 1024), and at least two."""
    return max(2, min(60, (64 << 20) // (n * n)))


def throughput(args, bench, pinned, plain):
    largest = max(args.sizes)
    times = {(side, n): [] for side in ("pool", "one", "plain") for n in args.sizes}
    for _ in range(args.rounds):
        for n in args.sizes:
            times["pool", n] += bench.calls(n, calls_per_round(n), warm=True)
            times["one", n] += pinned.calls(n, calls_per_round(n), warm=True)
            if plain and n == largest:
                at = time.perf_counter() + 0.005
                for which, process in enumerate(plain):
                    process.send(do="half", n=n, which=which, at=at)
                spans = [process.receive() for process in plain]
                times["plain", n].append(max(end for _, end in spans) - min(start for start, _ in spans))

    print(f"normalized difference in place, medians of {args.rounds} rounds")
    print(f"{'bands':<13}{'calls':>6}{'pool ms':>9}{'GB/s':>7}{'1 cpu ms':>10}{'GB/s':>7}{'speed-up':>10}")
    for n in args.sizes:
        traffic = n * n * (2 + 2 + 4)
        pool, one = statistics.median(times["pool", n]), statistics.median(times["one", n])
        print(f"{f'{n} x {n}':<13}{len(times['pool', n]):>6}{pool * 1e3:>9.3f}{traffic / pool / 1e9:>7.1f}"
              f"{one * 1e3:>10.3f}{traffic / one / 1e9:>7.1f}{one / pool:>9.2f}x")
    if plain:
        pool, two = statistics.median(times["pool", largest]), statistics.median(times["plain", largest])
        print(f"plain two-thread loop on {largest} x {largest} (two pinned processes, half the rows each): "
              f"{two * 1e3:.3f} ms, {largest * largest * 8 / two / 1e9:.1f} GB/s; the pool reaches "
              f"{two / pool:.2f}x its throughput")


def tiny_calls(args, bench, pinned):
    rows = []
    for n in TINY:
        for pause, count in ((0.0, args.tiny), (PAUSE, args.pauses)):
            mine, theirs = [], []
            for _ in range(10):  # alternate in tenths
                mine += bench.calls(n, count // 10, pause)
                theirs += pinned.calls(n, count // 10, pause)
            rows.append((n, pause, count // 10 * 10, statistics.median(mine), statistics.median(theirs)))
    print(f"{'a tiny call, medians in microseconds':<50}{'calls':>7}{'pool':>9}{'1 cpu':>9}")
    for n, pause, count, mine, theirs in rows:
        what = f"{n} x {n}" + (" (never reaches the pool)" if n == 1 else "")
        when = f"after {PAUSE * 1e3:.0f} ms idle" if pause else "back to back"
        print(f"{f'{what}, {when}':<50}{count:>7}{mine * 1e6:>9.1f}{theirs * 1e6:>9.1f}")

if __name__ == "__main__":
    main()
