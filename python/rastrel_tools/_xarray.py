"""xarray in and out: bands given as `DataArray`s (NumPy- or dask-backed) or as the variables of
a `Dataset` come back as a `DataArray` with the bands' dims, coords and spatial reference.

xarray is never imported here unless the caller already has: an object can only be a DataArray
if xarray is loaded, so `sys.modules` answers the question for free.
"""
from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from typing import Any, Optional

import numpy as np

# What a GeoTIFF reader puts on the data variable to place it on the map; the CRS itself lives
# in the `spatial_ref` coordinate (rioxarray) or in `crs`/`transform` (older readers).
_SPATIAL_ATTRS = ("AREA_OR_POINT", "crs", "transform", "res", "grid_mapping")
_SCALING_KEYWORDS = ("nodata", "scale", "offset")


def _xarray() -> Any:
    return sys.modules.get("xarray")


def is_xarray(value: Any) -> bool:
    xr = _xarray()
    return xr is not None and isinstance(value, (xr.DataArray, xr.Dataset))


def is_dask(value: Any) -> bool:
    """Whether `value` is a lazy dask collection. Every DataArray has `__dask_graph__`, which
    gives None unless a dask array backs it."""
    graph = getattr(value, "__dask_graph__", None)
    return callable(graph) and graph() is not None


def involved(bands: Any, named: Mapping[str, Any]) -> bool:
    """Whether any band (or the mapping of bands itself) is an xarray object."""
    if _xarray() is None:
        return False
    if is_xarray(bands) or any(is_xarray(value) for value in named.values()):
        return True
    return isinstance(bands, Mapping) and any(is_xarray(value) for value in bands.values())


def _split_band_dim(array: Any) -> dict[str, Any]:
    """A DataArray with a `band` dimension (as a GeoTIFF reader returns a multi-band file) as one
    DataArray per band, named by the band coordinate if it holds names, else by the file's band
    descriptions (the `long_name` attribute)."""
    if "band" not in array.dims:
        raise TypeError("a DataArray given as the bands needs a 'band' dimension; give single "
                        "bands by name instead (nir=..., red=...)")
    labels = array["band"].values if "band" in array.coords else None
    if labels is not None and labels.dtype.kind in "OUS":
        names = [str(label) for label in labels]
    else:
        described = array.attrs.get("long_name")
        if not isinstance(described, (tuple, list)) or len(described) != array.sizes["band"]:
            raise TypeError("the bands of this DataArray have no names: give them as a "
                            "coordinate 'band' of names or as band descriptions ('long_name')")
        names = [str(name) for name in described]
    attrs = {key: value for key, value in array.attrs.items() if key != "long_name"}
    split = {}
    for position, name in enumerate(names):
        band = array.isel(band=position, drop=True)
        band.attrs = dict(attrs)
        split[name] = band
    return split


def _band_mapping(bands: Any) -> dict[str, Any]:
    xr = _xarray()
    if bands is None:
        return {}
    if isinstance(bands, xr.Dataset):
        return {str(name): bands[name] for name in bands.data_vars}
    if isinstance(bands, xr.DataArray):
        return _split_band_dim(bands)
    return dict(bands)


def _nodata_of(array: Any) -> Optional[float]:
    """The value that marks a sample invalid, from the attributes a reader leaves: NaN for a
    float band that a masked read decoded, the `_FillValue` or `nodata` of a raw band."""
    for key in ("_FillValue", "nodata"):
        value = array.attrs.get(key)
        if value is not None and np.ndim(value) == 0:
            return float(value)
    if array.dtype.kind == "f" and "_FillValue" in array.encoding:
        return math.nan
    return None


def _scaling_of(array: Any) -> tuple[Optional[float], Optional[float]]:
    """CF scale and offset left as attributes (samples not yet scaled by the reader)."""
    scale, offset = array.attrs.get("scale_factor"), array.attrs.get("add_offset")
    scale = None if scale is None or float(scale) == 1.0 else float(scale)
    offset = None if offset is None or float(offset) == 0.0 else float(offset)
    return scale, offset


def _merge(derived: dict[str, float], given: Any) -> Any:
    """The caller's value wins: one number for every band, or a mapping over the derived one."""
    if given is None:
        return derived or None
    if isinstance(given, Mapping):
        return {**derived, **given}
    return given


