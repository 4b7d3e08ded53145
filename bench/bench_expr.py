"""Normalized difference (a - b) / (a + b) over two uint16 bands, three ways, side by side in one
run: the compiled expression through execute_expr_inplace, the fixed kernel
calculate_normalized_difference_inplace, and what a NumPy user would write. Rounds are
interleaved (the order rotates each round) so that drifting memory bandwidth hits every contender
alike; medians and their ratios are printed.

    python bench/bench_expr.py [--size 4096] [--rounds 9]
"""
import argparse
import os
import platform
import statistics
import time

import numpy as np

import rastrel

PROGRAM = [
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "sub"},
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "add"},
    {"type": "div"},
]
EPSILON = np.float32(1e-10)


def numpy_normalized_difference(a, b):
    a32 = a.astype(np.float32)
    b32 = b.astype(np.float32)
    return (a32 - b32) / (a32 + b32 + EPSILON)


def processors():
    # PyPy 3.9 has no os.sched_getaffinity.
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4096, help="rows and columns of each band")
    parser.add_argument("--rounds", type=int, default=9, help="timed rounds per contender")
    args = parser.parse_args()
    n = args.size

    rng = np.random.default_rng(0)
    a = rng.integers(0, 65536, size=(n, n), dtype=np.uint16)
    b = rng.integers(0, 65536, size=(n, n), dtype=np.uint16)
    expr = rastrel.compile_expr(PROGRAM, 2)
    out_expr = np.empty((n, n), dtype=np.float32)
    out_kernel = np.empty((n, n), dtype=np.float32)
    results = {}

    def numpy_way():
        results["numpy"] = numpy_normalized_difference(a, b)

    contenders = {
        "expression": lambda: rastrel.execute_expr_inplace(expr, [a, b], out_expr),
        "kernel": lambda: rastrel.calculate_normalized_difference_inplace(a, b, out_kernel),
        "numpy": numpy_way,
    }
    for run in contenders.values():  # warm-up: page faults, the NumPy table, the JIT
        run()
    same = out_expr.view(np.uint32)
    identical = {
        "kernel": bool((same == out_kernel.view(np.uint32)).all()),
        "numpy": bool((same == results["numpy"].view(np.uint32)).all()),
    }

    names = list(contenders)
    times = {name: [] for name in names}
    for round in range(args.rounds):
        for name in names[round % 3:] + names[: round % 3]:
            start = time.perf_counter()
            contenders[name]()
            times[name].append(time.perf_counter() - start)
    median = {name: statistics.median(times[name]) for name in names}

    print(f"{platform.python_implementation()} {platform.python_version()}, NumPy {np.__version__}, "
          f"{processors()} processors; {n} x {n} uint16 bands, {args.rounds} rounds")
    print(f"expression output bit-identical to kernel: {identical['kernel']}, to NumPy: {identical['numpy']}")
    print(f"{'':12}{'median ms':>11}{'Mpixel/s':>10}{'min ms':>9}{'max ms':>9}")
    for name in names:
        ms = [t * 1e3 for t in times[name]]
        rate = n * n / median[name] / 1e6
        print(f"{name:12}{median[name] * 1e3:11.2f}{rate:10.0f}{min(ms):9.2f}{max(ms):9.2f}")
    for slow, fast in (("expression", "kernel"), ("expression", "numpy"), ("numpy", "kernel")):
        print(f"time({slow}) / time({fast}) = {median[slow] / median[fast]:.2f}")


if __name__ == "__main__":
    main()
