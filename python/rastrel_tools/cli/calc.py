"""`rastrel calc`: indices of rasters, block by block, into float32 GeoTIFFs."""
from __future__ import annotations

import argparse
import contextlib
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from ..formula import Formula, FormulaError, compile
from ..sensors import get_sensor
from .bands import BandSource, Inputs
from .blocks import OUTPUT_BLOCK, Progress, plan_windows, run_pipeline
from .errors import FormulaProblem, InputError, OutputError, UsageError

# GDAL's block cache defaults to a share of the machine's memory; the windows are read and
# written whole, so a small cache is enough and keeps the process's memory bounded (2 MiB ran as
# fast as 8 on a Sentinel-2-sized scene, 6 MiB less at the peak).
_GDAL_CACHE_MB = 2
# Float32 samples behind the floating-point predictor hardly compress better at deflate's higher
# levels: on a Sentinel-2-sized NDVI level 1 wrote 313.5 MiB against level 6's 316.3, in 30% less
# processor time.
_DEFLATE_LEVEL = 1
_PREDICTOR_FLOAT = 3


@dataclass
class Job:
    """One output band: a label, its formula and where each of the formula's bands comes from."""
    label: str
    formula: Formula
    sources: list[BandSource]
    keywords: dict[str, Any]


def parse_items(text: str) -> list[tuple[str, str]]:
    """'NDVI,NDWI' or 'wet=(green - nir) / (green + nir)' as (label, formula or index) pairs."""
    items = []
    for part in text.split(","):
        label, equals, formula = part.partition("=")
        label, formula = label.strip(), formula.strip()
        if not equals:
            label, formula = label, label
        if not label or not formula:
            raise UsageError(f"INDICES {text!r}: expected names such as NDVI,EVI or "
                             "NAME=FORMULA items, separated by commas")
        items.append((label, formula))
    labels = [label.casefold() for label, _ in items]
    for label in labels:
        if labels.count(label) > 1:
            raise UsageError(f"INDICES {text!r}: {label!r} is asked for twice")
    return items


def compile_item(label: str, text: str, sensor: Optional[str]) -> Formula:
    try:
        return compile(text, sensor=sensor)
    except FormulaError as error:
        raise FormulaProblem(f"{label}: {str(error).splitlines()[0]}") from None
    except (TypeError, ValueError, KeyError) as error:
        raise FormulaProblem(f"{label}: {error}") from None


def _band_keywords(inputs: Inputs, formula: Formula, sources: list[BandSource],
                   args: argparse.Namespace) -> dict[str, Any]:
    """nodata, scale and offset for the formula's bands, by band name: the options first, else
    what each file records."""
    nodata: dict[str, float] = {}
    scale: dict[str, float] = {}
    offset: dict[str, float] = {}
    for name, source in zip(formula.bands, sources):
        missing = inputs.nodata(source, args.nodata)
        if missing is not None:
            nodata[name] = missing
        # A sensor preset converts the samples itself; a file's own scale would apply twice.
        own_scale, own_offset = (1.0, 0.0) if formula.sensor else inputs.scaling(source)
        chosen_scale = own_scale if args.scale is None else args.scale
        chosen_offset = own_offset if args.offset is None else args.offset
        if chosen_scale != 1.0 or chosen_offset != 0.0:
            scale[name], offset[name] = chosen_scale, chosen_offset
    keywords: dict[str, Any] = {}
    for key, value in (("nodata", nodata), ("scale", scale), ("offset", offset)):
        if value:
            keywords[key] = value
    return keywords


def _outputs(pattern: str, labels: list[str], overwrite: bool) -> list[str]:
    if "{index}" in pattern:
        paths = [pattern.replace("{index}", label) for label in labels]
    else:
        paths = [pattern]
    for path in paths:
        if os.path.exists(path) and not overwrite:
            raise OutputError(f"{path} exists (--overwrite replaces it)")
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise OutputError(f"{path}: no such folder {folder}")
    return paths


