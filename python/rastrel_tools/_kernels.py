"""Recognises formulas that one of rastrel's fixed kernels computes bit for bit, so that they run
on the kernel instead of the expression engine.

A kernel qualifies only when it performs the very same float32 operations on the same operands:
the engine's division a / (b + eps) is the kernels' division, and addition and multiplication
commute exactly in IEEE arithmetic, so `a + b` may match `b + a`; nothing is ever regrouped.
"""
from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray

import rastrel

from ._parser import Band, Binary, Node, Number


class KernelCall(NamedTuple):
    name: str  # "normalized_difference", "ratio", "adjusted_difference" or "evi"
    bands: tuple[int, ...]  # band numbers, in the kernel's parameter order
    params: tuple[float, ...]  # float32 values, in the kernel's parameter order


def _operands(node: Node, op: str) -> Iterator[tuple[Node, Node]]:
    """(left, right) of a `node` of kind `op`, and (right, left) as well when `op` commutes."""
    if isinstance(node, Binary) and node.op == op:
        yield node.left, node.right
        if op in ("add", "mul"):
            yield node.right, node.left


def _band(node: Node) -> Optional[int]:
    return node.number if isinstance(node, Band) else None


def _number(node: Node) -> Optional[np.float32]:
    return np.float32(node.value) if isinstance(node, Number) else None


def _is_band(node: Node, index: int) -> bool:
    return isinstance(node, Band) and node.number == index


def _sum_of(node: Node, a: int, b: int) -> bool:
    return any(_is_band(x, a) and _is_band(y, b) for x, y in _operands(node, "add"))


def _difference(node: Node) -> Optional[tuple[int, int]]:
    """(a, b) for `a - b` over two bands."""
    for x, y in _operands(node, "sub"):
        a, b = _band(x), _band(y)
        if a is not None and b is not None:
            return a, b
    return None


def _normalized_difference(node: Node) -> Optional[KernelCall]:
    # (a - b) / (a + b)
    for top, bottom in _operands(node, "div"):
        pair = _difference(top)
        if pair is not None and _sum_of(bottom, *pair):
            return KernelCall("normalized_difference", pair, ())
    return None


def _ratio(node: Node) -> Optional[KernelCall]:
    # a / b
    for top, bottom in _operands(node, "div"):
        a, b = _band(top), _band(bottom)
        if a is not None and b is not None:
            return KernelCall("ratio", (a, b), ())
    return None


def _adjusted_difference(node: Node) -> Optional[KernelCall]:
    # (1 + l) * ((a - b) / ((a + b) + l)), the factor folded into one number
    for factor_node, quotient in _operands(node, "mul"):
        factor = _number(factor_node)
        for top, bottom in _operands(quotient, "div"):
            pair = _difference(top)
            for total, offset_node in _operands(bottom, "add"):
                offset = _number(offset_node)
                if (pair is not None and factor is not None and offset is not None
                        and _sum_of(total, *pair) and offset + np.float32(1.0) == factor):
                    return KernelCall("adjusted_difference", pair, (float(offset),))
    return None


def _product(node: Node) -> Iterator[tuple[np.float32, int]]:
    """(c, k) for `c * band k`, in either order."""
    for x, y in _operands(node, "mul"):
        c, k = _number(x), _band(y)
        if c is not None and k is not None:
            yield c, k


def _evi_denominator(node: Node, n: int, r: int) -> Optional[tuple[int, float, float, float]]:
    # ((n + c1 * r) - c2 * b) + l  ->  (b, c1, c2, l)
    for inner, l_node in _operands(node, "add"):
        l = _number(l_node)
        if l is None or not isinstance(inner, Binary) or inner.op != "sub":
            continue
        for c2, b in _product(inner.right):
            for x, y in _operands(inner.left, "add"):
                for c1, k in _product(y):
                    if _is_band(x, n) and k == r:
                        return b, float(c1), float(c2), float(l)
    return None


def _evi(node: Node) -> Optional[KernelCall]:
    # g * ((n - r) / (((n + c1 * r) - c2 * b) + l))
    for g_node, quotient in _operands(node, "mul"):
        g = _number(g_node)
        for top, bottom in _operands(quotient, "div"):
            pair = _difference(top)
            if g is None or pair is None:
                continue
            found = _evi_denominator(bottom, *pair)
            if found is not None:
                b, c1, c2, l = found
                return KernelCall("evi", (pair[0], pair[1], b), (float(g), c1, c2, l))
    return None


def recognize(root: Node) -> Optional[KernelCall]:
    """The fixed kernel that computes `root` bit for bit, if there is one."""
    for match in (_normalized_difference, _ratio, _adjusted_difference, _evi):
        call = match(root)
        if call is not None:
            return call
    return None


def run(call: KernelCall, planes: Sequence[NDArray[np.uint16]], out: NDArray[np.float32]) -> None:
    """Runs the kernel of `call` over 2-D `planes` (indexed by band number) into `out`."""
    arrays = [planes[k] for k in call.bands]
    if call.name == "normalized_difference":
        rastrel.calculate_normalized_difference_inplace(arrays[0], arrays[1], out)
    elif call.name == "ratio":
        rastrel.calculate_ratio_inplace(arrays[0], arrays[1], out)
    elif call.name == "adjusted_difference":
        rastrel.calculate_adjusted_difference_inplace(arrays[0], arrays[1], call.params[0], out)
    else:
        g, c1, c2, l = call.params
        rastrel.calculate_evi_inplace(arrays[0], arrays[1], arrays[2], g, c1, c2, l, out)
