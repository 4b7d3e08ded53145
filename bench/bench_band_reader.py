"""Reading real rasters in one pass: nodata, band types and scale/offset, side by side in one run
at each size (interleaved rounds, medians and ratios; every contender's result is compared bit
for bit with rastrel's before it is timed).

1. NDVI over uint16 bands with nodata on both bands, against the plain fixed kernel on the same
   bands (target: at most 1.2 times its time).
2. NDVI over float32 bands, against a copy of the same traffic (two 32-bit reads and one write per
   pixel, bench/roofline.cpp, the faster of cached and streaming stores; target: at least 0.85 of
   its throughput).
3. A Sentinel-2 Level-2A NDVI as users write it otherwise: uint16 bands, scale 0.0001 and offset
   -0.1, nodata 0 on both bands, in NumPy (np.where after the index) and in numexpr (target:
   rastrel at least 5 times as fast as each at 4096 x 4096).

    python bench/bench_band_reader.py [--sizes 1024,4096] [--rounds 9]
"""
import argparse
import ctypes

import numpy as np
from bench_peers import build_roofline
from harness import describe, interleaved, medians, same_bits

import rastrel_tools as rt

EPS = np.float32(1e-10)
SCALE, OFFSET = np.float32(0.0001), np.float32(-0.1)
NAN = np.float32(np.nan)
NDVI = rt.compile("NDVI")


def scene(n, rng):
    """Two uint16 bands of surface reflectance counts with a nodata border (0), as a tile at the
    edge of a Sentinel-2 swath has."""
    nir = rng.integers(1000, 6000, (n, n), dtype=np.uint16)
    red = rng.integers(1000, 3000, (n, n), dtype=np.uint16)
    for band in (nir, red):
        band[:, : n // 16] = 0
    return nir, red


def roofline(a, b, out):
    lib = ctypes.CDLL(build_roofline())
    lib.roofline_run32.argtypes = [ctypes.c_void_p] * 3 + [ctypes.c_size_t, ctypes.c_int]
    lib.roofline_run32.restype = None
    words = np.empty(out.shape, np.uint32)
    run = lib.roofline_run32
    pointers = (words.ctypes.data, a.ctypes.data, b.ctypes.data, out.size)

    def make(streaming):
        return lambda keep=(a, b, words): run(*pointers, streaming)
    return {"copy (cached)": make(0), "copy (streaming)": make(1)}


def numpy_sentinel2(nir, red):
    """Scale and offset as NumPy applies them (float32 throughout), the index, then np.where."""
    with np.errstate(all="ignore"):
        a = nir.astype(np.float32) * SCALE + OFFSET
        b = red.astype(np.float32) * SCALE + OFFSET
        index = (a - b) / (a + b + EPS)
        return np.where((nir == 0) | (red == 0), NAN, index)


def numexpr_sentinel2(ne, nir, red, out):
    # numexpr has no uint16 and would widen mixed integer and float32 operands to float64: the
    # samples are converted to float32 first, and the nodata test reads those.
    text = ("where((n == 0) | (r == 0), nan, "
            "((n * s + o) - (r * s + o)) / ((n * s + o) + (r * s + o) + eps))")

    def run():
        names = {"n": nir.astype(np.float32), "r": red.astype(np.float32), "s": SCALE, "o": OFFSET,
                 "eps": EPS, "nan": NAN}
        return ne.evaluate(text, local_dict=names, out=out, casting="no")
    return run


def report(title, times, base, *, per=None):
    m = medians(times)
    print(f"  {title}")
    for name, t in m.items():
        ratio = f"{t / m[base]:6.2f}x {base}" if name != base else ""
        rate = f"  {per / t / 1e9:6.1f} GB/s" if per else ""
        print(f"    {name:30s} {t * 1e3:9.3f} ms{rate}  {ratio}")
    return m


def bench_size(n, rounds, budget):
    rng = np.random.default_rng(n)
    nir, red = scene(n, rng)
    out = np.empty((n, n), np.float32)
    other = np.empty((n, n), np.float32)
    print(f"{n} x {n}:")

    # 1. uint16 with nodata on both bands against the plain kernel.
    def kernel():
        NDVI(nir, red, out=other)

    def with_nodata():
        NDVI(nir, red, nodata=0, out=out)

    with_nodata()
    kernel()
    expected = np.where((nir == 0) | (red == 0), NAN, other)
    assert same_bits(out, expected), "nodata NDVI differs from the kernel's where valid"
    m = report("NDVI, uint16 bands, nodata 0 on both, against the plain kernel",
               interleaved({"kernel (no nodata)": kernel, "rastrel with nodata": with_nodata},
                           rounds, budget, warm=True), "kernel (no nodata)")
    results = {"nodata / kernel": m["rastrel with nodata"] / m["kernel (no nodata)"]}

    # 2. float32 bands against a copy of the same traffic.
    a, b = (np.ascontiguousarray(x * SCALE + OFFSET, dtype=np.float32) for x in (nir, red))

    def float_bands():
        NDVI(a, b, out=out)

    contenders = {"rastrel, float32 bands": float_bands, **roofline(a, b, other)}
    m = report("NDVI, float32 bands, against a copy of the same traffic (12 bytes a pixel)",
               interleaved(contenders, rounds, budget, warm=True), "rastrel, float32 bands",
               per=12 * n * n)
    best_copy = min(m["copy (cached)"], m["copy (streaming)"])
    results["float32 / copy throughput"] = best_copy / m["rastrel, float32 bands"]

    # 3. A Sentinel-2 Level-2A NDVI against NumPy and numexpr.
    def sentinel2():
        NDVI(nir, red, nodata=0, scale=float(SCALE), offset=float(OFFSET), out=out)

    contenders = {"rastrel": sentinel2, "NumPy": lambda: numpy_sentinel2(nir, red)}
    sentinel2()
    assert same_bits(out, numpy_sentinel2(nir, red)), "NumPy's Sentinel-2 NDVI differs"
    try:
        import numexpr
    except ImportError:
        numexpr = None
    if numexpr is not None:
        contenders["numexpr"] = numexpr_sentinel2(numexpr, nir, red, other)
        contenders["numexpr"]()
        assert same_bits(out, other), "numexpr's Sentinel-2 NDVI differs"
    m = report("Sentinel-2 L2A NDVI (scale, offset, nodata 0), against NumPy and numexpr",
               interleaved(contenders, rounds, budget, warm=True), "rastrel")
    for peer in ("NumPy", "numexpr"):
        if peer in m:
            results[f"{peer} / rastrel"] = m[peer] / m["rastrel"]
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1024,4096")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--budget", type=float, default=0.2, help="seconds a sample should last")
    args = parser.parse_args()
    print(describe())
    summary = {n: bench_size(n, args.rounds, args.budget) for n in map(int, args.sizes.split(","))}
    print("summary (targets: nodata / kernel <= 1.2, float32 / copy >= 0.85, "
          "NumPy and numexpr / rastrel >= 5 at 4096):")
    for n, results in summary.items():
        print(f"  {n:5d}: " + ", ".join(f"{k} {v:.2f}" for k, v in results.items()))


if __name__ == "__main__":
    main()
