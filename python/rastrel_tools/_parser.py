"""Infix formulas over named bands: tokens, a recursive-descent parser and the syntax tree.

The grammar follows Python's precedence, lowest first:

    sum     := product (("+" | "-") product)*
    product := unary (("*" | "/") unary)*
    unary   := ("-" | "+") unary | power
    power   := atom ("**" unary)?          right-associative; -a**2 is -(a**2)
    atom    := number | name | function "(" sum ")" | "(" sum ")"

Names are resolved while parsing, to a band number or to the value of a constant, and every
operation whose operands are all numbers is computed at once, in float32 exactly as the engine
would compute it per pixel, so the tree holds no constant subexpression (except powers: the
engine's pow is the C library's powf, which NumPy does not reproduce).
"""
from __future__ import annotations

import difflib
import math
import re
from collections.abc import Callable, Mapping, Sequence
from typing import NamedTuple, Optional, Union

import numpy as np

# The float32 nearest to 1e-10 that the engine adds to every divisor.
DENOM_EPSILON = np.float32(1e-10)

FUNCTIONS = ("abs", "sqrt")


class FormulaError(ValueError):
    """A formula that cannot be compiled. `str()` shows the reason and the formula's line with a
    caret under the offending part (unless `located` is false: the reason says it all);
    `position` is its 0-based offset into `formula`."""

    def __init__(self, reason: str, formula: str, position: int, length: int = 1,
                 located: bool = True) -> None:
        self.reason = reason
        self.formula = formula
        self.position = position
        self.length = max(1, length)
        self.located = located
        super().__init__(self._render() if located else reason)

    def __reduce__(self) -> tuple[type[FormulaError], tuple[str, str, int, int, bool]]:
        # Errors raised on a dask worker travel back pickled.
        return (type(self), (self.reason, self.formula, self.position, self.length, self.located))

    def _render(self) -> str:
        line_start = self.formula.rfind("\n", 0, self.position) + 1
        line_end = self.formula.find("\n", self.position)
        if line_end < 0:
            line_end = len(self.formula)
        line = self.formula[line_start:line_end].replace("\t", " ")
        column = self.position - line_start
        where = f"column {column + 1}"
        if "\n" in self.formula:
            where = f"line {self.formula.count(chr(10), 0, self.position) + 1}, {where}"
        width = max(1, min(self.length, len(line) - column))
        return f"{self.reason} ({where})\n    {line}\n    {' ' * column}{'^' * width}"


# ---------------------------------------------------------------------------------------------
# Syntax tree. Every node keeps the span of text it came from, for error messages.


class Number(NamedTuple):
    value: float  # always a float32 value
    start: int
    end: int


class Band(NamedTuple):
    number: int  # the engine's band number
    name: str
    start: int
    end: int


class Unary(NamedTuple):
    op: str  # "neg", "abs" or "sqrt"
    operand: Node
    start: int
    end: int


class Binary(NamedTuple):
    op: str  # "add", "sub", "mul", "div" or "pow"
    left: Node
    right: Node
    start: int
    end: int


Node = Union[Number, Band, Unary, Binary]

_BINARY_OPS = {"+": "add", "-": "sub", "*": "mul", "/": "div", "**": "pow"}


def _fold_unary(op: str, x: np.float32) -> np.float32:
    if op == "neg":
        return -x
    if op == "abs":
        return abs(x)
    return np.float32(np.sqrt(x))


def _fold_binary(op: str, a: np.float32, b: np.float32) -> np.float32:
    if op == "add":
        return a + b
    if op == "sub":
        return a - b
    if op == "mul":
        return a * b
    return a / (b + DENOM_EPSILON)  # div: the engine's guarded division


def unary(op: str, operand: Node, start: int) -> Node:
    if isinstance(operand, Number):
        with np.errstate(all="ignore"):
            value = _fold_unary(op, np.float32(operand.value))
        return Number(float(value), start, operand.end)
    return Unary(op, operand, start, operand.end)


def binary(op: str, left: Node, right: Node) -> Node:
    if op != "pow" and isinstance(left, Number) and isinstance(right, Number):
        with np.errstate(all="ignore"):
            value = _fold_binary(op, np.float32(left.value), np.float32(right.value))
        return Number(float(value), left.start, right.end)
    return Binary(op, left, right, left.start, right.end)


# ---------------------------------------------------------------------------------------------
# Tokens


class Token(NamedTuple):
    kind: str  # "number", "name", "op" or "end"
    text: str
    start: int
    end: int


_TOKEN = re.compile(
    r"(?P<space>\s+)"
    r"|(?P<number>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)"
    r"|(?P<name>[A-Za-z_]\w*)"
    r"|(?P<op>\*\*|[-+*/(),])",
    re.ASCII,
)
# What may not touch the end of a number: "2nir", "1e", "1.2.3".
_NUMBER_TAIL = re.compile(r"[\w.]+", re.ASCII)


def tokenize(text: str) -> list[Token]:
    tokens = []
    pos = 0
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if match is None:
            raise FormulaError(f"unexpected character {text[pos]!r}", text, pos)
        kind = match.lastgroup
        assert kind is not None
        if kind == "number":
            tail = _NUMBER_TAIL.match(text, match.end())
            if tail is not None:
                raise FormulaError(
                    f"invalid number {text[pos:tail.end()]!r}", text, pos, tail.end() - pos
                )
        if kind != "space":
            tokens.append(Token(kind, match.group(), pos, match.end()))
        pos = match.end()
    tokens.append(Token("end", "", len(text), len(text)))
    return tokens


def _describe(token: Token) -> str:
    return "the end of the formula" if token.kind == "end" else repr(token.text)


# ---------------------------------------------------------------------------------------------
# Parser

