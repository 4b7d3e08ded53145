"""A catalogue of spectral indices, as formulas over band roles.

Band roles (`ROLES`): coastal, blue, green, red, rededge1-3 (~705, ~740, ~783 nm), nir (broad
near infrared, ~0.84 um), nir08 (narrow near infrared, ~0.865 um), watervapour, cirrus, swir1
(~1.6 um), swir2 (~2.2 um), thermal1-2 (thermal infrared, in kelvin).

Samples are taken to be reflectance x `scale` (10000 for Sentinel-2 and most products stored as
uint16 without an offset). Normalized differences and ratios do not depend on the scale; the
indices whose published form has a constant in reflectance units or an absolute reflectance
(SAVI, EVI, DVI, MCARI, AWEI, ...) carry it as the constant `scale`, so that they give the
published values on scaled samples. With a sensor preset the bands are converted to reflectance
on the way in, and `scale` is 1.
"""
from __future__ import annotations

import difflib
from collections.abc import Collection, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Optional, Union

from . import _catalogue
from ._parser import FUNCTIONS, FormulaError, NameResolver, parse

if TYPE_CHECKING:
    from .sensors import Sensor

SCALE = 10000.0

ROLES: Mapping[str, str] = MappingProxyType({
    "coastal": "coastal aerosol, ~0.44 um",
    "blue": "blue, ~0.49 um",
    "green": "green, ~0.56 um",
    "red": "red, ~0.665 um",
    "rededge1": "red edge, ~0.705 um",
    "rededge2": "red edge, ~0.74 um",
    "rededge3": "red edge, ~0.783 um",
    "nir": "near infrared, broad, ~0.84 um",
    "nir08": "near infrared, narrow, ~0.865 um",
    "watervapour": "water vapour, ~0.945 um",
    "cirrus": "cirrus, ~1.375 um",
    "swir1": "shortwave infrared, ~1.6 um",
    "swir2": "shortwave infrared, ~2.2 um",
    "thermal1": "thermal infrared, ~10.9 um, in kelvin",
    "thermal2": "thermal infrared, ~12 um, in kelvin",
})


@dataclass(frozen=True)
class SpectralIndex:
    name: str
    long_name: str
    formula: str
    bands: tuple[str, ...]  # the roles the formula reads, in band-number order
    domain: str  # vegetation, chlorophyll, water, snow, burn, urban or soil
    reference: str  # authors (year), journal or proceedings, volume(issue), pages
    constants: Mapping[str, float] = field(default_factory=lambda: MappingProxyType({}))


def _make(entry: _catalogue.Entry) -> SpectralIndex:
    resolver = NameResolver(entry.formula, None, entry.constants)
    parse(entry.formula, resolver)
    unknown = [band for band in resolver.bands if band not in ROLES]
    if unknown:
        raise AssertionError(f"{entry.name} reads {unknown[0]!r}, which is not a role")
    return SpectralIndex(entry.name, entry.long_name, entry.formula, tuple(resolver.bands),
                         entry.domain, entry.reference, MappingProxyType(dict(entry.constants)))


class Catalogue(Mapping[str, SpectralIndex]):
    """Spectral indices by name: a read-only mapping, which also selects the indices that a
    scene's bands allow."""

    __slots__ = ("_entries",)

    def __init__(self, entries: Iterable[SpectralIndex]) -> None:
        self._entries = {entry.name: entry for entry in entries}

    def __getitem__(self, name: str) -> SpectralIndex:
        return self._entries[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def __repr__(self) -> str:
        return f"<Catalogue of {len(self)} indices: {', '.join(self._entries)}>"

    def available(self, bands: Iterable[str], *,
                  sensor: Union[str, Sensor, None] = None) -> Catalogue:
        """The indices whose every band is among `bands`: role names, or with `sensor` the
        product's own band names (roles too). A mapping, such as a scene, gives its keys."""
        if isinstance(bands, str):
            raise TypeError("bands must be a collection of names, not a str")
        have = set(bands)
        if sensor is not None:
            from .sensors import get_sensor

            have = get_sensor(sensor).roles_of(have)
        return Catalogue(entry for entry in self.values() if set(entry.bands) <= have)

    def domain(self, name: str) -> Catalogue:
        """The indices of one domain: vegetation, chlorophyll, water, snow, burn, urban or
        soil."""
        found = Catalogue(entry for entry in self.values() if entry.domain == name)
        if not found:
            domains = sorted({entry.domain for entry in self.values()})
            raise ValueError(f"no index of domain {name!r} (domains: {', '.join(domains)})")
        return found


INDICES = Catalogue(_make(entry) for entry in _catalogue.ENTRIES)
_BY_FOLDED_NAME = {name.casefold(): entry for name, entry in INDICES.items()}


def lookup(name: str) -> Optional[SpectralIndex]:
    """The catalogue entry called `name`, in any letter case, or None."""
    return _BY_FOLDED_NAME.get(name.strip().casefold())


def _edits(a: str, b: str) -> int:
    """The cost of the cheapest edits that turn `a` into `b`: 2 for each insertion, deletion or
    substitution, 1 for a swap of neighbours, the commonest typo (NVDI for NDVI)."""
    rows = [list(range(0, 2 * len(b) + 1, 2))]
    for i in range(1, len(a) + 1):
        row = [2 * i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            row[j] = min(rows[-1][j] + 2, row[j - 1] + 2,
                         rows[-1][j - 1] + 2 * (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                row[j] = min(row[j], rows[-2][j - 2] + 1)
        rows.append(row)
    return rows[-1][-1]


def _nearest(name: str, candidates: Iterable[str]) -> list[str]:
    """The candidates the fewest edits away from `name` regardless of letter case (one edit per
    three letters at most), ties broken by difflib's likeness; several only if still tied."""
    folded = name.casefold()
    matcher = difflib.SequenceMatcher(b=folded)
    scored = []
    for candidate in candidates:
        matcher.set_seq1(candidate.casefold())
        scored.append((_edits(folded, candidate.casefold()), -matcher.ratio(), candidate))
    if not scored:
        return []
    best = min(scored)[:2]
    if best[0] > 2 * max(1, len(name) // 3):
        return []
    return [candidate for *score, candidate in scored if tuple(score) == best][:3]


def _one_of(names: list[str]) -> str:
    quoted = [repr(name) for name in names]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} or {quoted[-1]}"


def check_bare_name(text: str, bands: Collection[str], constants: Collection[str]) -> None:
    """Refuses a formula that is one name, neither an index nor a band (`bands`: the declared
    bands, the sensor's, and the roles). Such a formula would read one band of that name;
    nobody means that by "NVDI", and the mistake would show only later, as a missing band."""
    name = text.strip()
    if (not name.isidentifier() or name in bands or name in ROLES or name in constants
            or name in FUNCTIONS or lookup(name) is not None):
        return
    close = _nearest(name, [*INDICES, *ROLES, *bands])
    if close:
        reason = f"unknown index {name!r}; did you mean {_one_of(close)}?"
    else:
        reason = (f"unknown index {name!r}; to read a band of that name on its own, "
                  f"declare it: bands=[{name!r}]")
    raise FormulaError(reason, text, text.index(name), len(name), located=False)


__all__ = ["INDICES", "ROLES", "SCALE", "Catalogue", "SpectralIndex", "check_bare_name",
           "lookup"]
