"""The `rastrel` command: spectral indices of GeoTIFFs from the shell.

    rastrel calc NDVI scene.tif -o ndvi.tif
    rastrel calc NDVI,NDWI,EVI scene.tif --sensor sentinel2-l2a -o '{index}.tif'
    rastrel indices scene.tif

Errors are one line on standard error; the exit status says what failed (see EXIT_STATUSES).
"""
from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Optional

from .errors import EXIT_STATUSES, CommandError, MissingPackage, OutOfMemory, UsageError

_EPILOG = "exit statuses:\n" + "\n".join(f"  {code:>3}  {what}"
                                         for code, what in EXIT_STATUSES.items())


class _Parser(argparse.ArgumentParser):
    """argparse, with its usage errors raised so that they leave through the one error path."""

    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="rastrel", description=__doc__.splitlines()[0], epilog=_EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    raw = argparse.RawDescriptionHelpFormatter

    calc = commands.add_parser(
        "calc", help="compute indices of a raster, block by block",
        description="Computes spectral indices (or formulas) per pixel, block by block along\n"
                    "the input's tiling, into a float32 GeoTIFF with the input's CRS and\n"
                    "transform; invalid pixels are NaN.", epilog=_EPILOG, formatter_class=raw)
    calc.add_argument("indices", metavar="INDICES",
                      help="index names, comma-separated (NDVI,NDWI,EVI), or NAME=FORMULA "
                           "items such as 'wet=(green - swir1) / (green + swir1)'")
    calc.add_argument("inputs", metavar="INPUT", nargs="*",
                      help="raster files: one multi-band file whose band descriptions name the "
                           "bands (nir, red, or the product's names with --sensor), or one "
                           "file per band")
    calc.add_argument("-o", "--output", required=True,
                      help="output GeoTIFF, one band per index; with '{index}' in it, one file "
                           "per index")
    _band_options(calc)
    calc.add_argument("--nodata", metavar="VALUE",
                      help="the raw sample value that marks a missing pixel in every input band, "
                           "or 'none' (default: each band's own nodata)")
    calc.add_argument("--scale", type=float, help="multiply every sample by this")
    calc.add_argument("--offset", type=float, help="then add this (reflectance = DN x scale + "
                                                   "offset)")
    calc.add_argument("--cog", action="store_true",
                      help="write a cloud-optimised GeoTIFF (tiled, compressed, overviews)")
    calc.add_argument("--compress", default="deflate",
                      choices=("deflate", "zstd", "lzw", "none"),
                      help="compression of the output (default: deflate)")
    calc.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    calc.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    listing = commands.add_parser(
        "indices", help="list the index catalogue",
        description="Lists the catalogue's indices; given rasters (or --band), only those\n"
                    "their bands allow.", epilog=_EPILOG, formatter_class=raw)
    listing.add_argument("inputs", metavar="INPUT", nargs="*", help="raster files, as for calc")
    _band_options(listing)
    return parser


def _band_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("-b", "--band", action="append", default=[], metavar="ROLE=SOURCE",
                         help="where a band comes from: a band number of the input (nir=8), "
                              "or a file (nir=B08.tif, or B08.tif:1 for a band of it); "
                              "repeatable")
    from ..sensors import SENSORS

    command.add_argument("--sensor", help="product preset giving the product's band names, "
                                          "scale, offset and nodata: "
                                          f"{', '.join(SENSORS)}")


def _run(args: argparse.Namespace) -> int:
    if args.version:
        from importlib.metadata import PackageNotFoundError, version

        try:
            print(f"rastrel {version('rastrel')}")
        except PackageNotFoundError:
            print("rastrel (not installed)")
        return 0
    if args.command is None:
        raise UsageError("a command is required: calc or indices (try rastrel --help)")
    try:
        import rasterio  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        raise MissingPackage("rasterio", f"rastrel {args.command}") from None
    if args.command == "calc":
        from .calc import calc

        calc(args)
    else:
        from .listing import list_indices

        list_indices(args)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line and returns its exit status."""
    try:
        return _run(_parser().parse_args(argv))
    except CommandError as error:
        print(f"rastrel: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("rastrel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 0
    except MemoryError:
        print("rastrel: error: out of memory", file=sys.stderr)
        return OutOfMemory.status
    except Exception as error:  # a fault of rastrel itself: still one line, but say so
        print(f"rastrel: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


__all__ = ["EXIT_STATUSES", "main"]
