"""What a memory layout costs: the normalized difference (or EVI) over bands and outputs placed
in several ways (windows of wider arrays, transposed, Fortran-ordered, every other column, ...)
against the same call on contiguous arrays, and against numba's loop over the same arrays, side
by side in one process.

With --pin the whole process runs on one processor before rastrel is imported, so its pool has
one worker and the call runs on the calling thread; numba's loop is then compiled with
parallel=False and runs on the same processor: a comparison of one core's loops. Without it
both use every processor (numba with parallel=True).

    python bench/bench_layouts.py --pin --sizes 1024 --layouts contiguous,transposed
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import describe, interleaved, medians, pin, same_bits, usable_cpus  # noqa: E402

EPS = np.float32(1e-10)
G, C1, C2, L_EVI = np.float32(2.5), np.float32(6.1), np.float32(7.3), np.float32(1.05)


def band(rng, n, placement):
    """An n x n uint16 band placed in memory as `placement` says."""
    if placement == "c":
        return rng.integers(0, 65536, (n, n), dtype=np.uint16)
    if placement == "t":  # the transpose of a row-major array
        return rng.integers(0, 65536, (n, n), dtype=np.uint16).T
    if placement == "f":
        return np.asfortranarray(rng.integers(0, 65536, (n, n), dtype=np.uint16))
    if placement == "2":  # every other column
        return rng.integers(0, 65536, (n, 2 * n), dtype=np.uint16)[:, ::2]
    if placement == "3":
        return rng.integers(0, 65536, (n, 3 * n), dtype=np.uint16)[:, ::3]
    if placement == "w":  # a window of a wider array, as tiles of a larger raster are read
        return rng.integers(0, 65536, (n, 2 * n), dtype=np.uint16)[:, :n]
    raise ValueError(placement)


def output(n, placement):
    if placement in ("c", "f"):
        return np.empty((n, n), np.float32, order=placement.upper())
    if placement == "t":
        return np.empty((n, n), np.float32).T
    if placement == "2":
        return np.empty((n, 2 * n), np.float32)[:, ::2]
    if placement == "w":
        return np.empty((n, 2 * n), np.float32)[:, :n]
    raise ValueError(placement)


# Layout name: (placement of the first band, of the other bands, of the output).
LAYOUTS = {
    "contiguous": ("c", "c", "c"),
    "window": ("w", "w", "w"),
    "transposed": ("t", "c", "c"),  # one band is a.T of a row-major array
    "fortran-bands": ("f", "f", "c"),
    "fortran-out": ("c", "c", "f"),
    "fortran-all-but-one": ("f", "c", "f"),
    "every-other-column": ("2", "2", "2"),
    "every-third-column": ("3", "3", "c"),
}


def numba_loops(parallel):
    """bench_peers' numba loops; imported here, after the process is pinned, since that module
    imports rastrel."""
    import numba
    from bench_peers import numba_functions
    functions = numba_functions(numba, parallel)
    return {"nd": functions["normalized difference"], "evi": functions["evi"]}


def rastrel_call(rastrel, kernel, bands, out):
    if kernel == "nd":
        return lambda: rastrel.calculate_normalized_difference_inplace(bands[0], bands[1], out)
    return lambda: rastrel.calculate_evi_inplace(bands[0], bands[1], bands[2], float(G), float(C1), float(C2),
                                                 float(L_EVI), out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pin", action="store_true", help="run on one processor, numba with parallel=False")
    parser.add_argument("--sizes", default="1024", type=lambda s: [int(v) for v in s.split(",")])
    parser.add_argument("--layouts", default=",".join(LAYOUTS), type=lambda s: s.split(","))
    parser.add_argument("--kernel", default="nd", choices=["nd", "evi"])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--budget", type=float, default=0.02, help="seconds per sample")
    parser.add_argument("--no-numba", action="store_true")
    parser.add_argument("--numba-parallel", action="store_true",
                        help="numba with parallel=True also when pinned (its threads then share the one processor)")
    args = parser.parse_args()
    if args.pin:
        pin(usable_cpus()[0])
    import rastrel
    loops = None if args.no_numba else numba_loops(parallel=args.numba_parallel or not args.pin)
    print(f"{describe()}, {'pinned to one processor' if args.pin else 'all processors'}, kernel {args.kernel}")
    count = 2 if args.kernel == "nd" else 3
    rng = np.random.default_rng(3)
    for n in args.sizes:
        base_bands = [band(rng, n, "c") for _ in range(count)]
        base_out = output(n, "c")
        contenders = {"contiguous": rastrel_call(rastrel, args.kernel, base_bands, base_out)}
        for name in args.layouts:
            first, rest, out_placement = LAYOUTS[name]
            bands = [band(rng, n, first)] + [band(rng, n, rest) for _ in range(count - 1)]
            out = output(n, out_placement)
            contenders[name] = rastrel_call(rastrel, args.kernel, bands, out)
            if loops is not None:
                # Placed as rastrel's output (empty_like would give every other column a
                # contiguous output, half the stores).
                peer_out = output(n, out_placement)
                loops[args.kernel](*bands, peer_out)
                contenders[name]()
                assert same_bits(out, peer_out), f"numba and rastrel differ on {name}"
                contenders["numba " + name] = (lambda f, b, o: lambda: f(*b, o))(loops[args.kernel], bands, peer_out)
        seconds = medians(interleaved(contenders, args.rounds, args.budget, warm=True))
        base = seconds["contiguous"]
        print(f"{n} x {n}: rastrel contiguous {base * 1e6:.1f} us")
        for name in args.layouts:
            line = f"  {name:22s} rastrel {seconds[name] * 1e6:9.1f} us ({seconds[name] / base:5.2f}x contiguous)"
            if "numba " + name in seconds:
                peer = seconds["numba " + name]
                line += f"   numba {peer * 1e6:9.1f} us (numba/rastrel {peer / seconds[name]:5.2f})"
            print(line, flush=True)


if __name__ == "__main__":
    main()
