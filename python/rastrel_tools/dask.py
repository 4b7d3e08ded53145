"""Blockwise evaluation over dask arrays, for rasters and stacks larger than memory.

Every pixel is computed from the samples at the same position only, so blocks need no overlap:
each output block is computed from the matching input blocks, on whichever worker holds them.

    >>> import rastrel_tools.dask as rtd
    >>> ndvi = rtd.evaluate("NDVI", nir=nir, red=red)     # nir, red: uint16 dask arrays
    >>> ndvi.to_zarr(...) / ndvi.mean().compute() / ...

Inputs given as NumPy arrays become single-chunk dask arrays; the result has the chunks of the
first band, and other bands chunked differently are rechunked to match.
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional, Union, cast

import dask.array as da
import numpy as np
from numpy.typing import ArrayLike

from . import _xarray
from .formula import Formula, compile

_FLOAT32 = np.dtype(np.float32)


def _evaluate_block(formula: Formula, *blocks: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    return formula(*blocks)


def evaluate(formula: Union[Formula, str], bands: Optional[Mapping[str, Any]] = None, /,
             **named: Any) -> da.Array:
    """The lazy float32 result of `formula` (a Formula, a formula's text or an index name)
    over the bands given by name. Extra names are ignored. xarray bands (or a Dataset of them)
    give a dask-backed DataArray on the bands' grid."""
    if not isinstance(formula, Formula):
        formula = compile(formula)
    if _xarray.involved(bands, named):
        return cast(da.Array, _xarray.evaluate(formula, bands, named, {}, lazy=True))
    given = dict(bands or {})
    given.update(named)
    missing = [name for name in formula.bands if name not in given]
    if missing:
        raise TypeError(f"missing band {missing[0]!r} (the formula reads "
                        f"{', '.join(formula.bands)})")
    return apply(formula, *(given[name] for name in formula.bands))


def apply(formula: Formula, *bands: Union[da.Array, ArrayLike]) -> da.Array:
    """Like `evaluate`, with the bands given by position in the order of `formula.bands`."""
    if not formula.bands:
        raise ValueError("a formula that reads no band has no shape to evaluate over")
    if len(bands) != len(formula.bands):
        raise TypeError(f"expected {len(formula.bands)} bands ({', '.join(formula.bands)}), "
                        f"got {len(bands)}")
    arrays = [da.asarray(band) for band in bands]
    shape = arrays[0].shape
    for name, array in zip(formula.bands, arrays):
        if array.dtype != np.uint16:
            raise TypeError(f"band {name!r} must hold uint16 samples, got {array.dtype}")
        if array.shape != shape:
            raise ValueError(f"band {name!r} has shape {array.shape}, but band "
                             f"{formula.bands[0]!r} has {shape}")
    if len(shape) < 2:
        raise ValueError(f"bands must be 2-D (rows, cols) or stacks of 2-D rasters, "
                         f"got {len(shape)} dimensions")
    # Blocks are matched by position, so every band takes the first one's chunks.
    arrays = [array.rechunk(arrays[0].chunks) for array in arrays]
    meta = np.empty((0,) * len(shape), dtype=_FLOAT32)
    label = formula.index.name.lower() if formula.index is not None else "formula"
    result: da.Array = da.map_blocks(_evaluate_block, formula, *arrays, dtype=_FLOAT32,
                                     meta=meta, token=f"rastrel-{label}")
    return result


# The fixed kernels by their own names. Each is the formula the kernel computes, so it runs on
# the kernel itself (Formula.kernel says so).


def normalized_difference(band_a: Any, band_b: Any) -> da.Array:
    """(a - b) / (a + b) per pixel."""
    return apply(compile("(a - b) / (a + b)"), band_a, band_b)


def ratio(band_a: Any, band_b: Any) -> da.Array:
    """a / b per pixel."""
    return apply(compile("a / b"), band_a, band_b)


def adjusted_difference(band_a: Any, band_b: Any, l: float) -> da.Array:
    """(1 + l) * (a - b) / (a + b + l) per pixel."""
    formula = compile("(1 + l) * ((a - b) / (a + b + l))", constants={"l": l})
    return apply(formula, band_a, band_b)


def evi(nir: Any, red: Any, blue: Any, g: float, c1: float, c2: float, l: float) -> da.Array:
    """g * (nir - red) / (nir + c1 * red - c2 * blue + l) per pixel."""
    formula = compile("g * ((nir - red) / (nir + c1 * red - c2 * blue + l))",
                      constants={"g": g, "c1": c1, "c2": c2, "l": l})
    return apply(formula, nir, red, blue)


__all__ = ["adjusted_difference", "apply", "evaluate", "evi", "normalized_difference", "ratio"]
