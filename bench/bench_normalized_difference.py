"""Times calculate_normalized_difference(_inplace) against the NumPy a user would write instead.

All variants run side by side in one process, in interleaved rounds (in a new order every
round), because memory bandwidth drifts between runs on shared machines; the medians and their
ratios are what to compare.

    python bench/bench_normalized_difference.py [--size 4096] [--rounds 15]
"""
import argparse

import numpy as np
from harness import describe, interleaved, medians

import rastrel

EPS = np.float32(1e-10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096, help="rows and columns of the bands")
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds per variant")
    args = parser.parse_args()
    n = args.size

    rng = np.random.default_rng(0)
    a = rng.integers(0, 65536, (n, n), dtype=np.uint16)
    b = rng.integers(0, 65536, (n, n), dtype=np.uint16)
    out = np.empty((n, n), np.float32)
    a32, b32, d, s, numpy_out = (np.empty((n, n), np.float32) for _ in range(5))

    def module_inplace():
        rastrel.calculate_normalized_difference_inplace(a, b, out)
        return out

    def module_new():
        return rastrel.calculate_normalized_difference(a, b)

    def numpy_plain():
        a32 = a.astype(np.float32)
        b32 = b.astype(np.float32)
        return (a32 - b32) / (a32 + b32 + EPS)

    def numpy_out_arguments():
        np.copyto(a32, a)
        np.copyto(b32, b)
        np.subtract(a32, b32, out=d)
        np.add(a32, b32, out=s)
        np.add(s, EPS, out=s)
        return np.divide(d, s, out=numpy_out)

    variants = {
        "rastrel inplace": module_inplace,
        "rastrel new array": module_new,
        "numpy": numpy_plain,
        "numpy out=": numpy_out_arguments,
    }

    # The same operations in the same order: every variant must give the same bits.
    reference = numpy_plain().view(np.uint32)
    for name, run in variants.items():
        assert np.array_equal(run().view(np.uint32), reference), name

    seconds = medians(interleaved(variants, args.rounds))

    traffic = a.nbytes + b.nbytes + out.nbytes  # the least any variant must move
    base = seconds["rastrel inplace"]
    print(f"{describe()}; {n} x {n} uint16 bands, {args.rounds} rounds, medians")
    print(f"{'variant':<20}{'ms':>10}{'GB/s':>10}{'x inplace':>12}")
    for name, median in seconds.items():
        print(f"{name:<20}{median * 1e3:>10.2f}{traffic / median / 1e9:>10.2f}{median / base:>12.2f}")


if __name__ == "__main__":
    main()
