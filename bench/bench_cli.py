"""The `rastrel calc` command against the NumPy + rasterio script a user would write for the same
job, on a Sentinel-2-sized scene (10980 x 10980 pixels, blue, green, red and nir as uint16, tiled
and compressed, nodata 0) made here: the whole run of each, reading, computing, writing, in a
process of its own. Reports the wall time and the peak resident memory of each process (medians
over the rounds, which alternate), their ratios and the targets: the command at least 2 times as
fast, and its peak memory at most a tenth of the scene's size.

    python bench/bench_cli.py [--size 10980] [--indices NDVI] [--rounds 3] [--compress deflate]

Both write the same output: float32, tiled 512 x 512, compressed with --compress (deflate by
default) and the floating-point predictor, NaN where a band is nodata. The scene is kept in --dir
between runs (made again if its size differs).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import rasterio
from rasterio.transform import from_origin
from rasterio.windows import Window

BANDS = ("blue", "green", "red", "nir")

# What one writes with NumPy and rasterio: whole bands in memory, the formula on float32 copies,
# nodata masked afterwards, the profile copied from the source and then overridden.
NUMPY_SCRIPT = """
import sys
import numpy as np
import rasterio

scene, output, names = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
reads = {"NDVI": ("nir", "red"), "NDWI": ("green", "nir"), "EVI": ("nir", "red", "blue")}
needed = sorted({band for name in names for band in reads[name]})
with rasterio.open(scene) as src:
    profile = src.profile
    raw = {band: src.read(src.descriptions.index(band) + 1) for band in needed}
    nodata = src.nodata
f32 = np.float32
v = {band: samples.astype(f32) for band, samples in raw.items()}
formulas = {
    "NDVI": lambda: (v["nir"] - v["red"]) / (v["nir"] + v["red"]),
    "NDWI": lambda: (v["green"] - v["nir"]) / (v["green"] + v["nir"]),
    "EVI": lambda: f32(2.5) * (v["nir"] - v["red"])
    / (v["nir"] + f32(6) * v["red"] - f32(7.5) * v["blue"] + f32(10000)),
}
with np.errstate(divide="ignore", invalid="ignore"):
    results = []
    for name in names:
        result = formulas[name]()
        for band in reads[name]:
            result[raw[band] == nodata] = np.nan
        results.append(result)
compress = sys.argv[4]
profile.update(dtype="float32", count=len(names), nodata=float("nan"), tiled=True,
               blockxsize=512, blockysize=512)
if compress == "none":
    profile.pop("compress", None)
    profile.pop("predictor", None)
else:
    profile.update(compress=compress, predictor=3)
with rasterio.open(output, "w", **profile) as dst:
    dst.write(np.stack(results))
"""


def make_scene(path, size):
    """A smooth synthetic landscape with a nodata border, written strip by strip."""
    if path.exists():
        with rasterio.open(path) as src:
            if src.width == size:
                return
    profile = {"driver": "GTiff", "width": size, "height": size, "count": len(BANDS),
               "dtype": "uint16", "nodata": 0, "crs": "EPSG:32633",
               "transform": from_origin(399960.0, 5300040.0, 10.0, 10.0), "tiled": True,
               "blockxsize": 512, "blockysize": 512, "compress": "deflate", "predictor": 2,
               "NUM_THREADS": "ALL_CPUS", "BIGTIFF": "IF_SAFER"}
    rng = np.random.default_rng(3)
    cols = np.arange(size)[None, :]
    with rasterio.open(path, "w", **profile) as dst:
        dst.descriptions = BANDS
        for top in range(0, size, 1024):
            rows = np.arange(top, min(top + 1024, size))[:, None]
            wave = np.sin(rows / 700.0) * np.cos(cols / 900.0)
            for k, base in enumerate((400, 700, 600, 3000), 1):
                value = base * (1.0 + 0.6 * wave) + rng.normal(0, 40, wave.shape)
                value[:, : size // 20] = 0  # a nodata strip along the west edge
                dst.write(np.clip(value, 0, 10000).astype(np.uint16), k,
                          window=Window(0, top, size, rows.shape[0]))


# The peak resident memory of a process is read from its own /proc/self/status (VmHWM) as it
# exits. The rusage that wait4 returns would not do: Linux carries the peak of the memory a
# process replaces at exec into it, and subprocess starts children by vfork, so every child would
# report at least this process's own peak (the scene's making included).
PEAK_WRAPPER = """
import atexit, runpy, sys
peak_file, kind, target = sys.argv[1:4]
def _record_peak():
    with open("/proc/self/status") as status:
        kib = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
    with open(peak_file, "w") as out:
        out.write(kib)
