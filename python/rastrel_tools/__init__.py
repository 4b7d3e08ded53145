"""Companion tools for rastrel: formulas as text, a catalogue of spectral indices, sensor presets,
and blockwise evaluation over dask arrays (in `rastrel_tools.dask`, which needs dask).

    >>> import rastrel_tools as rt
    >>> ndvi = rt.compile("NDVI")                      # from the catalogue: bands nir, red
    >>> ndvi.evaluate(nir=nir, red=red)                # float32, NDVI per pixel
    >>> f = rt.compile("(nir - swir1) / (nir + swir1) * 100")
    >>> f(nir, swir1)                                  # positional, in f.bands order
    >>> rt.compile("EVI", sensor="sentinel2-l2a").evaluate(scene)   # scene: {"B02": ..., ...}
"""
from ._parser import FormulaError
from .formula import STACK_SLOTS, Formula, compile, to_instructions
from .indices import INDICES, ROLES, SCALE, Catalogue, SpectralIndex
from .sensors import SENSORS, Sensor, SensorBand

__all__ = [
    "Catalogue",
    "FormulaError",
    "Formula",
    "INDICES",
    "ROLES",
    "SCALE",
    "SENSORS",
    "STACK_SLOTS",
    "Sensor",
    "SensorBand",
    "SpectralIndex",
    "compile",
    "to_instructions",
]
