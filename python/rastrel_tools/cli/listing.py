"""`rastrel indices`: the catalogue, or the part of it that given rasters allow."""
from __future__ import annotations

import argparse

from ..indices import INDICES
from .bands import Inputs
from .calc import compile_item


def list_indices(args: argparse.Namespace) -> None:
    entries = list(INDICES.values())
    if args.inputs or args.band:
        with Inputs(args.inputs, args.band) as inputs:
            offered = inputs.offered()
        allowed = []
        for entry in entries:
            formula = compile_item(entry.name, entry.name, args.sensor)
            if all(name.casefold() in offered for name in formula.bands):
                allowed.append(entry)
        entries = allowed
    width = max((len(entry.name) for entry in entries), default=4)
    for entry in entries:
        print(f"{entry.name:<{width}}  {' '.join(entry.bands):<24}  {entry.long_name}")
