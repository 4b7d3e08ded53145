"""Formulas as text: compile once, evaluate over named bands into float32.

    >>> ndvi = compile("(nir - red) / (nir + red)")
    >>> ndvi.evaluate(nir=nir, red=red)          # or ndvi(nir, red), in ndvi.bands order
    >>> ndvi.evaluate(nir=nir, red=red, nodata=0, scale=0.0001, offset=-0.1)

Arithmetic is the engine's: every band sample becomes float32 as NumPy's astype(float32) makes
it, then float32(sample) * scale + offset where a band has a scale or offset (two roundings);
every literal is float32, each operation is rounded to float32 in the written order, and `/` is
the guarded division a / (b + 1e-10), so that 0 / 0 is 0 rather than NaN. A pixel where a band's
raw sample equals its nodata value, or that a mask (or a masked array's mask) marks, gets `fill`.
"""
from __future__ import annotations

import difflib
from collections.abc import Iterable, Mapping, Sequence
from types import MappingProxyType
from typing import Any, NamedTuple, Optional, Union, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

import rastrel

from . import _kernels, _xarray
from ._parser import Band, Binary, FormulaError, NameResolver, Node, Number
from ._parser import check_band_names, parse
from .indices import INDICES, SpectralIndex, check_bare_name, lookup
from . import sensors
from .sensors import Sensor, get_sensor

# The engine evaluates each pixel on a stack of this many float32 slots.
STACK_SLOTS = 16

Instruction = dict[str, Union[str, int, float]]
_BINARY_STEPS = ("add", "sub", "mul", "div", "pow")
Plane = NDArray[Any]
# A value for every band, or values by band name (names the formula does not read are ignored).
PerBand = Union[float, Mapping[str, Optional[float]], None]

# The sample types the engine reads, as stored; bool bands are read as their bytes (0 and 1).
_READABLE = frozenset(np.dtype(t) for t in (np.uint8, np.int8, np.uint16, np.int16, np.uint32,
                                            np.int32, np.float32, np.float64))
_READABLE_NAMES = "bool, uint8, int8, uint16, int16, uint32, int32, float32 and float64"
# Catalogue constants in reflectance units (the samples' scale): 1 where bands carry a scale
# and offset, since their values are then reflectance.
_REFLECTANCE_CONSTANTS = ("scale",)


def _postfix(root: Node) -> tuple[list[Instruction], list[Node]]:
    """The engine's instructions for `root`, operands before their operation, and beside each
    instruction the node it came from. Iterative, so that long chains such as a+b+c+... of any
    length do not exhaust Python's recursion limit."""
    instructions: list[Instruction] = []
    origins: list[Node] = []
    pending: list[tuple[Node, bool]] = [(root, False)]
    while pending:
        node, operands_done = pending.pop()
        if isinstance(node, Number):
            instructions.append({"type": "push_scalar", "value": node.value})
        elif isinstance(node, Band):
            instructions.append({"type": "push_band", "index": node.number})
        elif operands_done:
            instructions.append({"type": node.op})
        else:
            pending.append((node, True))
            if isinstance(node, Binary):
                pending.append((node.right, False))
                pending.append((node.left, False))
            else:
                pending.append((node.operand, False))
        if isinstance(node, (Number, Band)) or operands_done:
            origins.append(node)
    return instructions, origins


def _check_depth(text: str, instructions: list[Instruction], origins: list[Node]) -> None:
    depth = 0
    for step, node in zip(instructions, origins):
        if step["type"] in ("push_band", "push_scalar"):
            depth += 1
            if depth > STACK_SLOTS:
                raise FormulaError(
                    f"the formula needs more than {STACK_SLOTS} intermediate values at once; "
                    "compute this part earlier or regroup",
                    text, node.start, node.end - node.start,
                )
        elif step["type"] in _BINARY_STEPS:
            depth -= 1


def _check_constants(constants: Mapping[str, float]) -> dict[str, float]:
    checked = {}
    for name, value in constants.items():
        if not isinstance(name, str) or not name.isidentifier():
            raise ValueError(f"constant names must be identifiers, got {name!r}")
        checked[name] = float(value)
    return checked


