"""Compiled expressions against the fixed kernels that compute the same formulas, side by side in
one run: normalized difference, ratio, adjusted difference and an enhanced vegetation index of 17
steps, each through execute_expr_inplace and through its calculate_* function, at several sizes,
over contiguous bands and output and over every other column of each. Rounds are interleaved (in a
new order each round) so that drifting memory bandwidth and other load hit every contender
alike; medians and the ratio expression / kernel are printed, and each pair of outputs is compared
bit for bit. The per-pixel evaluator the expressions replaced is measured by the C++ benchmark
bench/bench_expr_block.cpp.

    python bench/bench_expr_block.py [--sizes 256,1024,4096] [--layouts contiguous,strided]
                                     [--rounds 11] [--budget 0.05]
"""
import argparse

import numpy as np
from harness import describe, interleaved, medians

import rastrel

# Inexact coefficients, as a user's would be.
G, C1, C2, L = 2.5, 6.1, 7.3, 1.05
L_ADJ = 0.5
FACTOR = float(np.float32(L_ADJ) + np.float32(1.0))


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
    "adjusted difference": (
        [scalar(FACTOR), band(0), band(1), *ops("sub"), band(0), band(1), *ops("add"), scalar(L_ADJ),
         *ops("add", "div", "mul")], 2,
        lambda b, out: rastrel.calculate_adjusted_difference_inplace(b[0], b[1], L_ADJ, out),
    ),
    "EVI": (EVI, 3, lambda b, out: rastrel.calculate_evi_inplace(b[0], b[1], b[2], G, C1, C2, L, out)),
}


def arrays(n, layout, count, rng):
    """`count` uint16 bands and two float32 outputs of n x n, contiguous or every other column."""
    wide = 2 if layout == "strided" else 1
    bands = [rng.integers(0, 65536, size=(n, n * wide), dtype=np.uint16)[:, ::wide] for _ in range(count)]
    outs = [np.empty((n, n * wide), dtype=np.float32)[:, ::wide] for _ in range(2)]
    return bands, outs


def measure(n, layout, rounds, budget):
    rng = np.random.default_rng(0)
    bands, _ = arrays(n, layout, 3, rng)
    contenders, outputs = {}, {}
    for name, (program, nbands, kernel) in CASES.items():
        expr = rastrel.compile_expr(program, nbands)
        used = bands[:nbands]
        _, (out_expr, out_kernel) = arrays(n, layout, 0, rng)
        outputs[name] = (out_expr, out_kernel)
        contenders[(name, "expression")] = lambda e=expr, b=used, o=out_expr: rastrel.execute_expr_inplace(e, b, o)
        contenders[(name, "kernel")] = lambda k=kernel, b=used, o=out_kernel: k(b, o)
    for run in contenders.values():  # warm-up: page faults, the NumPy table, the JIT
        run()
    median = medians(interleaved(contenders, rounds, budget, warm=True))
    rows = []
    for name in CASES:
        e, k = median[(name, "expression")], median[(name, "kernel")]
        same = bool((outputs[name][0].view(np.uint32) == outputs[name][1].view(np.uint32)).all())
        rows.append((name, e, k, same))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="256,1024,4096", help="rows and columns of each band")
    parser.add_argument("--layouts", default="contiguous,strided", help="contiguous and/or strided")
    parser.add_argument("--rounds", type=int, default=11, help="timed rounds per contender")
    parser.add_argument("--budget", type=float, default=0.05, help="seconds a sample should last")
    args = parser.parse_args()

    print(f"{describe()}; uint16 bands, {args.rounds} rounds")
    print(f"{'':24}{'size':>6} {'layout':>11}{'expression ms':>15}{'kernel ms':>11}{'ratio':>7}  bit-identical")
    ratios = []
    for n in map(int, args.sizes.split(",")):
        for layout in args.layouts.split(","):
            for name, e, k, same in measure(n, layout, args.rounds, args.budget):
                ratios.append(e / k)
                print(f"{name:24}{n:6} {layout:>11}{e * 1e3:15.4f}{k * 1e3:11.4f}{e / k:7.2f}  {same}", flush=True)
    ratios.sort()
    print(f"expression / kernel: median {ratios[len(ratios) // 2]:.2f}, worst {ratios[-1]:.2f}")


if __name__ == "__main__":
    main()
