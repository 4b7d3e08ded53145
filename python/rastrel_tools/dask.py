"""Blockwise evaluation over dask arrays, for rasters and stacks larger than memory.

Every pixel is computed from the samples at the same position only, so blocks need no overlap:
each output block is computed from the matching input blocks, on whichever worker holds them.

    >>> import rastrel_tools.dask as rtd
    >>> ndvi = rtd.evaluate("NDVI", nir=nir, red=red)     # nir, red: uint16 dask arrays
    >>> ndvi.to_zarr(...) / ndvi.mean().compute() / ...

Inputs given as NumPy arrays become single-chunk dask arrays; the result has the chunks of the
first band, and other bands (and the mask) chunked differently are rechunked to match. Bands of
every type `Formula` reads, `nodata`, `mask`, `fill`, `scale` and `offset` work as they do there,
block by block; blocks that are masked arrays count their masks.
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional, Union, cast

import dask.array as da
import numpy as np
from numpy.typing import ArrayLike

from . import _xarray
from .formula import Formula, PerBand, compile, readable_dtype

_FLOAT32 = np.dtype(np.float32)


def _evaluate_block(formula: Formula, options: dict[str, Any], nbands: int,
                    *blocks: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    mask = blocks[nbands] if len(blocks) > nbands else None
    try:
        return formula(*blocks[:nbands], mask=mask, **options)
    except BaseException as error:
        # The module's fault class derives from BaseException, which dask's schedulers and
        # workers do not expect of a task: on a cluster, compute() would never return. It goes
        # on as an ordinary error with the same message.
        cls = type(error)
        if (cls.__module__, cls.__name__) == ("pyo3_runtime", "PanicException"):
            raise RuntimeError(str(error)) from error
        raise


def evaluate(formula: Union[Formula, str], bands: Optional[Mapping[str, Any]] = None, /, *,
             nodata: PerBand = None, mask: Any = None, fill: Optional[float] = None,
             scale: PerBand = None, offset: PerBand = None, **named: Any) -> da.Array:
    """The lazy float32 result of `formula` (a Formula, a formula's text or an index name)
    over the bands given by name. Extra names are ignored; the keywords are those of
    `Formula.evaluate`, and `mask` may be a dask array. xarray bands (or a Dataset of them) give
    a dask-backed DataArray on the bands' grid."""
    if not isinstance(formula, Formula):
        formula = compile(formula)
    if _xarray.involved(bands, named):
        keywords = {"nodata": nodata, "mask": mask, "fill": fill, "scale": scale, "offset": offset}
        return cast(da.Array, _xarray.evaluate(formula, bands, named, keywords, lazy=True))
    given = dict(bands or {})
    given.update(named)
    missing = [name for name in formula.bands if name not in given]
    if missing:
        raise TypeError(f"missing band {missing[0]!r} (the formula reads "
                        f"{', '.join(formula.bands)})")
    return apply(formula, *(given[name] for name in formula.bands), nodata=nodata, mask=mask,
                 fill=fill, scale=scale, offset=offset)


def apply(formula: Formula, *bands: Union[da.Array, ArrayLike], nodata: PerBand = None,
          mask: Any = None, fill: Optional[float] = None, scale: PerBand = None,
          offset: PerBand = None) -> da.Array:
    """Like `evaluate`, with the bands given by position in the order of `formula.bands`."""
    if not formula.bands:
        raise ValueError("a formula that reads no band has no shape to evaluate over")
    if len(bands) != len(formula.bands):
        raise TypeError(f"expected {len(formula.bands)} bands ({', '.join(formula.bands)}), "
                        f"got {len(bands)}")
    arrays = [da.asarray(band) for band in bands]
    shape = arrays[0].shape
    for name, array in zip(formula.bands, arrays):
        readable_dtype(name, array.dtype)
        if array.shape != shape:
            raise ValueError(f"band {name!r} has shape {array.shape}, but band "
                             f"{formula.bands[0]!r} has {shape}")
    if len(shape) < 2:
        raise ValueError(f"bands must be 2-D (rows, cols) or stacks of 2-D rasters, "
                         f"got {len(shape)} dimensions")
    if mask is not None:
        mask = da.asarray(mask)
        if mask.dtype != np.bool_:
            raise TypeError(f"mask must hold bool values (True = invalid), got {mask.dtype}")
        try:
            arrays.append(da.broadcast_to(mask, shape))
        except ValueError:
            raise ValueError(f"mask has shape {mask.shape}, the bands have {shape}") from None
    # Blocks are matched by position, so every band takes the first one's chunks.
    arrays = [array.rechunk(arrays[0].chunks) for array in arrays]
    options = {"nodata": nodata, "fill": fill, "scale": scale, "offset": offset}
    meta = np.empty((0,) * len(shape), dtype=_FLOAT32)
    label = formula.index.name.lower() if formula.index is not None else "formula"
    result: da.Array = da.map_blocks(_evaluate_block, formula, options, len(formula.bands),
                                     *arrays, dtype=_FLOAT32, meta=meta, token=f"rastrel-{label}")
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