def _profile(grid: Any, count: int, compress: str, cog: bool) -> dict[str, Any]:
    profile = {
        "driver": "GTiff", "width": grid.width, "height": grid.height, "count": count,
        "dtype": "float32", "nodata": float("nan"), "crs": grid.crs,
        "transform": grid.transform, "tiled": True, "blockxsize": OUTPUT_BLOCK,
        "blockysize": OUTPUT_BLOCK, "BIGTIFF": "IF_SAFER",
        "NUM_THREADS": _compression_threads(),
    }
    if cog:
        # An intermediate file, copied into the cloud-optimised layout at the end.
        profile.update(compress="zstd", zstd_level=1, predictor=_PREDICTOR_FLOAT)
    elif compress != "none":
        profile.update(compress=compress, predictor=_PREDICTOR_FLOAT)
        if compress == "deflate":
            profile.update(zlevel=_DEFLATE_LEVEL)
    return profile


def _compression_threads() -> int:
    """GDAL's threads for compressing the output: every processor but the one the engine and
    the reading thread need. Each such thread holds a few tiles' buffers (about 5 MiB at 512 x
    512 float32), so on two processors the writing thread compresses alone."""
    available = (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                 else os.cpu_count() or 1)
    return max(1, available - 1)


def _to_cog(partial: str, path: str, compress: str) -> None:
    from rasterio.shutil import copy  # type: ignore[import-untyped, unused-ignore]

    options = {"BLOCKSIZE": OUTPUT_BLOCK, "OVERVIEWS": "AUTO", "NUM_THREADS": "ALL_CPUS",
               "BIGTIFF": "IF_SAFER"}
    if compress != "none":
        options.update(COMPRESS=compress.upper(), PREDICTOR="FLOATING_POINT")
        if compress == "deflate":
            options.update(LEVEL=_DEFLATE_LEVEL)
    copy(partial, path, driver="COG", **options)


class _Writer:
    """The output files, written under temporary names beside their final ones and moved into
    place only once complete, so that a failed run never leaves a truncated raster behind."""

    def __init__(self, paths: list[str], jobs: list[Job], grid: Any, args: argparse.Namespace):
        import rasterio  # type: ignore[import-untyped, unused-ignore]

        self._stack = contextlib.ExitStack()
        self._args = args
        self.files: list[tuple[str, str, Any, list[int]]] = []
        per_file = [jobs] if len(paths) == 1 else [[job] for job in jobs]
        tags = grid.tags()
        try:
            for path, group in zip(paths, per_file):
                handle, partial = tempfile.mkstemp(
                    prefix=f".{os.path.basename(path)}.", suffix=".partial.tif",
                    dir=os.path.dirname(os.path.abspath(path)))
                os.close(handle)
                os.chmod(partial, 0o666 & ~_umask())  # mkstemp's 0600 would stay on the output
                self._stack.callback(_remove, partial)
                dataset = self._stack.enter_context(rasterio.open(
                    partial, "w", **_profile(grid, len(group), args.compress, args.cog)))
                for band, job in enumerate(group, 1):
                    dataset.set_band_description(band, job.label)
                    dataset.update_tags(band, formula=job.formula.text,
                                        long_name=_long_name(job.formula))
                if "AREA_OR_POINT" in tags:
                    dataset.update_tags(AREA_OR_POINT=tags["AREA_OR_POINT"])
                first = sum(len(g) for g in per_file[:len(self.files)])
                self.files.append((path, partial, dataset,
                                   list(range(first, first + len(group)))))
        except OSError as error:
            self._stack.close()
            raise OutputError(f"{paths[len(self.files)]}: {error}") from None
        except BaseException:
            self._stack.close()
            raise

    def write(self, window: Any, results: list[np.ndarray]) -> None:
        for path, _, dataset, which in self.files:
            try:
                if len(which) == 1:
                    dataset.write(results[which[0]], 1, window=window)
                else:
                    dataset.write(np.stack([results[k] for k in which]),
                                  indexes=list(range(1, len(which) + 1)), window=window)
            except MemoryError:
                raise
            except Exception as error:
                raise OutputError(f"{path}: {error}") from None

    def finish(self) -> None:
        """Closes the files and moves them into place."""
        for path, partial, dataset, _ in self.files:
            try:
                dataset.close()
                if self._args.cog:
                    _to_cog(partial, path, self._args.compress)
                else:
                    os.replace(partial, path)
            except Exception as error:
                raise OutputError(f"{path}: {error}") from None
        self._stack.close()

    def abandon(self) -> None:
        self._stack.close()


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def _long_name(formula: Formula) -> str:
    return formula.index.long_name if formula.index is not None else formula.text


