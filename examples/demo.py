"""Spectral indices of a synthetic multispectral scene with rastrel, timed against NumPy.

The scene has four land-cover classes (vegetation, water, bare soil, clouds) with typical
surface reflectances scaled to 0..10000, as most satellite products store them in uint16,
plus smooth spatial variation and a little sensor noise.

Run: python examples/demo.py [--size N] [--repeat R]
"""

import argparse
import os
import sys
import time

import numpy as np

import rastrel

CLASSES = ("vegetation", "water", "bare soil", "clouds")

# Samples are reflectance x SCALE. EVI's L = 1 is in reflectance units and appears only in the
# denominator, so it scales like the bands. The adjusted difference uses its l both as an
# offset and in the factor 1 + l, so there l = 0.5 acts in sample units: about 1.5 x NDVI.
SCALE = 10000
ADJ_L = 0.5
EVI_G, EVI_C1, EVI_C2, EVI_L = 2.5, 6.0, 7.5, 1.0 * SCALE

# Mean reflectance x SCALE per class, for the bands (blue, red, nir).
REFLECTANCE = np.array(
    [
        [400, 350, 4200],    # vegetation: chlorophyll absorbs red, leaf structure reflects NIR
        [700, 350, 150],     # water: absorbs NIR almost completely
        [1100, 2000, 2700],  # bare soil: rising slowly from blue to NIR
        [7500, 7600, 7900],  # clouds: bright and flat
    ],
    dtype=np.float64,
)


def smooth_noise(rng, size, cells):
    """Value noise: a coarse random grid, interpolated bilinearly to size x size, in [-1, 1]."""
    grid = rng.uniform(-1.0, 1.0, (cells + 1, cells + 1))
    pos = np.linspace(0.0, cells, size)
    lo = np.minimum(pos.astype(np.int64), cells - 1)
    frac = pos - lo
    # Separable bilinear interpolation as two small matrix products.
    weights = np.zeros((size, cells + 1))
    weights[np.arange(size), lo] = 1.0 - frac
    weights[np.arange(size), lo + 1] = frac
    return weights @ grid @ weights.T


def make_scene(size, seed=7):
    rng = np.random.default_rng(seed)
    terrain = smooth_noise(rng, size, 12) + 0.3 * smooth_noise(rng, size, 48)
    cloudiness = smooth_noise(rng, size, 8) + 0.25 * smooth_noise(rng, size, 64)

    classes = np.full((size, size), 0, dtype=np.uint8)  # vegetation by default
    classes[terrain < np.quantile(terrain, 0.2)] = 1  # low ground holds water
    classes[terrain > np.quantile(terrain, 0.75)] = 2  # high, dry ground is bare
    classes[cloudiness > np.quantile(cloudiness, 0.9)] = 3

    texture = smooth_noise(rng, size, 256)  # field-to-field variation within a class
    bands = []
    for b in range(3):
        mean = REFLECTANCE[classes, b]
        value = mean * (1.0 + 0.12 * texture) + rng.normal(0.0, 0.01 * mean + 5.0)
        bands.append(np.clip(np.rint(value), 0, SCALE).astype(np.uint16))
    blue, red, nir = bands
    return classes, blue, red, nir


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def numpy_indices(blue, red, nir):
    """What one would write in NumPy, one temporary per operation."""
    f32 = np.float32

    def ndvi():
        a, b = nir.astype(f32), red.astype(f32)
        return (a - b) / (a + b)

    def ratio():
        return nir.astype(f32) / red.astype(f32)

    def adjusted():
        a, b = nir.astype(f32), red.astype(f32)
        return f32(1 + ADJ_L) * (a - b) / (a + b + f32(ADJ_L))

    def evi():
        n, r, b = nir.astype(f32), red.astype(f32), blue.astype(f32)
        return f32(EVI_G) * (n - r) / (n + f32(EVI_C1) * r - f32(EVI_C2) * b + f32(EVI_L))

    return {"NDVI": ndvi, "ratio": ratio, "adj.": adjusted, "EVI": evi}


def rastrel_indices(blue, red, nir, out):
    def ndvi():
        return rastrel.calculate_normalized_difference(nir, red)

    def ratio():
        rastrel.calculate_ratio_inplace(nir, red, out["ratio"])
        return out["ratio"]

    def adjusted():
        rastrel.calculate_adjusted_difference_inplace(nir, red, ADJ_L, out["adj."])
        return out["adj."]

    def evi():
        rastrel.calculate_evi_inplace(nir, red, blue, EVI_G, EVI_C1, EVI_C2, EVI_L, out["EVI"])
        return out["EVI"]

    return {"NDVI": ndvi, "ratio": ratio, "adj.": adjusted, "EVI": evi}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2048, help="scene edge in pixels")
    parser.add_argument("--repeat", type=int, default=7, help="timing runs, the best is shown")
    args = parser.parse_args(argv)

    start = time.perf_counter()
    classes, blue, red, nir = make_scene(args.size)
    print(f"scene: {args.size} x {args.size} pixels, bands blue/red/nir as uint16 "
          f"(made in {time.perf_counter() - start:.1f} s)")

    shape = nir.shape
    out = {name: np.empty(shape, dtype=np.float32) for name in ("ratio", "adj.", "EVI")}
    ours = rastrel_indices(blue, red, nir, out)
    theirs = numpy_indices(blue, red, nir)

    results = {name: fn() for name, fn in ours.items()}
    ndvi = results["NDVI"]
    print()
    print(f"{'class':<12} {'share':>6} {'NDVI':>7} {'EVI':>7}   (means)")
    for k, name in enumerate(CLASSES):
        mask = classes == k
        print(f"{name:<12} {mask.mean():>6.1%} {ndvi[mask].mean():>7.3f} "
              f"{results['EVI'][mask].mean():>7.3f}")

    try:
        threads = len(os.sched_getaffinity(0))
    except AttributeError:
        threads = os.cpu_count()
    print()
    print(f"best of {args.repeat} runs, rastrel on {threads} worker threads, "
          f"NumPy {np.__version__} on {sys.implementation.name}")
    print(f"{'index':<6} {'rastrel ms':>11} {'NumPy ms':>10} {'speed-up':>9} "
          f"{'max rel diff':>13}")
    mismatch = False
    with np.errstate(divide="ignore", invalid="ignore"):
        for name in ours:
            expected = theirs[name]()
            # NumPy has no division guard, so it gives inf or NaN where a denominator is 0.
            finite = np.isfinite(expected)
            got, want = results[name][finite], expected[finite]
            rel = np.abs(got - want) / np.maximum(np.abs(want), np.float32(1e-30))
            diff = float(np.max(rel, initial=0.0))
            # Only rounding may differ, where NumPy multiplies before it divides.
            mismatch |= diff > 1e-6
            t_ours = best_time(ours[name], args.repeat)
            t_theirs = best_time(theirs[name], args.repeat)
            print(f"{name:<6} {t_ours * 1e3:>11.2f} {t_theirs * 1e3:>10.2f} "
                  f"{t_theirs / t_ours:>8.1f}x {diff:>13.2g}")
    if mismatch:
        print("results differ from NumPy beyond rounding", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
