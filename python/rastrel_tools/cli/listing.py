"""`rastrel indices`: the catalogue, or the part of it that given rasters allow."""
from __future__ import annotations

import argparse

from ..indices import INDICES
from .bands import Inputs
from .errors import FormulaProblem


def list_indices(args: argparse.Namespace) -> None:
    catalogue = INDICES
    if args.inputs or args.band:
        with Inputs(args.inputs, args.band) as inputs:
            offered = inputs.offered()
        try:
            catalogue = INDICES.available(offered, sensor=args.sensor)
        except ValueError as error:
            raise FormulaProblem(str(error)) from None
    entries = list(catalogue.values())
    width = max((len(entry.name) for entry in entries), default=4)
    for entry in entries:
        print(f"{entry.name:<{width}}  {' '.join(entry.bands):<24}  {entry.long_name}")