def to_instructions(formula: str, bands: Optional[Sequence[str]] = None,
                    constants: Optional[Mapping[str, float]] = None) -> list[Instruction]:
    """The instruction list of `rastrel.compile_expr` for `formula`, with band numbers given by
    the order of `bands` (by default, the order in which names first appear)."""
    return _Compiled.build(formula, bands, constants or {}).instructions


class _Compiled:
    """What compiling a formula's text yields, before any engine object is made."""

    def __init__(self, root: Node, bands: tuple[str, ...], instructions: list[Instruction]):
        self.root = root
        self.bands = bands
        self.instructions = instructions

    @classmethod
    def build(cls, text: str, bands: Optional[Sequence[str]],
              constants: Mapping[str, float]) -> _Compiled:
        if not isinstance(text, str):
            raise TypeError(f"a formula is a str, got {type(text).__name__}")
        if bands is not None:
            if isinstance(bands, str):
                raise TypeError("bands must be a sequence of names, not a str")
            check_band_names(bands)
        resolver = NameResolver(text, bands, _check_constants(constants))
        root = parse(text, resolver)
        instructions, origins = _postfix(root)
        _check_depth(text, instructions, origins)
        return cls(root, tuple(resolver.bands), instructions)


class Formula:
    """A compiled formula: the engine's program and the names of the bands it reads, in the
    engine's order. Made by `compile`; immutable; safe to share between threads; pickles by its
    text, so it travels to dask workers."""

    __slots__ = ("_text", "_bands", "_constants", "_index", "_sensor", "_instructions", "_expr",
                 "_kernel", "_units", "_reflectance", "_reads_by_keywords")

    def __init__(self, text: str, bands: Optional[Sequence[str]] = None,
                 constants: Optional[Mapping[str, float]] = None,
                 index: Optional[SpectralIndex] = None, sensor: Optional[Sensor] = None, *,
                 reflectance_units: Sequence[str] = ()) -> None:
        compiled = _Compiled.build(text, bands, constants or {})
        self._text = text
        self._bands = compiled.bands
        self._constants = MappingProxyType(dict(constants or {}))
        self._index = index
        self._sensor = sensor
        self._instructions = compiled.instructions
        self._expr = rastrel.compile_expr(compiled.instructions, len(compiled.bands))
        self._kernel = _kernels.recognize(compiled.root)
        # Constants left at a catalogue default in reflectance units, and the formula with them
        # at 1 (made when first needed).
        self._units = tuple(reflectance_units)
        self._reflectance: Optional[Formula] = None
        self._reads_by_keywords: dict[tuple[Any, ...], _KeywordReads] = {}

    @property
    def text(self) -> str:
        return self._text

    @property
    def bands(self) -> tuple[str, ...]:
        """The band names, in the order of the engine's band numbers."""
        return self._bands

    @property
    def constants(self) -> Mapping[str, float]:
        return self._constants

    @property
    def index(self) -> Optional[SpectralIndex]:
        """The catalogue entry this formula was compiled from, if any."""
        return self._index

    @property
    def sensor(self) -> Optional[Sensor]:
        """The sensor preset whose band names the formula reads and whose scale, offset and
        nodata apply to the samples, if any."""
        return self._sensor

    @property
    def instructions(self) -> list[Instruction]:
        """A copy of the program given to `rastrel.compile_expr`."""
        return [dict(step) for step in self._instructions]

    @property
    def expr(self) -> rastrel.CompiledExpr:
        return self._expr

    @property
    def kernel(self) -> Optional[str]:
        """The fixed rastrel kernel that computes this formula bit for bit and is used instead
        of the engine ("normalized_difference", "ratio", "adjusted_difference", "evi"), or
        None."""
        return self._kernel.name if self._kernel is not None else None

    @property
    def __name__(self) -> str:
        """The index's name, or "formula": what `xarray.apply_ufunc` and dask name tasks by."""
        return self._index.name if self._index is not None else "formula"

    def __repr__(self) -> str:
        if self._index is not None:
            return f"<Formula {self._index.name}: {self._text!r}, bands={self._bands!r}>"
        return f"<Formula {self._text!r}, bands={self._bands!r}>"

    def __reduce__(self) -> tuple[Any, ...]:
        index = self._index.name if self._index is not None else None
        return (_restore, (self._text, self._bands, dict(self._constants), index, self._sensor,
                           self._units))

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        sensor = sensors.token(self._sensor) if self._sensor is not None else None
        return (type(self).__name__, self._text, self._bands, sorted(self._constants.items()),
                sensor)

    def evaluate(self, bands: Optional[Mapping[str, ArrayLike]] = None, /, *,
                 out: Optional[NDArray[np.float32]] = None, nodata: PerBand = None,
                 mask: Optional[ArrayLike] = None, fill: Optional[float] = None,
                 scale: PerBand = None, offset: PerBand = None,
                 **named: ArrayLike) -> NDArray[np.float32]:
        """Evaluates the formula for every pixel of the bands given by name, in a mapping and/or
        as keywords (extra names are ignored; a band called like a keyword of this method must
        come in the mapping). Bands are arrays of one shape, 2-D or stacks of 2-D rasters
        (..., rows, cols), of any type in `bool, uint8, int8, uint16, int16, uint32, int32,
        float32, float64`; the result is float32 of that shape, written into `out` if given.

        `scale` and `offset` (a number for every band, or a mapping by band name) make each
        value float32(sample) * scale + offset. A pixel where a band's raw sample equals its
        `nodata` (NaN for NaN samples), that `mask` marks True, or that a masked array band
        masks, gets `fill` (NaN unless given)."""
        _check_extra_keywords(self._bands, named)
        if _xarray.involved(bands, named):
            keywords = {"out": out, "nodata": nodata, "mask": mask, "fill": fill, "scale": scale,
                        "offset": offset}
            return cast(NDArray[np.float32],
                        _xarray.evaluate(self, bands, named, keywords, lazy=False))
        given = dict(bands or {})
        given.update(named)
        missing = [name for name in self._bands if name not in given]
        if missing:
            raise TypeError(f"missing band {missing[0]!r} (the formula reads "
                            f"{', '.join(self._bands)})")
        return self(*(given[name] for name in self._bands), out=out, nodata=nodata, mask=mask,
                    fill=fill, scale=scale, offset=offset)

    def __call__(self, *bands: ArrayLike, out: Optional[NDArray[np.float32]] = None,
                 nodata: PerBand = None, mask: Optional[ArrayLike] = None,
                 fill: Optional[float] = None, scale: PerBand = None,
                 offset: PerBand = None) -> NDArray[np.float32]:
        """Evaluates the formula over bands given by position, in the order of `self.bands`;
        the keywords are those of `evaluate`."""
        if len(bands) != len(self._bands):
            raise TypeError(f"expected {len(self._bands)} bands ({', '.join(self._bands)}), "
                            f"got {len(bands)}")
        if mask is None and self._sensor is None:
            done = self._call_planes(bands, out, nodata, fill, scale, offset)
            if done is not None:
                return done
        if any(_xarray.is_xarray(band) for band in bands):
            keywords = {"out": out, "nodata": nodata, "mask": mask, "fill": fill, "scale": scale,
                        "offset": offset}
            return cast(NDArray[np.float32], _xarray.evaluate(
                self, None, dict(zip(self._bands, bands)), keywords, lazy=False))
        arrays: list[Plane] = []
        masks: list[NDArray[np.bool_]] = []
        for name, value in zip(self._bands, bands):
            array, band_mask = _as_band(name, value)
            arrays.append(array)
            if band_mask is not None:
                masks.append(band_mask)
        shape = _common_shape(self._bands, arrays, out)
        if mask is not None:
            masks.append(_as_mask(mask, shape))
        masks = [np.broadcast_to(m, shape) for m in masks]
        if self._sensor is not None:
            nodata, scale, offset = self._sensor.defaults(self._bands, nodata, scale, offset)
        reads = _reads(self._bands, nodata, scale, offset)
        if out is None:
            out = np.empty(shape, dtype=np.float32)
        else:
            _check_out(out, shape, arrays, self._bands, masks)
        plain = not masks and all(read == _PLAIN for read in reads) and all(
            array.dtype == np.uint16 for array in arrays)
        if plain:
            for at in np.ndindex(*shape[:-2]):
                planes = [array[at] for array in arrays]
                if self._kernel is not None:
                    _kernels.run(self._kernel, planes, out[at])
                else:
                    rastrel.execute_expr_inplace(self._expr, planes, out[at])
        else:
            scaled = any(r[:2] != _PLAIN[:2] for r in reads)
            expr = self._for_reflectance().expr if scaled else self._expr
            value = float(np.float32(np.nan if fill is None else fill))
            for at in np.ndindex(*shape[:-2]):
                rastrel._execute_bands_inplace(expr, [array[at] for array in arrays], reads,
                                               [m[at] for m in masks], value, out[at])
        return out

    def _call_planes(self, bands: tuple[Any, ...], out: Optional[NDArray[np.float32]],
                     nodata: PerBand, fill: Any, scale: PerBand,
                     offset: PerBand) -> Optional[NDArray[np.float32]]:
        """The call as __call__ makes it, for the common case only: 2-D NumPy arrays of one shape
        that the engine reads as they lie, and a number or None for each keyword. None, having
        done nothing, for any other call, which the general path then checks and makes. With
        the caches full of the previous call's pixels, the general path's checks took 45 to 65
        microseconds at 1024 x 1024 (a sixth of a float32 call on two processors); these few."""
        shape = None
        uint16 = True
        for band in bands:
            if type(band) is not np.ndarray or band.ndim != 2 or band.dtype not in _READABLE:
                return None
            if shape is None:
                shape = band.shape
            elif band.shape != shape:
                return None
            uint16 = uint16 and band.dtype == _UINT16
        if shape is None or not (fill is None or type(fill) in _NUMBERS):
            return None
        found = self._keyword_reads(nodata, scale, offset)
        if found is None:
            return None
        if out is None:
            out = np.empty(shape, dtype=np.float32)
        elif (type(out) is not np.ndarray or out.dtype != _FLOAT32 or out.shape != shape
              or not out.flags.writeable or any(np.may_share_memory(out, band) for band in bands)):
            return None
        planes = list(bands)
        if found.plain and uint16:
            if self._kernel is not None:
                _kernels.run(self._kernel, planes, out)
            else:
                rastrel.execute_expr_inplace(self._expr, planes, out)
        else:
            expr = self._for_reflectance().expr if found.scaled else self._expr
            value = _NAN if fill is None else float(np.float32(fill))
            rastrel._execute_bands_inplace(expr, planes, found.reads, [], value, out)
        return out

    def _keyword_reads(self, nodata: PerBand, scale: PerBand,
                       offset: PerBand) -> Optional[_KeywordReads]:
        """The reads of keywords that are each a number or None, kept for the next calls with
        the same ones; None for keywords of any other kind."""
        key = (nodata, scale, offset)
        for value in key:
            if value is not None and type(value) not in _NUMBERS:
                return None
        found = self._reads_by_keywords.get(key)
        if found is not None:
            return found
        reads = _reads(self._bands, nodata, scale, offset)
        found = _KeywordReads(reads, all(read == _PLAIN for read in reads),
                              any(r[:2] != _PLAIN[:2] for r in reads))
        # NaN keys never match again: a few calls' worth, then no more.
        if len(self._reads_by_keywords) < 16:
            self._reads_by_keywords[key] = found
        return found

    def _for_reflectance(self) -> Formula:
        """This formula with its reflectance-unit constants at 1, for bands that carry scale and
        offset; itself when it has none."""
        if not self._units:
            return self
        if self._reflectance is None:
            constants = {**self._constants, **{name: 1.0 for name in self._units}}
            self._reflectance = Formula(self._text, self._bands, constants, self._index,
                                        self._sensor)
        return self._reflectance


