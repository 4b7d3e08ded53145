# Type stubs for the native module rastrel.
#
# Bands are 2-D uint16 arrays and outputs 2-D float32 arrays, of any strides; the float
# parameters take anything with __float__ or __index__, rounded to float32.
from collections.abc import Mapping, Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "calculate_normalized_difference_inplace",
    "calculate_ratio_inplace",
    "calculate_adjusted_difference_inplace",
    "calculate_evi_inplace",
    "calculate_normalized_difference",
    "compile_expr",
    "execute_expr_inplace",
    "CompiledExpr",
]

_Band = NDArray[np.uint16]
_Output = NDArray[np.float32]
_Float = Union[SupportsFloat, SupportsIndex]

@final
class CompiledExpr:
    """A validated program for execute_expr_inplace; made only by compile_expr."""

def calculate_normalized_difference_inplace(
    band_a: _Band, band_b: _Band, out_buffer: _Output
) -> None: ...
def calculate_ratio_inplace(band_a: _Band, band_b: _Band, out_buffer: _Output) -> None: ...
def calculate_adjusted_difference_inplace(
    band_a: _Band, band_b: _Band, l: _Float, out_buffer: _Output
) -> None: ...
def calculate_evi_inplace(
    nir: _Band,
    red: _Band,
    blue: _Band,
    g: _Float,
    c1: _Float,
    c2: _Float,
    l: _Float,
    out_buffer: _Output,
) -> None: ...
def calculate_normalized_difference(band_a: _Band, band_b: _Band) -> _Output: ...
def compile_expr(
    instructions: Sequence[Mapping[str, object]], num_bands: SupportsIndex
) -> CompiledExpr: ...
def execute_expr_inplace(
    expr: CompiledExpr, bands: Sequence[_Band], out_buffer: _Output
) -> None: ...

# Private: the band reader behind rastrel_tools (bands of any supported type, per-band
# (scale, offset, nodata or None), boolean masks, the fill of invalid pixels).
def _execute_bands_inplace(
    expr: CompiledExpr,
    bands: Sequence[NDArray[Any]],
    reads: Sequence[tuple[_Float, _Float, Union[_Float, None]]],
    masks: Sequence[NDArray[np.bool_]],
    fill: _Float,
    out_buffer: _Output,
) -> None: ...