atexit.register(_record_peak)
sys.argv = [target] + sys.argv[4:]
if kind == "-m":
    runpy.run_module(target, run_name="__main__", alter_sys=True)
else:
    exec(compile(target, "<script>", "exec"), {"__name__": "__main__"})
"""


def run(command, peak_file):
    """Wall time, processor time (user and system, all threads) and peak resident memory
    (bytes) of one process; `command` is `[kind, target, *arguments]`, kind `-m` (a module) or
    `-c` (a script's text)."""
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-c", PEAK_WRAPPER, str(peak_file), *command],
                             stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{command[:3]} failed with status {child.returncode}")
    return elapsed, usage.ru_utime + usage.ru_stime, int(Path(peak_file).read_text()) * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=10980, help="rows and columns of the scene")
    parser.add_argument("--indices", default="NDVI", help="of NDVI, NDWI, EVI")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--compress", default="deflate", choices=("deflate", "zstd", "none"),
                        help="of both outputs (the scene is deflate either way)")
    parser.add_argument("--dir", type=Path, default=Path(tempfile.gettempdir()) / "rastrel-bench")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    scene = args.dir / "scene.tif"
    start = time.perf_counter()
    make_scene(scene, args.size)
    raster_bytes = args.size * args.size * 2 * len(BANDS)
    print(f"scene: {args.size} x {args.size} x {len(BANDS)} uint16 ({raster_bytes / 2**20:.0f} "
          f"MiB), {scene.stat().st_size / 2**20:.0f} MiB on disk "
          f"(ready in {time.perf_counter() - start:.0f} s); indices {args.indices}")
    commands = {
        "rastrel calc": ["-m", "rastrel_tools.cli", "calc", args.indices,
                         str(scene), "-o", str(args.dir / "rastrel.tif"), "--overwrite", "-q",
                         "--compress", args.compress],
        "NumPy + rasterio": ["-c", NUMPY_SCRIPT, str(scene),
                             str(args.dir / "numpy.tif"), args.indices, args.compress],
    }
    times = {name: [] for name in commands}
    cpu = {name: [] for name in commands}
    memory = {name: [] for name in commands}
    for _ in range(args.rounds):
        for name, command in commands.items():
            elapsed, used, peak = run(command, args.dir / "peak.txt")
            times[name].append(elapsed)
            cpu[name].append(used)
            memory[name].append(peak)
    print(f"{'':<18} {'seconds':>8} {'cpu s':>8} {'peak MiB':>9}   (medians of {args.rounds} "
          f"rounds, {os.cpu_count()} processors, load {os.getloadavg()[0]:.1f})")
    for name in commands:
        print(f"{name:<18} {statistics.median(times[name]):>8.2f} "
              f"{statistics.median(cpu[name]):>8.2f} "
              f"{statistics.median(memory[name]) / 2**20:>9.0f}")
    ours, theirs = "rastrel calc", "NumPy + rasterio"
    speed = statistics.median(times[theirs]) / statistics.median(times[ours])
    work = statistics.median(cpu[theirs]) / statistics.median(cpu[ours])
    share = statistics.median(memory[ours]) / raster_bytes
    print(f"speed-up {speed:.2f}x in wall time (target at least 2), {work:.2f}x in processor "
          f"time; rastrel's peak memory {share:.3f} of the scene (target at most 0.1)")
    with rasterio.open(args.dir / "rastrel.tif") as a, rasterio.open(args.dir / "numpy.tif") as b:
        window = Window(0, 0, args.size, min(args.size, 2048))
        x, y = a.read(window=window), b.read(window=window)
        same_nan = np.array_equal(np.isnan(x), np.isnan(y))
        finite = ~np.isnan(y)
        worst = float(np.max(np.abs(x[finite] - y[finite]), initial=0.0))
        print(f"outputs: NaN at the same pixels: {same_nan}; largest difference {worst:.2g} "
              "(NumPy has no guarded division and groups EVI's terms differently)")


if __name__ == "__main__":
    main()