# (scale, offset, nodata) of a band read as it is.
_PLAIN: tuple[float, float, Optional[float]] = (1.0, 0.0, None)
_UINT16 = np.dtype(np.uint16)
_FLOAT32 = np.dtype(np.float32)
_NAN = float(np.float32(np.nan))
# Keyword values that the common call takes as they are.
_NUMBERS = frozenset((int, float, np.float32, np.float64))


class _KeywordReads(NamedTuple):
    """What a call's nodata, scale and offset keywords make of its bands."""
    reads: list[tuple[float, float, Optional[float]]]
    plain: bool  # every band read as it is
    scaled: bool  # some band with a scale or offset


def _restore(text: str, bands: tuple[str, ...], constants: dict[str, float],
             index: Optional[str], sensor: Optional[Sensor] = None,
             units: tuple[str, ...] = ()) -> Formula:
    return Formula(text, bands, constants, INDICES[index] if index is not None else None,
                   sensor, reflectance_units=units)


def _per_band(names: Sequence[str], value: PerBand, default: Optional[float],
              keyword: str) -> list[Optional[float]]:
    if value is None:
        return [default] * len(names)
    if isinstance(value, Mapping):
        found = [value.get(name, default) for name in names]
        return [default if v is None else _number(v, keyword, name)
                for v, name in zip(found, names)]
    number = _number(value, keyword, None)
    return [number] * len(names)


