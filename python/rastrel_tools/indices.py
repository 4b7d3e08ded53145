"""A catalogue of common spectral indices, as formulas over band roles.

Band roles: blue, green, red, nir (near infrared, ~0.85 um), swir1 (shortwave infrared,
~1.6 um) and swir2 (~2.2 um).

Samples are taken to be reflectance x `scale` (10000 for Sentinel-2 Level-2A, Landsat Collection
1 and most products stored as uint16). Normalized differences and ratios do not depend on the
scale; indices with an additive term in reflectance units (SAVI, MSAVI, EVI, EVI2) carry it as
the constant `scale`, so that they give the published values on scaled samples. Products with an
additive offset (such as Landsat Collection 2) need their own formula.
"""
from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Optional

SCALE = 10000.0


@dataclass(frozen=True)
class SpectralIndex:
    name: str
    long_name: str
    formula: str
    bands: tuple[str, ...]  # the roles the formula reads, in band-number order
    domain: str
    reference: str
    constants: Mapping[str, float] = field(default_factory=lambda: MappingProxyType({}))


def _index(name: str, long_name: str, formula: str, bands: str, domain: str, reference: str,
           **constants: float) -> SpectralIndex:
    return SpectralIndex(name, long_name, formula, tuple(bands.split()), domain, reference,
                         MappingProxyType(constants))


def _normalized(name: str, long_name: str, a: str, b: str, domain: str,
                reference: str) -> SpectralIndex:
    return _index(name, long_name, f"({a} - {b}) / ({a} + {b})", f"{a} {b}", domain, reference)


_CATALOGUE = (
    _normalized("NDVI", "Normalized Difference Vegetation Index", "nir", "red", "vegetation",
                "Rouse et al. (1974)"),
    _normalized("GNDVI", "Green Normalized Difference Vegetation Index", "nir", "green",
                "vegetation", "Gitelson, Kaufman & Merzlyak (1996)"),
    _index("SAVI", "Soil-Adjusted Vegetation Index",
           "(1 + L) * ((nir - red) / (nir + red + L * scale))", "nir red", "vegetation",
           "Huete (1988)", L=0.5, scale=SCALE),
    _index("MSAVI", "Modified Soil-Adjusted Vegetation Index",
           "(2 * nir + scale - sqrt((2 * nir + scale) ** 2 - 8 * scale * (nir - red)))"
           " / (2 * scale)",
           "nir red", "vegetation", "Qi et al. (1994)", scale=SCALE),
    _index("EVI", "Enhanced Vegetation Index",
           "G * ((nir - red) / (nir + C1 * red - C2 * blue + L * scale))", "nir red blue",
           "vegetation", "Huete et al. (2002)", G=2.5, C1=6.0, C2=7.5, L=1.0, scale=SCALE),
    _index("EVI2", "Two-band Enhanced Vegetation Index",
           "G * ((nir - red) / (nir + C * red + L * scale))", "nir red", "vegetation",
           "Jiang et al. (2008)", G=2.5, C=2.4, L=1.0, scale=SCALE),
    _normalized("NDWI", "Normalized Difference Water Index", "green", "nir", "water",
                "McFeeters (1996)"),
    _normalized("MNDWI", "Modified Normalized Difference Water Index", "green", "swir1",
                "water", "Xu (2006)"),
    _normalized("NDMI", "Normalized Difference Moisture Index", "nir", "swir1", "water",
                "Gao (1996); Wilson & Sader (2002)"),
    _normalized("NDBI", "Normalized Difference Built-up Index", "swir1", "nir", "urban",
                "Zha, Gao & Ni (2003)"),
    _index("BSI", "Bare Soil Index",
           "((swir1 + red) - (nir + blue)) / ((swir1 + red) + (nir + blue))",
           "swir1 red nir blue", "soil", "Rikimaru, Roy & Miyatake (2002)"),
    _normalized("NBR", "Normalized Burn Ratio", "nir", "swir2", "burn",
                "Key & Benson (2006)"),
    _normalized("NBR2", "Normalized Burn Ratio 2", "swir1", "swir2", "burn",
                "Lutes et al. (2006)"),
    _normalized("NDSI", "Normalized Difference Snow Index", "green", "swir1", "snow",
                "Hall, Riggs & Salomonson (1995)"),
    _index("SR", "Simple Ratio", "nir / red", "nir red", "vegetation", "Jordan (1969)"),
)

INDICES: Mapping[str, SpectralIndex] = MappingProxyType({i.name: i for i in _CATALOGUE})
_BY_FOLDED_NAME = {name.casefold(): entry for name, entry in INDICES.items()}


def lookup(name: str) -> Optional[SpectralIndex]:
    """The catalogue entry called `name`, in any letter case, or None."""
    return _BY_FOLDED_NAME.get(name.strip().casefold())


__all__ = ["INDICES", "SCALE", "SpectralIndex", "lookup"]
