"""Compiled expressions against the fixed kernels that compute the same formulas, side by side in
one run: normalized difference, ratio and an enhanced vegetation index of 17 steps, each through
execute_expr_inplace and through its calculate_* function. Rounds are interleaved (the order
rotates each round) so that drifting memory bandwidth and other load hit every contender alike;
medians and the ratio expression / kernel are printed, and each pair of outputs is compared bit
for bit. The per-pixel evaluator the expressions replaced is measured by the C++ benchmark
bench/bench_expr_block.cpp.

    python bench/bench_expr_block.py [--size 4096] [--rounds 11]
"""
import argparse

import numpy as np
from harness import describe, interleaved, medians

import rastrel

# Inexact coefficients, as a user's would be.
G, C1, C2, L = 2.5, 6.1, 7.3, 1.05


def band(k):
    return {"type": "push_band", "index": k}


def scalar(v):
    return {"type": "push_scalar", "value": v}


def ops(*names):
    return [{"type": name} for name in names]


# g * ((n - r) / (c1 r + n - c2 b + l)), in the order of operations of calculate_evi_inplace.
EVI = [
    scalar(G), band(0), band(1), *ops("sub"), scalar(C1), band(1), *ops("mul"), band(0), *ops("add"),
    scalar(C2), band(2), *ops("mul", "sub"), scalar(L), *ops("add", "div", "mul"),
]

CASES = {
    "normalized difference": (
        [band(0), band(1), *ops("sub"), band(0), band(1), *ops("add", "div")], 2,
        lambda b, out: rastrel.calculate_normalized_difference_inplace(b[0], b[1], out),
    ),
    "ratio": (
        [band(0), band(1), *ops("div")], 2,
        lambda b, out: rastrel.calculate_ratio_inplace(b[0], b[1], out),
    ),
    "EVI": (EVI, 3, lambda b, out: rastrel.calculate_evi_inplace(b[0], b[1], b[2], G, C1, C2, L, out)),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4096, help="rows and columns of each band")
    parser.add_argument("--rounds", type=int, default=11, help="timed rounds per contender")
    args = parser.parse_args()
    n = args.size

    rng = np.random.default_rng(0)
    bands = [rng.integers(0, 65536, size=(n, n), dtype=np.uint16) for _ in range(3)]
    contenders = {}
    outputs = {}
    for name, (program, nbands, kernel) in CASES.items():
        expr = rastrel.compile_expr(program, nbands)
        used = bands[:nbands]
        out_expr = outputs[(name, "expression")] = np.empty((n, n), dtype=np.float32)
        out_kernel = outputs[(name, "kernel")] = np.empty((n, n), dtype=np.float32)
        contenders[(name, "expression")] = lambda e=expr, b=used, o=out_expr: rastrel.execute_expr_inplace(e, b, o)
        contenders[(name, "kernel")] = lambda k=kernel, b=used, o=out_kernel: k(b, o)
    for run in contenders.values():  # warm-up: page faults, the NumPy table, the JIT
        run()

    median = medians(interleaved(contenders, args.rounds))

    print(f"{describe()}; {n} x {n} uint16 bands, {args.rounds} rounds")
    print(f"{'':24}{'steps':>6}{'expression ms':>15}{'kernel ms':>11}{'ratio':>7}  bit-identical")
    for name, (program, _, _) in CASES.items():
        e, k = median[(name, "expression")], median[(name, "kernel")]
        same = bool((outputs[(name, "expression")].view(np.uint32) == outputs[(name, "kernel")].view(np.uint32)).all())
        print(f"{name:24}{len(program):6}{e * 1e3:15.2f}{k * 1e3:11.2f}{e / k:7.2f}  {same}")


if __name__ == "__main__":
    main()
