"""compile_expr with arbitrary nested objects for steps, step kinds that are not text or not
encodable, band numbers of every size and sign, and any num_bands: the error is exactly the one
that the conversion rules predict, and a program that compiles keeps every operand it was given,
as evaluating it shows (the right values, or the right fault)."""
import fractions

import numpy as np
from hypothesis import event, given
from hypothesis import strategies as st

import rastrel
from rastrel_testing import assert_bits_equal, random_band, reference
from fuzzing import (
    OP_NAMES,
    OURS,
    PanicException,
    Raised,
    as_u64,
    assert_nothing_borrowed,
    budget,
    compile_outcome,
    compiled,
    outcome_of,
    pixel_faults,
)


class Lookup:
    """A step that answers subscription itself, or raises."""

    def __init__(self, answers, error=None):
        self.answers, self.error = answers, error

    def __getitem__(self, key):
        if self.error:
            raise self.error(OURS + key)
        return self.answers[key]


class Panics:
    def __getitem__(self, key):
        raise PanicException(OURS + key)

    def __index__(self):
        raise PanicException(OURS + "index")

    def __float__(self):
        raise PanicException(OURS + "float")


class Text(str):
    pass


class Missing(dict):
    def __missing__(self, key):
        return {"type": "neg", "index": 1, "value": 0.25}[key]


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __float__(self):
        return 2.5


def record(kind, index, value):
    """A NumPy structured scalar: subscription by field name, and a NumPy str for the kind."""
    item = np.zeros((), dtype=[("type", "U12"), ("index", "i8"), ("value", "f8")])
    item["type"], item["index"], item["value"] = kind, index, value
    return item[()]


NEAR_NAMES = ["Add", " add", "add ", "push-band", "pushband", "", "\x00", "add\x00", "sqr", "é", "\ud800",
              "add\udcff", "\U0001F600"]
kinds = st.one_of(
    st.sampled_from(OP_NAMES), st.sampled_from(OP_NAMES), st.sampled_from(NEAR_NAMES),
    st.sampled_from(OP_NAMES).map(Text), st.text(max_size=6),
    st.sampled_from([None, 3, b"add", ["add"], 1.5]),
)
indices = st.one_of(
    st.integers(0, 4), st.integers(0, 4), st.integers(-(2**65), 2**65),
    st.sampled_from([2**63 - 1, 2**63, 2**64 - 1, 2**64, -1, True, False, 1.0, "1", None, np.uint64(2**64 - 1),
                     np.int8(-1), np.uint8(3), IndexOnly(2), IndexOnly(-3), IndexOnly(2**64), Panics()]),
)
values = st.one_of(
    st.floats(), st.floats(width=32), st.integers(-(2**130), 2**130),
    st.sampled_from([True, "1.5", None, 1j, fractions.Fraction(1, 3), np.float64(1e39), np.float32(-0.0),
                     FloatOnly(), 10**400, Panics()]),
)


@st.composite
def step(draw):
    kind, index, value = draw(kinds), draw(indices), draw(values)
    shape = draw(st.integers(0, 19))
    if shape < 12:
        return {"type": kind, "index": index, "value": value}
    if shape == 12:
        return {"type": kind}
    if shape == 13:
        return Missing(type=kind) if draw(st.booleans()) else Missing()
    if shape == 14:
        return Lookup({"type": kind, "index": index, "value": value},
                      draw(st.sampled_from([None, KeyError, TypeError, ValueError])))
    if shape == 15 and isinstance(kind, str) and isinstance(index, int) and abs(index) < 2**63:
        return record(kind, index, 0.5)
    return draw(st.sampled_from([None, 1, "push_band", ["add"], ("type", "add"), {}, {"Type": "add"}, b"x", Panics()]))


nested = st.recursive(
    st.one_of(st.none(), st.integers(), st.text(max_size=3), st.floats()),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=8,
)
programs = st.one_of(
    st.lists(step(), max_size=8),
    st.lists(step(), max_size=8).map(tuple),
    st.lists(st.one_of(step(), nested), max_size=5),
    nested,
    st.sampled_from(["add", "", b"", bytearray(), range(2), {"type": "add"}, {1, 2}, None, 7,
                     np.zeros((2, 2)), np.zeros(()), iter([]), (s for s in [])]),
)
band_counts = st.one_of(st.integers(0, 4), st.integers(0, 4), st.integers(-(2**65), 2**65),
                        st.sampled_from([True, 2.0, "2", None, IndexOnly(3), np.uint16(2), np.int64(-2)]))


def check_program(expr, program, num_bands):
    """Evaluates `expr` over a few bands and compares it with what the steps say."""
    steps = [compiled(s) for s in program]
    count = as_u64(num_bands)
    shape = (2, 3)
    rng = np.random.default_rng(count % 7)
    values = [random_band(rng, shape) for _ in range(min(count, 4))]
    out = np.full(shape, np.nan, np.float32)
    status, result = outcome_of(lambda: rastrel.execute_expr_inplace(expr, values, out))
    event(f"execute_expr_inplace: {type(result).__name__}")
    if count != len(values):
        Raised(ValueError, "Band count mismatch.").check(result)
    elif pixel_faults(steps, [v.shape for v in values], shape):
        Raised.panic(None).check(result)
        assert str(result) in pixel_faults(steps, [v.shape for v in values], shape)
    else:
        assert status == "ok", result
        as_dicts = [{"type": kind, "index": operand, "value": operand} for kind, operand in steps]
        assert_bits_equal(out, reference(as_dicts, values, shape))
    assert_nothing_borrowed(values + [out])


@budget(200)
@given(program=programs, num_bands=band_counts)
def test_compile_arbitrary_steps(program, num_bands):
    expected = compile_outcome(program, num_bands)
    status, result = outcome_of(lambda: rastrel.compile_expr(program, num_bands))
    event(f"compile_expr: {type(result).__name__}")
    if expected is not None:
        assert status == "raised", f"compiled {program!r}, expected {expected}"
        expected.check(result)
    else:
        assert status == "ok", repr(result)
        assert type(result) is rastrel.CompiledExpr
        check_program(result, list(program), num_bands)


@budget(100)
@given(program=st.lists(step(), max_size=4), keyword=st.booleans())
def test_keywords_compile_like_positions(program, keyword):
    expected = compile_outcome(program, 2)
    call = (lambda: rastrel.compile_expr(num_bands=2, instructions=program)) if keyword else (
        lambda: rastrel.compile_expr(program, num_bands=2))
    status, result = outcome_of(call)
    if expected is None:
        assert status == "ok", repr(result)
    else:
        expected.check(result)