def _number(value: Any, keyword: str, name: Optional[str]) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        where = f" for band {name!r}" if name is not None else ""
        raise TypeError(f"{keyword}{where} must be a number or None, got "
                        f"{type(value).__name__}") from None


def _reads(names: Sequence[str], nodata: PerBand, scale: PerBand,
           offset: PerBand) -> list[tuple[float, float, Optional[float]]]:
    """(scale, offset, nodata) per band; scale and offset as the float32 values they become."""
    scales = _per_band(names, scale, 1.0, "scale")
    offsets = _per_band(names, offset, 0.0, "offset")
    nodatas = _per_band(names, nodata, None, "nodata")
    return [(float(np.float32(s)), float(np.float32(o)), n)
            for s, o, n in zip(scales, offsets, nodatas)]


_EVALUATE_KEYWORDS = ("out", "nodata", "mask", "fill", "scale", "offset")


def _check_extra_keywords(used: Sequence[str], named: Mapping[str, Any]) -> None:
    """Extra bands are ignored so that a whole scene can be passed, but an extra keyword whose
    value is a number, a string or None cannot be a band: it is a misspelt option (`nodta=0`),
    which would otherwise be dropped without a word."""
    for name, value in named.items():
        if name in used or not (value is None or isinstance(value, (str, bytes, int, float, np.generic))):
            continue
        close = difflib.get_close_matches(name, _EVALUATE_KEYWORDS, n=1)
        hint = f"; did you mean {close[0]!r}?" if close else ""
        raise TypeError(f"evaluate() got an unexpected keyword argument {name!r} with value "
                        f"{value!r} (bands are arrays; the options are "
                        f"{', '.join(_EVALUATE_KEYWORDS)}){hint}")


