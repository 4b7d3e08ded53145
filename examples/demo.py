"""Spectral indices of a synthetic multispectral scene with rastrel, timed against NumPy.

The scene has four kinds of land cover (vegetation of varying density, water, bare soil and
clouds with soft edges) in six bands, blue to shortwave infrared, with typical surface
reflectances scaled to 1..10000 as most satellite products store them in uint16, smooth spatial
variation and a little sensor noise; beyond the satellite's swath every band is 0, the nodata
value, and a cloud mask covers the clouds. The indices are NaN wherever a band is nodata or the
mask is set, computed in the same pass as the formula. The demo writes the scene and every index
as GeoTIFF (with rasterio) and as PNG previews on map coordinates, with a histogram of each
index per land-cover class (with matplotlib), into the output directory, prints the mean of each
index per land-cover class, and times each index against the same formula written with NumPy.

Run: python examples/demo.py [--size N] [--repeat R] [--output DIR]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import rastrel
import rastrel_tools as rt
from demo_files import through_geotiff, write_outputs

CLASSES = ("vegetation", "water", "bare soil", "clouds")
CLASS_COLOURS = ("#2e8b3a", "#2a6fb8", "#c8a26a", "#f2f2f2")
BANDS = ("blue", "green", "red", "nir", "swir1", "swir2")
SCALE = 10000
NODATA = 0  # the sample value of pixels outside the swath, in every band

# Typical surface reflectance per band (blue, green, red, nir, swir1, swir2).
REFLECTANCE = {
    "vegetation": (0.035, 0.080, 0.040, 0.420, 0.210, 0.100),  # chlorophyll, leaf structure
    "water": (0.070, 0.060, 0.035, 0.012, 0.007, 0.004),  # absorbs the infrared
    "bare soil": (0.110, 0.150, 0.210, 0.270, 0.340, 0.290),  # rising towards the SWIR
    "clouds": (0.740, 0.750, 0.760, 0.780, 0.520, 0.380),  # bright, ice and droplets absorb SWIR
}

# The adjusted difference uses its l both as an offset and in the factor 1 + l, in sample units
# here: about 1.5 x NDVI. SAVI proper, on reflectance, comes from the catalogue.
ADJ_L = 0.5
EVI_G, EVI_C1, EVI_C2, EVI_L = 2.5, 6.0, 7.5, 1.0 * SCALE
# Tasseled-cap wetness for Landsat 8 OLI (Baig et al. 2014), in reflectance units.
WETNESS = ("(0.1511 * blue + 0.1973 * green + 0.3283 * red + 0.3407 * nir"
           " - 0.7117 * swir1 - 0.4559 * swir2) / scale")
WETNESS_WEIGHTS = (0.1511, 0.1973, 0.3283, 0.3407, -0.7117, -0.4559)


# ---------------------------------------------------------------------------------------------
# Progress


class Progress:
    """A text progress bar on standard error: redrawn in place on a terminal, one closing line
    otherwise (so that logs stay short)."""

    def __init__(self, total, label, width=30):
        self.total, self.label, self.width = total, label, width
        self.done = 0
        self.start = time.perf_counter()
        self.live = sys.stderr.isatty()
        self._draw()

    def step(self, what=""):
        self.done += 1
        self._draw(what)
        if self.done == self.total:
            elapsed = time.perf_counter() - self.start
            end = "\n" if self.live else ""
            sys.stderr.write(f"{end}{self.label}: done, {self.total} steps in {elapsed:.1f} s\n")

    def _draw(self, what=""):
        if not self.live:
            return
        filled = self.width * self.done // self.total
        bar = "#" * filled + "." * (self.width - filled)
        sys.stderr.write(f"\r{self.label} [{bar}] {self.done}/{self.total} {what[:24]:<24}")
        sys.stderr.flush()


# ---------------------------------------------------------------------------------------------
# The scene


def smooth_noise(rng, size, cells):
    """Value noise: a coarse random grid, interpolated smoothly to size x size, in [-1, 1]."""
    grid = rng.uniform(-1.0, 1.0, (cells + 1, cells + 1))
    pos = np.linspace(0.0, cells, size)
    lo = np.minimum(pos.astype(np.int64), cells - 1)
    frac = pos - lo
    frac = frac * frac * (3.0 - 2.0 * frac)  # smoothstep: no creases along the grid lines
    # Separable interpolation as two small matrix products.
    weights = np.zeros((size, cells + 1))
    weights[np.arange(size), lo] = 1.0 - frac
    weights[np.arange(size), lo + 1] = frac
    return weights @ grid @ weights.T


def fractal(rng, size, cells, octaves=4):
    total = np.zeros((size, size))
    for k in range(octaves):
        total += 0.5**k * smooth_noise(rng, size, min(cells * 2**k, 256, size // 2))
    return total


def parcels(rng, size, mean_width):
    """A patchwork of rectangular fields, each with its own crop density in 0.35..1."""
    def edges():
        widths = rng.uniform(0.4, 1.6, 2 * size // mean_width + 2) * mean_width
        return np.searchsorted(np.cumsum(widths), np.arange(size))

    rows, cols = edges(), edges()
    density = rng.uniform(0.35, 1.0, (rows.max() + 1, cols.max() + 1))
    return density[rows[:, None], cols[None, :]]


def make_scene(size, seed=7):
    """Returns (classes, bands, clouds): the land-cover class per pixel (cloud where the cloud
    is thick), a dict of uint16 bands, reflectance x SCALE, with 0 (nodata) outside the
    satellite's swath in the east, and the cloud mask a cloud detector would give."""
    rng = np.random.default_rng(seed)
    terrain = fractal(rng, size, 5)
    # A river meanders across the lowland from west to east.
    x = np.linspace(0.0, 1.0, size)
    course = size * (0.5 + 0.18 * np.sin(7.0 * x + 1.0) + 0.06 * np.sin(23.0 * x))
    river = np.abs(np.arange(size)[:, None] - course[None, :]) < size * (0.006 + 0.004 * x)
    water = (terrain < np.quantile(terrain, 0.12)) | river
    soil = terrain > np.quantile(terrain, 0.8)  # high, dry ground is bare
    # Vegetation: fields of different density in the lowland, thinning out uphill into soil.
    uphill = np.clip((terrain - np.quantile(terrain, 0.55)) * 2.5, 0.0, 1.0)
    cover = parcels(rng, size, max(size // 24, 4)) * (1.0 - uphill)
    cover = np.clip(cover + 0.1 * smooth_noise(rng, size, min(64, size // 2)), 0.0, 1.0)
    cover[soil] = 0.0
    cloud = np.clip((fractal(rng, size, 4) - 0.6) * 3.0, 0.0, 1.0)  # opacity, soft edges

    classes = np.where(water, 1, np.where(soil, 2, 0)).astype(np.uint8)
    classes[cloud > 0.5] = 3
    texture = 1.0 + 0.06 * smooth_noise(rng, size, min(256, size // 2))
    bands = {}
    for b, name in enumerate(BANDS):
        veg, wat, bare, cld = (REFLECTANCE[c][b] for c in CLASSES)
        ground = np.where(water, wat, cover * veg + (1.0 - cover) * bare) * texture
        value = ((1.0 - cloud) * ground + cloud * cld) * SCALE
        value += rng.normal(0.0, 1.0, value.shape) * (0.01 * value + 4.0)  # sensor noise
        bands[name] = np.clip(np.rint(value), 1, SCALE).astype(np.uint16)
    # The swath's edge runs diagonally across the tile, as on many Sentinel-2 tiles.
    rows, cols = np.ogrid[:size, :size]
    outside = cols > size * 0.86 - (rows - size / 2) * 0.3
    for band in bands.values():
        band[outside] = NODATA
    classes[outside] = len(CLASSES)
    return classes, bands, cloud > 0.3


# ---------------------------------------------------------------------------------------------
# Indices: rastrel and the NumPy formulation side by side


def rastrel_indices(bands, shape):
    """name -> (how, function returning the float32 result)."""
    nir, red, blue = bands["nir"], bands["red"], bands["blue"]
    out = {name: np.empty(shape, dtype=np.float32) for name in ("ratio", "adj", "evi")}
    savi = rt.compile("SAVI")
    wetness = rt.compile(WETNESS, constants={"scale": SCALE})

    def ratio():
        rastrel.calculate_ratio_inplace(nir, red, out["ratio"])
        return out["ratio"]

    def adjusted():
        rastrel.calculate_adjusted_difference_inplace(nir, red, ADJ_L, out["adj"])
        return out["adj"]

    def evi():
        rastrel.calculate_evi_inplace(nir, red, blue, EVI_G, EVI_C1, EVI_C2, EVI_L, out["evi"])
        return out["evi"]

    return {
        "NDVI": ("kernel", lambda: rastrel.calculate_normalized_difference(nir, red)),
        "ratio": ("kernel", ratio),
        "adj. diff": ("kernel", adjusted),
        "EVI": ("kernel", evi),
        "SAVI": ("formula", lambda: savi.evaluate(bands)),
        "wetness": ("formula", lambda: wetness.evaluate(bands)),
    }


def numpy_indices(bands):
    """What one would write in NumPy, one temporary per operation."""
    f32 = np.float32

    def band(name):
        return bands[name].astype(f32)

    def ndvi():
        a, b = band("nir"), band("red")
        return (a - b) / (a + b)

    def adjusted():
        a, b = band("nir"), band("red")
        return f32(1 + ADJ_L) * (a - b) / (a + b + f32(ADJ_L))

    def evi():
        n, r, b = band("nir"), band("red"), band("blue")
        return f32(EVI_G) * (n - r) / (n + f32(EVI_C1) * r - f32(EVI_C2) * b + f32(EVI_L))

    def savi():
        a, b = band("nir"), band("red")
        return f32(1.5) * (a - b) / (a + b + f32(0.5 * SCALE))

    def wetness():
        total = sum(f32(w) * band(name) for w, name in zip(WETNESS_WEIGHTS, BANDS))
        return total / f32(SCALE)

    return {"NDVI": ndvi, "ratio": lambda: band("nir") / band("red"), "adj. diff": adjusted,
            "EVI": evi, "SAVI": savi, "wetness": wetness}


def best_time(fn, repeat, progress, name):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
        progress.step(name)
    return best


def timing_table(ours, theirs, repeat):
    """Prints rastrel against NumPy; returns False if a result differs beyond rounding."""
    progress = Progress(2 * repeat * len(ours), "timing")
    rows, same = [], True
    with np.errstate(divide="ignore", invalid="ignore"):
        for name, (how, fn) in ours.items():
            got, want = fn().copy(), theirs[name]()
            # NumPy has no division guard, so it gives inf or NaN where a denominator is 0.
            finite = np.isfinite(want)
            scale = max(float(np.max(np.abs(want[finite]), initial=0.0)), 1e-30)
            diff = float(np.max(np.abs(got[finite] - want[finite]), initial=0.0)) / scale
            same &= diff < 1e-5  # only rounding may differ, where NumPy groups differently
            rows.append((name, how, best_time(fn, repeat, progress, name),
                         best_time(theirs[name], repeat, progress, name), diff))
    print(f"{'index':<10} {'rastrel':<8} {'rastrel ms':>10} {'NumPy ms':>9} {'speed-up':>9} "
          f"{'max diff':>9}")
    for name, how, t_ours, t_theirs, diff in rows:
        print(f"{name:<10} {how:<8} {t_ours * 1e3:>10.2f} {t_theirs * 1e3:>9.2f} "
              f"{t_theirs / t_ours:>8.1f}x {diff:>9.1g}")
    print("max diff: largest difference over the largest NumPy value. kernel: a fixed kernel; "
          "formula: rastrel_tools on the expression engine")
    return same


def masked_indices(bands, clouds):
    """Every index again through rastrel_tools, with the nodata value and the cloud mask:
    NaN wherever a band is nodata or the mask is set, in the same pass as the formula."""
    formulas = {
        "NDVI": rt.compile("NDVI"),
        "ratio": rt.compile("nir / red"),
        "adj. diff": rt.compile("(1 + l) * ((nir - red) / (nir + red + l))",
                                constants={"l": ADJ_L}),
        "EVI": rt.compile("EVI"),
        "SAVI": rt.compile("SAVI"),
        "wetness": rt.compile(WETNESS, constants={"scale": SCALE}),
    }
    return {name: f.evaluate(bands, nodata=NODATA, mask=clouds) for name, f in formulas.items()}


def class_means(classes, results, clouds):
    names = ("NDVI", "SAVI", "EVI", "wetness")
    print(f"{'class':<12} {'share':>6} {'clear':>6} " + " ".join(f"{n:>8}" for n in names)
          + "   (means of clear pixels)")
    for k, label in enumerate(CLASSES):
        mask = classes == k
        clear = mask & ~clouds
        means = " ".join(f"{np.nanmean(results[n][clear]) if clear.any() else np.nan:>8.3f}"
                         for n in names)
        print(f"{label:<12} {mask.mean():>6.1%} {clear.sum() / max(mask.sum(), 1):>6.1%} "
              f"{means}")
    outside = classes == len(CLASSES)
    print(f"{'no data':<12} {outside.mean():>6.1%}   (outside the swath: NaN)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2048, help="scene edge in pixels")
    parser.add_argument("--repeat", type=int, default=7, help="timing runs, the best is shown")
    parser.add_argument("--output", type=Path, default=Path("demo-output"),
                        help="directory for the GeoTIFFs and PNGs (default: demo-output)")
    args = parser.parse_args(argv)

    start = time.perf_counter()
    classes, bands, clouds = make_scene(args.size)
    print(f"scene: {args.size} x {args.size} pixels, bands {', '.join(BANDS)} as uint16 "
          f"reflectance x {SCALE} (made in {time.perf_counter() - start:.1f} s)")

    bands = through_geotiff(bands, args.output)
    ours = rastrel_indices(bands, classes.shape)
    results = masked_indices(bands, clouds)
    print()
    class_means(classes, results, clouds)

    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print()
    print(f"best of {args.repeat} runs, rastrel on {threads} worker threads, "
          f"NumPy {np.__version__} on {sys.implementation.name}")
    same = timing_table(ours, numpy_indices(bands), args.repeat)

    print()
    write_outputs(args.output, classes, bands, results, clouds, Progress)
    if not same:
        print("results differ from NumPy beyond rounding", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