# Resolves a name to a node (a band or a number), or raises FormulaError.
Resolver = Callable[[str, int, int], Node]


class _Parser:
    def __init__(self, text: str, resolve: Resolver) -> None:
        self.text = text
        self.tokens = tokenize(text)
        self.pos = 0
        self.resolve = resolve

    @property
    def token(self) -> Token:
        return self.tokens[self.pos]

    def take(self) -> Token:
        token = self.tokens[self.pos]
        self.pos += 1
        return token

    def at(self, *texts: str) -> bool:
        return self.token.kind == "op" and self.token.text in texts

    def error(self, reason: str, token: Token) -> FormulaError:
        return FormulaError(reason, self.text, token.start, token.end - token.start)

    def formula(self) -> Node:
        if self.token.kind == "end":
            raise self.error("the formula is empty", self.token)
        node = self.sum()
        if self.token.kind != "end":
            if self.at(")"):
                raise self.error("unmatched ')'", self.token)
            raise self.error(f"expected an operator, found {_describe(self.token)}", self.token)
        return node

    def sum(self) -> Node:
        node = self.product()
        while self.at("+", "-"):
            op = _BINARY_OPS[self.take().text]
            node = binary(op, node, self.product())
        return node

    def product(self) -> Node:
        node = self.unary()
        while self.at("*", "/"):
            op = _BINARY_OPS[self.take().text]
            node = binary(op, node, self.unary())
        return node

    def unary(self) -> Node:
        if self.at("-"):
            start = self.take().start
            return unary("neg", self.unary(), start)
        if self.at("+"):
            start = self.take().start
            operand = self.unary()
            return operand._replace(start=start)
        return self.power()

    def power(self) -> Node:
        base = self.atom()
        if self.at("**"):
            self.take()
            return binary("pow", base, self.unary())
        return base

    def atom(self) -> Node:
        token = self.take()
        if token.kind == "number":
            return self.number(token)
        if token.kind == "name":
            if self.at("("):
                return self.call(token)
            if token.text in FUNCTIONS:
                raise self.error(f"{token.text} is a function: write {token.text}(...)", token)
            return self.resolve(token.text, token.start, token.end)
        if token.kind == "op" and token.text == "(":
            node = self.sum()
            self.close(token)
            return node._replace(start=token.start, end=self.tokens[self.pos - 1].end)
        self.pos -= 1
        raise self.error(
            f"expected a band, a number or '(', found {_describe(token)}", token
        )

    def number(self, token: Token) -> Number:
        value = float(token.text)
        with np.errstate(over="ignore"):
            rounded = np.float32(value)
        if math.isinf(rounded):
            raise self.error(f"number {token.text} is beyond the float32 range", token)
        return Number(float(rounded), token.start, token.end)

    def call(self, name: Token) -> Node:
        if name.text not in FUNCTIONS:
            raise self.error(
                f"unknown function {name.text!r} (functions: {', '.join(FUNCTIONS)})", name
            )
        paren = self.take()
        if self.at(")"):
            raise self.error(f"{name.text}() takes one argument", self.token)
        argument = self.sum()
        if self.at(","):
            raise self.error(f"{name.text}() takes one argument", self.token)
        self.close(paren)
        node = unary(name.text, argument, name.start)
        return node._replace(end=self.tokens[self.pos - 1].end)

    def close(self, paren: Token) -> None:
        if self.at(")"):
            self.take()
        elif self.token.kind == "end":
            raise self.error("'(' was never closed", paren)
        else:
            raise self.error(f"expected ')', found {_describe(self.token)}", self.token)


def parse(text: str, resolve: Resolver) -> Node:
    """The syntax tree of `text`, with names resolved by `resolve`."""
    parser = _Parser(text, resolve)
    try:
        return parser.formula()
    except RecursionError:
        raise FormulaError("the formula nests too deeply", text, 0, len(text)) from None


# ---------------------------------------------------------------------------------------------
# Names


def check_band_names(names: Sequence[str]) -> None:
    seen = set()
    for name in names:
        if not isinstance(name, str) or not name.isidentifier() or not name.isascii():
            raise ValueError(f"band names must be identifiers, got {name!r}")
        if name in FUNCTIONS:
            raise ValueError(f"{name!r} is a function and cannot name a band")
        if name in seen:
            raise ValueError(f"band {name!r} is listed twice")
        seen.add(name)


class NameResolver:
    """Resolves names to constants first, then to bands. With a fixed list of bands an unknown
    name is an error; without one each new name becomes the next band."""

    def __init__(self, text: str, bands: Optional[Sequence[str]],
                 constants: Mapping[str, float]) -> None:
        self.text = text
        self.fixed = bands is not None
        self.bands: list[str] = list(bands) if bands is not None else []
        self.constants = constants
        clash = sorted(set(self.bands) & set(constants))
        if clash:
            raise ValueError(f"{clash[0]!r} is both a band and a constant")

    def __call__(self, name: str, start: int, end: int) -> Node:
        if name in self.constants:
            with np.errstate(over="ignore"):
                value = np.float32(self.constants[name])
            return Number(float(value), start, end)
        if name not in self.bands:
            if self.fixed:
                raise FormulaError(self._unknown(name), self.text, start, end - start)
            self.bands.append(name)
        return Band(self.bands.index(name), name, start, end)

    def _unknown(self, name: str) -> str:
        known = self.bands + sorted(self.constants)
        close = difflib.get_close_matches(name, known, n=1)
        if close:
            return f"unknown name {name!r}; did you mean {close[0]!r}?"
        if not known:
            return f"unknown name {name!r}: no bands are declared"
        return f"unknown name {name!r} (bands: {', '.join(self.bands)})"
