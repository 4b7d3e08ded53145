"""Blockwise NDVI and a formula over chunked dask arrays on dask's threaded scheduler, with 1, 2,
4 ... scheduler threads: rastrel_tools.dask against the same formula written with dask.array
(NumPy per block). rastrel releases the interpreter lock and takes concurrent callers, so the
scheduler's threads run blocks at once; each call also spreads its block over rastrel's own
worker pool. Rounds are interleaved; medians and the speed-up over one thread are printed.

    python bench/bench_dask_threads.py [--size 8192] [--chunk 1024] [--threads 1,2,4] [--rounds 5]
"""
import argparse
import warnings

import dask
import dask.array as da
import numpy as np
from harness import describe, interleaved, medians

import rastrel_tools as rt
import rastrel_tools.dask as rtd

FORMULA = "(nir - red) / (nir + red + blue)"


def contenders(nir, red, blue):
    """name -> lazy float32 result."""
    f32 = np.float32
    n, r, b = (x.astype(f32) for x in (nir, red, blue))
    formula = rt.compile(FORMULA)
    return {
        "NDVI rastrel": rtd.evaluate("NDVI", nir=nir, red=red),
        "NDVI dask.array": (n - r) / (n + r),
        "formula rastrel": rtd.evaluate(formula, nir=nir, red=red, blue=blue),
        "formula dask.array": (n - r) / (n + r + b),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=8192, help="rows and columns of each band")
    parser.add_argument("--chunk", type=int, default=1024, help="rows and columns of each chunk")
    parser.add_argument("--threads", default="1,2,4", help="scheduler thread counts to try")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds per case")
    args = parser.parse_args()
    counts = [int(t) for t in args.threads.split(",")]
    # NumPy warns of 0 / 0 in the dask.array formulation, from the scheduler's threads.
    warnings.filterwarnings("ignore", "invalid value encountered", RuntimeWarning)

    rng = np.random.default_rng(0)
    shape = (args.size, args.size)
    arrays = [da.from_array(rng.integers(0, 10000, shape, dtype=np.uint16), chunks=args.chunk)
              for _ in range(3)]
    lazy = contenders(*arrays)
    target = np.empty(shape, dtype=np.float32)

    def run(name, threads):
        with dask.config.set(scheduler="threads", num_workers=threads):
            da.store(lazy[name], target, lock=False)

    for name in lazy:  # warm-up: page faults of the inputs and the target
        run(name, max(counts))
    cases = {(name, threads): (lambda c=(name, threads): run(*c)) for name in lazy for threads in counts}
    seconds = medians(interleaved(cases, args.rounds))

    blocks = arrays[0].numblocks[0] * arrays[0].numblocks[1]
    print(f"{describe()}, dask {dask.__version__}; {args.size} x {args.size} uint16 "
          f"bands in {blocks} chunks of {args.chunk} x {args.chunk}; {args.rounds} rounds")
    print(f"{'':20}{'threads':>8}{'median ms':>11}{'Mpixel/s':>10}{'vs 1 thread':>13}")
    for name in lazy:
        base = seconds[(name, counts[0])]
        for threads in counts:
            median = seconds[(name, threads)]
            rate = args.size**2 / median / 1e6
            print(f"{name:20}{threads:8}{median * 1e3:11.1f}{rate:10.0f}{base / median:12.2f}x")


if __name__ == "__main__":
    main()
