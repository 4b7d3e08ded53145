"""Sensor presets: a product's own band names, the role each band plays in the catalogue's
formulas, and how its stored samples become physical values (value = sample x scale + offset,
reflectance for the optical bands, kelvin for surface temperature), with the fill value that
marks pixels without data.

    >>> ndvi = rt.compile("NDVI", sensor="sentinel2-l2a")     # reads B08 and B04
    >>> ndvi.evaluate(scene)                                   # scene: {"B04": ..., "B08": ...}

Sentinel-2 products of processing baseline 04.00 and later (all processed since 25 January
2022, and the reprocessed archive) store reflectance as (DN - 1000) / 10000; earlier ones as
DN / 10000: choose the preset by the baseline (`PROCESSING_BASELINE` in the product's metadata).
Landsat Level-1 presets give top-of-atmosphere reflectance without the sun-elevation
correction (divide by the sine of the sun elevation for the corrected value): ratios and
normalized differences are unaffected, indices with additive terms are not. Level-1 thermal
bands are not mapped, since their conversion to temperature is not linear.
"""
from __future__ import annotations

import difflib
from collections.abc import Collection, Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Optional, Union

from ._parser import FUNCTIONS, FormulaError, tokenize
from .indices import ROLES


# A keyword of Formula.evaluate: a number for every band, or values by band name.
PerBand = Union[float, Mapping[str, Optional[float]], None]


@dataclass(frozen=True)
class SensorBand:
    name: str  # the product's own name, such as "B04" or "SR_B4"
    roles: tuple[str, ...]  # the catalogue's roles this band plays
    scale: float
    offset: float
    nodata: Optional[float]  # the raw sample value that marks missing data


@dataclass(frozen=True)
class Sensor:
    name: str
    description: str
    bands: Mapping[str, SensorBand]  # by the product's band name

    def __reduce__(self) -> tuple[Any, ...]:
        return (_sensor, (self.name, self.description, dict(self.bands)))

    @property
    def roles(self) -> Mapping[str, str]:
        """The product's band name for each role it has."""
        return MappingProxyType({role: band.name for band in self.bands.values()
                                 for role in band.roles})

    def band_for(self, role: str) -> str:
        """The product's band that plays `role`; ValueError if the product has none."""
        try:
            return self.roles[role]
        except KeyError:
            raise ValueError(f"{self.name} has no {role} band") from None

    def roles_of(self, names: Iterable[str]) -> set[str]:
        """The roles played by the bands called `names` (product names or roles)."""
        roles = self.roles
        found: set[str] = set()
        for name in names:
            if name in self.bands:
                found.update(self.bands[name].roles)
            elif name in roles:
                found.add(name)
        return found

    def keywords(self, names: Iterable[str]) -> dict[str, dict[str, float]]:
        """The per-band `scale`, `offset` and `nodata` keywords of `Formula.evaluate` for the
        product's bands called `names`."""
        bands = [self.bands[name] for name in names]
        return {
            "scale": {band.name: band.scale for band in bands},
            "offset": {band.name: band.offset for band in bands},
            "nodata": {band.name: band.nodata for band in bands if band.nodata is not None},
        }

    def defaults(self, names: Sequence[str], nodata: PerBand, scale: PerBand,
                 offset: PerBand) -> tuple[PerBand, PerBand, PerBand]:
        """`Formula.evaluate`'s nodata, scale and offset for the product's bands called `names`:
        each keyword left out is the product's, a mapping overrides the product's band by band
        (None there: no nodata, or no conversion), a number is for every band."""
        own = self.keywords(name for name in names if name in self.bands)
        given = {"nodata": nodata, "scale": scale, "offset": offset}
        merged: dict[str, PerBand] = {}
        for key, value in given.items():
            if value is None:
                merged[key] = own[key]
            elif isinstance(value, Mapping):
                merged[key] = {**own[key], **value}
            else:
                merged[key] = value
        return merged["nodata"], merged["scale"], merged["offset"]

    def to_product_names(self, text: str, constants: Collection[str] = ()) -> str:
        """`text` with each role replaced by the product's band name; any other name must be
        one of the product's bands or of `constants`."""
        roles = self.roles
        pieces = []
        done = 0
        for token in tokenize(text):
            name = token.text
            if token.kind != "name" or name in FUNCTIONS or name in constants:
                continue
            if name in self.bands:
                continue
            if name not in roles:
                raise FormulaError(self._unknown(name), text, token.start, len(name))
            pieces += [text[done:token.start], roles[name]]
            done = token.end
        return "".join(pieces) + text[done:]

    def _unknown(self, name: str) -> str:
        if name in ROLES:
            return f"{self.name} has no {name} band"
        known = [*self.bands, *self.roles]
        close = difflib.get_close_matches(name, known, n=1)
        hint = f"did you mean {close[0]!r}?" if close else f"bands: {', '.join(self.bands)}"
        return f"{name!r} is not a band of {self.name}; {hint}"