def _shared_coords(template: Any, others: list[Any]) -> dict[str, Any]:
    """The template's coordinates that no other band contradicts: a scalar `band` number left by
    selecting each band from one file differs from band to band and is dropped."""
    kept = {}
    for name, coord in template.coords.items():
        if name in template.dims or all(
                name in other.coords and other.coords[name].variable.equals(coord.variable)
                for other in others):
            kept[name] = coord
    return kept


def _aligned(names: list[str], arrays: list[Any]) -> list[Any]:
    xr = _xarray()
    template = next(a for a in arrays if isinstance(a, xr.DataArray))
    converted = []
    for name, array in zip(names, arrays):
        if not isinstance(array, xr.DataArray):
            if np.shape(array) != template.shape:
                raise ValueError(f"band {name!r} has shape {np.shape(array)}, but the "
                                 f"DataArray bands have {template.shape}")
            array = xr.DataArray(array, dims=template.dims, coords=template.coords)
        elif set(array.dims) != set(template.dims):
            raise ValueError(f"band {name!r} has dims {array.dims}, but band "
                             f"{names[arrays.index(template)]!r} has {template.dims}")
        converted.append(array.transpose(*template.dims))
    try:
        return list(xr.align(*converted, join="exact"))
    except ValueError as error:
        raise ValueError(f"the bands {', '.join(names)} are not on the same grid: {error}") \
            from None


def _wrap(result: Any, template: Any, others: list[Any], formula: Any, fill: float) -> Any:
    xr = _xarray()
    attrs = {key: template.attrs[key] for key in _SPATIAL_ATTRS if key in template.attrs}
    index = formula.index
    attrs["long_name"] = index.long_name if index is not None else formula.text
    attrs["formula"] = formula.text
    wrapped = xr.DataArray(result, dims=template.dims, coords=_shared_coords(template, others),
                           attrs=attrs)
    # Set afterwards: given None, xarray would take the dask array's task name.
    wrapped.name = index.name if index is not None else None
    if "grid_mapping" in template.encoding:
        wrapped.encoding["grid_mapping"] = template.encoding["grid_mapping"]
    wrapped.encoding["_FillValue"] = fill
    return wrapped


def evaluate(formula: Any, bands: Any, named: Mapping[str, Any], keywords: dict[str, Any],
             lazy: bool) -> Any:
    """`formula` over xarray bands: the DataArray of its result, computed now or, where any band
    is dask-backed or `lazy` is set, as a dask-backed DataArray."""
    given = _band_mapping(bands)
    given.update(named)
    read = [name for name in formula.bands if name in given]
    if len(read) < len(formula.bands) or not read:
        missing = [name for name in formula.bands if name not in given]
        if missing:
            raise TypeError(f"missing band {missing[0]!r} (the formula reads "
                            f"{', '.join(formula.bands)})")
        raise ValueError("a formula that reads no band has no grid to evaluate over")
    arrays = _aligned(read, [given[name] for name in read])
    derived: dict[str, dict[str, float]] = {key: {} for key in _SCALING_KEYWORDS}
    for name, array in zip(read, arrays):
        nodata = _nodata_of(array)
        scale, offset = _scaling_of(array)
        for key, value in (("nodata", nodata), ("scale", scale), ("offset", offset)):
            if value is not None:
                derived[key][name] = value
    for key in _SCALING_KEYWORDS:
        merged = _merge(derived[key], keywords.get(key))
        if merged is not None:
            keywords[key] = merged
    if is_xarray(keywords.get("mask")):
        keywords["mask"] = keywords["mask"].transpose(*arrays[0].dims).data
    data = {name: array.data for name, array in zip(read, arrays)}
    if lazy or any(is_dask(value) for value in data.values()):
        if keywords.get("out") is not None:
            raise TypeError("out= cannot take the result of dask-backed bands; compute it, or "
                            "store the DataArray")
        keywords.pop("out", None)
        from . import dask as rtd

        result = rtd.evaluate(formula, data, **keywords)
    else:
        result = formula.evaluate(data, **keywords)
    fill = keywords.get("fill")
    return _wrap(result, arrays[0], arrays[1:], formula,
                 math.nan if fill is None else float(fill))