def _as_band(name: str, value: ArrayLike) -> tuple[Plane, Optional[NDArray[np.bool_]]]:
    """The band's samples as the engine reads them, and its mask if it is a masked array."""
    if _xarray.is_dask(value):
        raise TypeError(f"band {name!r} is a dask array: use rastrel_tools.dask.evaluate, "
                        "which evaluates block by block")
    band_mask = None
    if isinstance(value, np.ma.MaskedArray):
        if np.ma.getmask(value) is not np.ma.nomask:
            band_mask = np.ma.getmaskarray(value)
        value = np.ma.getdata(value)
    array = np.asarray(value)
    readable_dtype(name, array.dtype)
    if array.dtype == np.bool_:
        array = array.view(np.uint8)
    elif not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if array.ndim < 2:
        raise ValueError(f"band {name!r} must be 2-D (rows, cols) or a stack of 2-D rasters, "
                         f"got {array.ndim} dimension{'s' if array.ndim != 1 else ''}")
    return array, band_mask


def readable_dtype(name: str, dtype: np.dtype[Any]) -> None:
    """Raises the TypeError for a band whose samples the engine cannot read."""
    if dtype != np.bool_ and dtype.newbyteorder("=") not in _READABLE:
        raise TypeError(f"band {name!r} has dtype {dtype}, which rastrel cannot read "
                        f"(it reads {_READABLE_NAMES})")


def _as_mask(mask: ArrayLike, shape: tuple[int, ...]) -> NDArray[np.bool_]:
    if hasattr(mask, "__dask_graph__"):
        raise TypeError("mask is a dask array: use rastrel_tools.dask.evaluate")
    array = np.ma.getdata(mask) if isinstance(mask, np.ma.MaskedArray) else np.asarray(mask)
    if array.dtype != np.bool_:
        raise TypeError(f"mask must hold bool values (True = invalid), got {array.dtype}")
    try:
        return np.broadcast_to(array, shape)
    except ValueError:
        raise ValueError(f"mask has shape {array.shape}, the bands have {shape}") from None