def _reader(inputs: Inputs, jobs: list[Job]) -> Any:
    """read(window) -> {(path, number): band window}, one read per file per window."""
    from rasterio.windows import Window  # type: ignore[import-untyped, unused-ignore]

    wanted: dict[str, list[int]] = {}
    for job in jobs:
        for source in job.sources:
            numbers = wanted.setdefault(source.path, [])
            if source.number not in numbers:
                numbers.append(source.number)

    def read(window: tuple[int, int, int, int]) -> dict[tuple[str, int], np.ndarray]:
        row, col, rows, cols = window
        data = {}
        for path, numbers in wanted.items():
            try:
                stack = inputs.datasets[path].read(numbers, window=Window(col, row, cols, rows))
            except MemoryError:
                raise
            except Exception as error:
                raise InputError(f"{path}: {error}") from None
            for number, plane in zip(numbers, stack):
                data[(path, number)] = plane
        return data

    return read


def _computer(jobs: list[Job]) -> Any:
    def compute(data: dict[tuple[str, int], np.ndarray]) -> list[np.ndarray]:
        results = []
        for job in jobs:
            bands = {name: data[(source.path, source.number)]
                     for name, source in zip(job.formula.bands, job.sources)}
            try:
                results.append(job.formula.evaluate(bands, **job.keywords))
            except (TypeError, ValueError) as error:
                raise InputError(f"{job.label}: {error}") from None
        return results

    return compute


def _configure_gdal() -> None:
    """Process-wide, unless the user set them: the reading and writing threads would not see
    options set in a rasterio.Env of this thread, and GDAL sizes its cache once, on first use."""
    os.environ.setdefault("GDAL_CACHEMAX", str(_GDAL_CACHE_MB))
    os.environ.setdefault("GDAL_NUM_THREADS", "ALL_CPUS")


def _roles_of(formula: Formula, name: str) -> tuple[str, ...]:
    """The roles a sensor's band plays, which also find it (a band described "nir", or given as
    --band nir=...)."""
    band = formula.sensor.bands.get(name) if formula.sensor is not None else None
    return band.roles if band is not None else ()


def calc(args: argparse.Namespace) -> None:
    if args.sensor is not None and (args.scale is not None or args.offset is not None):
        raise UsageError("--scale and --offset replace the conversion that --sensor gives; "
                         "use one or the other")
    from rasterio.windows import Window  # type: ignore[import-untyped, unused-ignore]

    if args.sensor is not None:
        try:
            get_sensor(args.sensor)
        except ValueError as error:
            raise FormulaProblem(str(error)) from None
    items = parse_items(args.indices)
    formulas = [(label, compile_item(label, text, args.sensor)) for label, text in items]
    _configure_gdal()
    with Inputs(args.inputs, args.band) as inputs:
        jobs = []
        for label, formula in formulas:
            sources = [inputs.find(name, label, _roles_of(formula, name))
                       for name in formula.bands]
            if not sources:
                raise UsageError(f"{label} reads no band: nothing to compute it over")
            jobs.append(Job(label, formula, sources,
                            _band_keywords(inputs, formula, sources, args)))
        grid = inputs.grid_of([source for job in jobs for source in job.sources])
        paths = _outputs(args.output, [job.label for job in jobs], args.overwrite)
        first = jobs[0].sources[0]
        block = inputs.datasets[first.path].block_shapes[first.number - 1]
        windows = plan_windows(grid.height, grid.width, block)
        writer = _Writer(paths, jobs, grid, args)
        progress = Progress(len(windows), f"rastrel: {', '.join(j.label for j in jobs)}",
                            enabled=not args.quiet)
        try:
            run_pipeline(windows, _reader(inputs, jobs), _computer(jobs),
                         lambda w, r: writer.write(Window(w[1], w[0], w[3], w[2]), r),
                         progress)
            writer.finish()
        except BaseException:
            writer.abandon()
            raise
        finally:
            progress.close()