def _bands(scale: float, offset: float, layout: str) -> Mapping[str, SensorBand]:
    """Bands from "NAME:role,role NAME:role ...", all with one scale, offset and nodata 0."""
    bands = {}
    for item in layout.split():
        name, roles = item.split(":")
        bands[name] = SensorBand(name, tuple(roles.split(",")), scale, offset, 0)
    return bands


_S2_L2A = ("B01:coastal B02:blue B03:green B04:red B05:rededge1 B06:rededge2 B07:rededge3 "
           "B08:nir B8A:nir08 B09:watervapour B11:swir1 B12:swir2")
_S2_L1C = _S2_L2A + " B10:cirrus"
_LANDSAT_L2 = ("SR_B1:coastal SR_B2:blue SR_B3:green SR_B4:red SR_B5:nir,nir08 SR_B6:swir1 "
               "SR_B7:swir2")
_LANDSAT_L1 = "B1:coastal B2:blue B3:green B4:red B5:nir,nir08 B6:swir1 B7:swir2 B9:cirrus"


def _sensor(name: str, description: str, *bands: Mapping[str, SensorBand]) -> Sensor:
    merged: dict[str, SensorBand] = {}
    for group in bands:
        merged.update(group)
    return Sensor(name, description, MappingProxyType(merged))


_PRESETS = (
    _sensor("sentinel2-l2a", "Sentinel-2 Level-2A surface reflectance, processing baseline "
            "04.00 and later: (DN - 1000) / 10000", _bands(0.0001, -0.1, _S2_L2A)),
    _sensor("sentinel2-l2a-pre04", "Sentinel-2 Level-2A surface reflectance, processing "
            "baselines before 04.00: DN / 10000", _bands(0.0001, 0.0, _S2_L2A)),
    _sensor("sentinel2-l1c", "Sentinel-2 Level-1C top-of-atmosphere reflectance, processing "
            "baseline 04.00 and later: (DN - 1000) / 10000", _bands(0.0001, -0.1, _S2_L1C)),
    _sensor("sentinel2-l1c-pre04", "Sentinel-2 Level-1C top-of-atmosphere reflectance, "
            "processing baselines before 04.00: DN / 10000", _bands(0.0001, 0.0, _S2_L1C)),
    _sensor("landsat89-c2-l2", "Landsat 8 and 9 Collection 2 Level-2: surface reflectance "
            "DN x 0.0000275 - 0.2, surface temperature DN x 0.00341802 + 149 (kelvin)",
            _bands(0.0000275, -0.2, _LANDSAT_L2),
            {"ST_B10": SensorBand("ST_B10", ("thermal1",), 0.00341802, 149.0, 0)}),
    _sensor("landsat89-c2-l1", "Landsat 8 and 9 Collection 2 Level-1: top-of-atmosphere "
            "reflectance DN x 0.00002 - 0.1, without the sun-elevation correction",
            _bands(0.00002, -0.1, _LANDSAT_L1)),
)

def token(sensor: Sensor) -> tuple[Any, ...]:
    """What identifies a sensor's conversions, for dask's tokens."""
    return (sensor.name, tuple((band.name, band.roles, band.scale, band.offset, band.nodata)
                               for band in sensor.bands.values()))


SENSORS: Mapping[str, Sensor] = MappingProxyType({preset.name: preset for preset in _PRESETS})


def get_sensor(sensor: Union[str, Sensor]) -> Sensor:
    """The preset called `sensor` (in any letter case), or `sensor` itself if it is one."""
    if isinstance(sensor, Sensor):
        return sensor
    if not isinstance(sensor, str):
        raise TypeError(f"sensor must be a preset's name or a Sensor, got "
                        f"{type(sensor).__name__}")
    found = SENSORS.get(sensor.strip().lower())
    if found is None:
        close = difflib.get_close_matches(sensor.lower(), SENSORS, n=1)
        hint = f"did you mean {close[0]!r}?" if close else f"presets: {', '.join(SENSORS)}"
        raise ValueError(f"unknown sensor {sensor!r}; {hint}")
    return found


__all__ = ["SENSORS", "Sensor", "SensorBand", "get_sensor"]