def _common_shape(names: Sequence[str], arrays: Sequence[Plane],
                  out: Optional[NDArray[np.float32]]) -> tuple[int, ...]:
    if not arrays:
        if out is None:
            raise ValueError("a formula that reads no band needs `out` to know the shape")
        return tuple(out.shape)
    shape = arrays[0].shape
    for name, array in zip(names[1:], arrays[1:]):
        if array.shape != shape:
            raise ValueError(f"band {name!r} has shape {array.shape}, but band {names[0]!r} "
                             f"has {shape}")
    return tuple(shape)


def _check_out(out: Any, shape: tuple[int, ...], arrays: Sequence[Plane],
               names: Sequence[str], masks: Sequence[NDArray[np.bool_]] = ()) -> None:
    if not isinstance(out, np.ndarray) or out.dtype != np.float32:
        kind = out.dtype if isinstance(out, np.ndarray) else type(out).__name__
        raise TypeError(f"out must be a float32 array, got {kind}")
    if out.shape != shape or out.ndim < 2:
        raise ValueError(f"out has shape {out.shape}, the bands have {shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    for name, array in zip(names, arrays):
        if np.may_share_memory(out, array):
            raise ValueError(f"out overlaps band {name!r}")
    if any(np.may_share_memory(out, m) for m in masks):
        raise ValueError("out overlaps the mask")


def compile(formula: str, bands: Optional[Iterable[str]] = None, *,
            constants: Optional[Mapping[str, float]] = None,
            sensor: Union[str, Sensor, None] = None) -> Formula:
    """Compiles a formula, or a spectral index of the catalogue by name ("NDVI", "evi", ...).

    `bands` fixes the band order (the engine's band numbers) and the names allowed; by default
    the order is that of first appearance in the formula, or the index's own. `constants` gives
    values to names in the formula; for an index it overrides the index's defaults.

    `sensor` (a preset's name, such as "sentinel2-l2a", or a `Sensor`) makes the formula read
    the product's own band names (roles in the text become them), with the product's per-band
    scale, offset and nodata as the defaults of `evaluate`'s keywords (a mapping given there
    overrides them band by band, a number for every band); indices then take their `scale`
    constant as 1, since the values are reflectance.

    A formula that is a single name is an index, or a band if the name is a role or a declared
    band (in `bands` or the sensor's); any other single name is a mistyped index, refused with
    the nearest names.
    """
    if isinstance(bands, str):
        raise TypeError("bands must be a sequence of names, not a str")
    preset = get_sensor(sensor) if sensor is not None else None
    band_list = None if bands is None else list(bands)
    if preset is not None and band_list is not None:
        band_list = [preset.roles.get(name, name) for name in band_list]
    entry = lookup(formula) if isinstance(formula, str) else None
    if entry is None:
        if isinstance(formula, str):
            declared = [*(band_list or ()), *(preset.bands if preset is not None else ())]
            check_bare_name(formula, declared, constants or {})
            if preset is not None:
                formula = preset.to_product_names(formula, constants or {})
        return Formula(formula, band_list, constants, sensor=preset)
    unknown = sorted(set(constants or {}) - set(entry.constants))
    if unknown:
        have = ", ".join(entry.constants) or "none"
        raise ValueError(f"{entry.name} has no constant {unknown[0]!r} (its constants: {have})")
    text, reads = entry.formula, list(entry.bands)
    values = {**entry.constants, **(constants or {})}
    if preset is not None:
        absent = [role for role in reads if role not in preset.roles]
        if absent:
            raise ValueError(f"{entry.name} reads band {absent[0]!r}, which {preset.name} lacks")
        text = preset.to_product_names(text, values)
        reads = [preset.roles[role] for role in reads]
        if "scale" in entry.constants and "scale" not in (constants or {}):
            values["scale"] = 1.0
    if band_list is not None:
        absent = [band for band in reads if band not in band_list]
        if absent:
            raise ValueError(f"{entry.name} reads band {absent[0]!r}, which `bands` lacks")
    units = [name for name in _REFLECTANCE_CONSTANTS
             if name in entry.constants and name not in (constants or {}) and preset is None]
    return Formula(text, band_list if band_list is not None else reads, values, entry, preset,
                   reflectance_units=units)


__all__ = ["Formula", "FormulaError", "STACK_SLOTS", "compile", "to_instructions"]
