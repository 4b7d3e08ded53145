"""Where each band comes from: the input files, their band descriptions and --band options."""
from __future__ import annotations

import contextlib
import os
import re
from dataclasses import dataclass
from typing import Any, Optional

from .errors import InputError, UsageError


@dataclass(frozen=True)
class BandSource:
    path: str
    number: int  # 1-based, as GDAL counts
    label: str  # how the band is known: its description, or how it was named on the command line


def _open(stack: contextlib.ExitStack, opened: dict[str, Any], path: str) -> Any:
    import rasterio  # type: ignore[import-untyped, unused-ignore]
    from rasterio.errors import RasterioIOError  # type: ignore[import-untyped, unused-ignore]

    if path not in opened:
        if not os.path.exists(path):
            raise InputError(f"{path}: no such file")
        try:
            opened[path] = stack.enter_context(rasterio.open(path))
        except RasterioIOError as error:
            raise InputError(f"{path}: cannot be read as a raster ({error})") from None
    return opened[path]


def _names_in(path: str, dataset: Any) -> dict[str, BandSource]:
    """The names a file gives its bands: the band descriptions, or for a single-band file
    without one, the parts of the file's name (T33UUP_20240704_B04_10m.tif gives B04)."""
    names: dict[str, BandSource] = {}
    for number, description in enumerate(dataset.descriptions, 1):
        if description:
            names.setdefault(description.strip().casefold(),
                             BandSource(path, number, description.strip()))
    if dataset.count == 1 and not names:
        stem = os.path.basename(path).split(".")[0]
        for part in re.split(r"[_\-\s]+", stem):
            if part:
                names.setdefault(part.casefold(), BandSource(path, 1, part))
    return names


class Inputs:
    """The opened inputs and the bands they offer by name. Closes the files on exit."""

    def __init__(self, paths: list[str], band_options: list[str]) -> None:
        self._stack = contextlib.ExitStack()
        self.datasets: dict[str, Any] = {}
        self._named: dict[str, BandSource] = {}
        self._paths = list(paths)
        try:
            for path in paths:
                for key, source in _names_in(path, self._open(path)).items():
                    self._named.setdefault(key, source)
            for option in band_options:
                role, source = self._band_option(option)
                self._named[role.casefold()] = source
        except BaseException:
            self._stack.close()
            raise
        if not paths and not band_options:
            raise UsageError("no input: give a raster file, or the bands with --band ROLE=FILE")

    def __enter__(self) -> Inputs:
        return self

    def __exit__(self, *exc: object) -> None:
        self._stack.close()

    def _open(self, path: str) -> Any:
        return _open(self._stack, self.datasets, path)

    def _band_option(self, option: str) -> tuple[str, BandSource]:
        role, equals, where = option.partition("=")
        role, where = role.strip(), where.strip()
        if not equals or not role.isidentifier() or not where:
            raise UsageError(f"--band {option!r}: expected ROLE=NUMBER or ROLE=FILE[:NUMBER]")
        if where.isdigit():
            if len(self._paths) != 1:
                raise UsageError(f"--band {option}: a band number needs exactly one input "
                                 f"file, got {len(self._paths)}; give ROLE=FILE:NUMBER")
            path, number = self._paths[0], int(where)
        else:
            path, number = where, 1
            match = re.fullmatch(r"(.+):(\d+)", where)
            if match and not os.path.exists(where):
                path, number = match.group(1), int(match.group(2))
        dataset = self._open(path)
        if not 1 <= number <= dataset.count:
            raise InputError(f"--band {option}: {path} has bands 1 to {dataset.count}")
        return role, BandSource(path, number, f"{role}={where}")

    def offered(self) -> set[str]:
        """Every band name on offer, as written and case-folded."""
        names = set(self._named)
        for key, source in self._named.items():
            if not source.label.startswith(f"{key}=") and source.label.casefold() == key:
                names.add(source.label)
        return names

    def find(self, name: str, wanted_by: str, aliases: tuple[str, ...] = ()) -> BandSource:
        """The band called `name` (in any letter case), or else one called by an alias (the
        roles a sensor's band plays)."""
        for key in (name, *aliases):
            source = self._named.get(key.casefold())
            if source is not None:
                return source
        if source is None:
            have = ", ".join(sorted({s.label for s in self._named.values()})) or "none named"
            raise InputError(f"{wanted_by} reads band {name!r}, which the input does not name "
                             f"(its bands: {have}); give it with --band {name}=NUMBER or "
                             f"{name}=FILE")
        return source

    def grid_of(self, sources: list[BandSource]) -> Any:
        """The dataset whose grid the output takes, after checking that every band is on it."""
        first = self.datasets[sources[0].path]
        for source in sources[1:]:
            other = self.datasets[source.path]
            if (other.height, other.width) != (first.height, first.width):
                raise InputError(f"{source.path} is {other.width} x {other.height} pixels, but "
                                 f"{sources[0].path} is {first.width} x {first.height}")
            if other.transform != first.transform or other.crs != first.crs:
                raise InputError(f"{source.path} and {sources[0].path} are not on the same "
                                 "grid (CRS or transform differ)")
        return first

    def nodata(self, source: BandSource, option: Optional[str]) -> Optional[float]:
        """The raw value marking missing samples of a band: --nodata, or the band's own."""
        if option is not None:
            if option.strip().lower() == "none":
                return None
            try:
                return float(option)
            except ValueError:
                raise UsageError(f"--nodata {option!r}: expected a number or 'none'") from None
        value = self.datasets[source.path].nodatavals[source.number - 1]
        return None if value is None else float(value)

    def scaling(self, source: BandSource) -> tuple[float, float]:
        """The scale and offset the file itself records for a band (1 and 0 when none)."""
        dataset = self.datasets[source.path]
        return (float(dataset.scales[source.number - 1]),
                float(dataset.offsets[source.number - 1]))
