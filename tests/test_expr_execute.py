"""execute_expr_inplace: exact results of each op, the stack's limits and faults, band shapes,
argument conversion and borrows."""
import numpy as np
import pytest

import rastrel
from rastrel_testing import (
    BINARY_OPS,
    UNARY_OPS,
    assert_bits_equal,
    band,
    bits,
    bounds_fault,
    expect_panic,
    ops,
    powf,
    random_band,
    reference,
    run,
    scalar,
)

execute = rastrel.execute_expr_inplace
NAN = float("nan")
INF = float("inf")
TOP = 2**64 - 1  # the slot below an empty stack, in unsigned arithmetic
NORMALIZED_DIFFERENCE = [band(0), band(1), *ops("sub"), band(0), band(1), *ops("add", "div")]


def two_bands(rng, shape):
    return [random_band(rng, shape), random_band(rng, shape)]


# ---------------------------------------------------------------------------------------------
# Exact values. A 3 x 5 output: every pixel must get the same bits.


@pytest.mark.parametrize(
    "program, pattern",
    [
        ([scalar(1), scalar(0), *ops("div")], 0x501502F9),  # 1 / DENOM_EPSILON
        ([scalar(0), scalar(0), *ops("div")], 0x00000000),
        ([scalar(-0.0), scalar(0), *ops("div")], 0x80000000),
        # A divisor of -DENOM_EPSILON is guarded to exactly zero, in float32.
        ([scalar(1), scalar(-1e-10), *ops("div")], 0x7F800000),
        ([scalar(-1), scalar(-1e-10), *ops("div")], 0xFF800000),
        ([scalar(2), scalar(3), *ops("pow")], 0x41000000),
        ([scalar(2), scalar(-1), *ops("pow")], 0x3F000000),
        ([scalar(0), *ops("neg")], 0x80000000),
        ([scalar(-0.0), *ops("abs")], 0x00000000),
        ([scalar(-3.5), *ops("abs")], 0x40600000),
        ([scalar(2), *ops("sqrt")], 0x3FB504F3),
        ([scalar(-0.0), *ops("sqrt")], 0x80000000),
        ([scalar(16777216), scalar(1), *ops("add")], 0x4B800000),  # rounded to float32, not wider
        ([scalar(0.1), scalar(0.2), *ops("add")], 0x3E99999A),
        ([scalar(0.1), scalar(3), *ops("mul")], 0x3E99999A),
        ([scalar(1), scalar(3), *ops("div")], 0x3EAAAAAB),
        ([scalar(1e-45), scalar(0.5), *ops("mul")], 0x00000000),  # subnormals are not flushed...
        ([scalar(1e-45), scalar(3), *ops("mul")], 0x00000003),  # ...nor treated as zero
        ([scalar(3e38), scalar(3e38), *ops("add")], 0x7F800000),
        ([scalar(INF), scalar(-1), *ops("mul")], 0xFF800000),
        ([scalar(1), scalar(2)], 0x3F800000),  # slot 0, the bottom of the stack
        ([scalar(1), scalar(2), scalar(3), *ops("mul")], 0x3F800000),
        ([], 0x00000000),
    ],
)
def test_values_are_float32_bit_for_bit(program, pattern):
    assert (bits(run(program, shape=(3, 5))) == pattern).all()


@pytest.mark.parametrize(
    "program",
    [
        [scalar(-1), *ops("sqrt")],
        [scalar(INF), scalar(INF), *ops("sub")],
        [scalar(0), scalar(INF), *ops("mul")],
        [scalar(-8), scalar(1 / 3), *ops("pow")],
        [scalar(NAN), scalar(1), *ops("add")],
        [scalar(NAN), *ops("neg", "abs")],
        [scalar(0), scalar(-1e-10), *ops("div")],
    ],
)
def test_nan_comes_out_as_nan(program):
    assert np.isnan(run(program, shape=(2, 2))).all()


def test_samples_convert_exactly():
    samples = np.array([[0, 1, 2, 255], [256, 32767, 65534, 65535]], dtype=np.uint16)
    out = run([band(0)], [samples], shape=samples.shape)
    assert out.tolist() == samples.astype(float).tolist()


@pytest.mark.parametrize("op", BINARY_OPS)
def test_binary_ops_take_the_lower_value_first(op):
    rng = np.random.default_rng(7)
    a, b = two_bands(rng, (9, 33))
    out = run([band(0), band(1), *ops(op)], [a, b], shape=a.shape)
    assert_bits_equal(out, reference([band(0), band(1), *ops(op)], [a, b], a.shape))


POW_SPECIALS = [-INF, -2.5, -1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 65535.0, INF, NAN]


@pytest.mark.parametrize("base", POW_SPECIALS)
def test_pow_is_the_c_library_powf(base):
    for exponent in POW_SPECIALS + [-3.0, -0.5, 0.3, 3.0]:
        got = run([scalar(base), scalar(exponent), *ops("pow")], shape=(1, 1))
        assert_bits_equal(got, powf(base, exponent).reshape(1, 1))


def test_pow_of_samples_is_powf():
    rng = np.random.default_rng(11)
    a, b = two_bands(rng, (16, 40))
    program = [band(0), band(1), scalar(4096), *ops("div", "pow")]
    out = run(program, [a, b], shape=a.shape)
    assert_bits_equal(out, reference(program, [a, b], a.shape))


@pytest.mark.parametrize(
    "program, kernel",
    [
        (NORMALIZED_DIFFERENCE, rastrel.calculate_normalized_difference_inplace),
        ([band(0), band(1), *ops("div")], rastrel.calculate_ratio_inplace),
    ],
)
@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (64, 129)])
def test_programs_match_the_fixed_kernels(program, kernel, shape):
    rng = np.random.default_rng(shape[0])
    a, b = two_bands(rng, shape)
    want = np.empty(shape, dtype=np.float32)
    kernel(a, b, want)
    got = run(program, [a, b], shape=shape)
    assert (bits(got) == bits(want)).all()
    # Transposed bands and a reversed output give the same bits.
    got_t = np.full(shape[::-1], NAN, np.float32)[::-1, ::-1]
    execute(rastrel.compile_expr(program, 2), [a.T, b.T], got_t)
    assert (bits(got_t) == bits(want.T)).all()


def test_sub_writes_the_float32_difference():
    a = np.array([[0, 65535, 3, 40000]], dtype=np.uint16)
    b = np.array([[65535, 0, 3, 1]], dtype=np.uint16)
    out = run([band(0), band(1), *ops("sub")], [a, b], shape=a.shape)
    assert bits(out).tolist() == [[0xC77FFF00, 0x477FFF00, 0x00000000, 0x471C3F00]]


# ---------------------------------------------------------------------------------------------
# The 16-slot stack.


def pushes(count, bands=0):
    """`count` pushes, the first `bands` of them samples of band 0."""
    return [band(0) if i < bands else scalar(i + 1) for i in range(count)]


def test_sixteen_values_fit():
    sample = np.full((2, 3), 100, dtype=np.uint16)
    out = run(pushes(16, bands=4) + ops(*["add"] * 15), [sample], shape=(2, 3))
    assert (out == 4 * 100 + sum(range(5, 17))).all()
    # Fifteen subs fold from the top: 1 - (2 - (3 - ... - (15 - 16))).
    ramp = run(pushes(16) + ops(*["sub"] * 15), shape=(1, 1))
    expected = np.float32(16)
    for v in range(15, 0, -1):
        expected = np.float32(v) - expected
    assert ramp[0, 0] == expected


@pytest.mark.parametrize(
    "program, bands, message",
    [
        (pushes(17), [], bounds_fault(16, 16)),
        (pushes(17, bands=17), [np.ones((2, 3), np.uint16)], bounds_fault(16, 16)),
        (pushes(16) + ops("add") + pushes(2), [], bounds_fault(16, 16)),
        # A push_band checks the band number, then the position, and only then for room.
        (pushes(16) + [band(7)], [np.ones((2, 3), np.uint16)], bounds_fault(1, 7)),
        (pushes(16) + [band(0)], [np.ones((0, 0), np.uint16)], "ndarray: index out of bounds"),
    ]
    + [(ops(op), [], bounds_fault(16, TOP)) for op in BINARY_OPS[:4] + UNARY_OPS]
    + [([scalar(1), *ops(op)], [], bounds_fault(16, TOP)) for op in BINARY_OPS]
    + [
        (ops("pow"), [], bounds_fault(16, TOP - 1)),
        ([scalar(1), scalar(2), *ops("add", "mul")], [], bounds_fault(16, TOP)),
        ([scalar(1), *ops("neg", "sqrt", "abs", "div")], [], bounds_fault(16, TOP)),
        ([band(2)], [np.ones((2, 3), np.uint16)] * 2, bounds_fault(2, 2)),
        ([band(0), band(2**64 - 1)], [np.ones((2, 3), np.uint16)], bounds_fault(1, 2**64 - 1)),
        ([band(0)], [np.ones((2, 2), np.uint16)], "ndarray: index out of bounds"),
        ([band(0)], [np.ones((1, 3), np.uint16)], "ndarray: index out of bounds"),
    ],
)
def test_faults_name_the_slot_or_band(program, bands, message):
    expr = rastrel.compile_expr(program, len(bands))
    out = np.zeros((2, 3), dtype=np.float32)
    expect_panic(message, execute, expr, bands, out)
    # Everything taken for the call was given back: the same arrays work again.
    execute(rastrel.compile_expr([scalar(5)], len(bands)), bands, out)
    assert (out == 5).all()


@pytest.mark.parametrize("shape", [(0, 3), (4, 0), (0, 0)])
@pytest.mark.parametrize("program", [pushes(17), ops("pow"), [band(0)], [band(9)]])
def test_an_empty_output_never_evaluates(shape, program):
    expr = rastrel.compile_expr(program, 1)
    assert execute(expr, [np.ones((0, 0), np.uint16)], np.zeros(shape, np.float32)) is None


# ---------------------------------------------------------------------------------------------
# Band shapes are not compared with the output's.


def test_a_larger_band_contributes_its_top_left_part():
    rng = np.random.default_rng(3)
    big = random_band(rng, (100, 100))
    small = random_band(rng, (50, 60))
    out = run([band(0), band(1), *ops("sub")], [big, small], shape=(50, 60))
    assert_bits_equal(out, big[:50, :60].astype(np.float32) - small.astype(np.float32))


@pytest.mark.parametrize("shape", [(50, 50), (49, 60), (0, 60), (50, 0)])
def test_a_smaller_band_faults(shape):
    expr = rastrel.compile_expr([band(1)], 2)
    bands = [np.ones((50, 60), np.uint16), np.ones(shape, np.uint16)]
    expect_panic("ndarray: index out of bounds", execute, expr, bands, np.zeros((50, 60), np.float32))


def test_a_band_no_step_names_is_never_read():
    sample = np.full((2, 3), 9, np.uint16)
    out = run([band(1), scalar(1), *ops("add")], [np.ones((0, 0), np.uint16), sample, np.ones((1, 1), np.uint16)], shape=(2, 3))
    assert (out == 10).all()


@pytest.mark.parametrize("container", [list, tuple])
def test_no_bands_and_only_constants(container):
    expr = rastrel.compile_expr([scalar(3), scalar(0.5), *ops("pow", "neg")], 0)
    out = np.zeros((4, 7), dtype=np.float32)
    execute(expr, container(), out)
    assert (out == np.float32(-(3**0.5))).all()


@pytest.mark.parametrize("container", [list, tuple])
def test_the_same_array_may_be_passed_twice(container):
    a = np.arange(12, dtype=np.uint16).reshape(3, 4)
    out = run([band(0), band(1), *ops("mul")], container([a, a]), shape=(3, 4))
    assert out.tolist() == (a.astype(float) ** 2).tolist()
    # An overlapping view of a band is only read too.
    out = run([band(0), band(1), *ops("sub")], [a, a[1:, 1:]], shape=(2, 3))
    assert out.tolist() == (a[:2, :3].astype(float) - a[1:, 1:]).tolist()


def frozen(values):
    values.flags.writeable = False
    return values


@pytest.mark.parametrize(
    "sample",
    [frozen(np.full((3, 4), 6, np.uint16)), np.broadcast_to(np.uint16(6), (3, 4)), np.broadcast_to(np.full((3, 1), 6, np.uint16), (3, 4))],
)
def test_read_only_and_broadcast_bands_are_read(sample):
    assert (run([band(0)], [sample], shape=(3, 4)) == 6).all()


# ---------------------------------------------------------------------------------------------
# Conversions, the band count and borrows, all before anything is written.

EXPR, OUT = object(), object()  # stand-ins for a valid expr and a valid output


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, [], None), "argument 'expr': 'int' object cannot be converted to 'CompiledExpr'"),
        ((rastrel.CompiledExpr, [], None), "argument 'expr': 'type' object cannot be converted to 'CompiledExpr'"),
        ((EXPR, "abc", None), "argument 'bands': Can't extract `str` to `Vec`"),
        ((EXPR, 5, None), "argument 'bands': 'int' object cannot be converted to 'Sequence'"),
        ((EXPR, {0: "a"}, None), "argument 'bands': 'dict' object cannot be converted to 'Sequence'"),
        ((EXPR, (b for b in []), None), "argument 'bands': 'generator' object cannot be converted to 'Sequence'"),
        ((EXPR, [np.ones((2, 3))], None), "argument 'bands': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((2, 3), np.uint16), [[1]]], None), "argument 'bands': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((2, 3), np.int16)], None), "argument 'bands': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((1, 2, 3), np.uint16), "x"], None), "argument 'bands': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((2, 3), np.float32)], OUT), "argument 'bands': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((2, 3), np.uint16)], None), "argument 'out_buffer': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((2, 3), np.uint16)] * 3, np.ones((2, 3))), "argument 'out_buffer': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ((EXPR, [np.ones((2, 3), np.uint16)], np.ones((2, 3), np.uint16)), "argument 'out_buffer': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_arguments_are_converted_in_order(args, message):
    stand_ins = {id(EXPR): rastrel.compile_expr([band(0)], 1), id(OUT): np.zeros((2, 3), np.float32)}
    args = tuple(stand_ins.get(id(a), a) for a in args)
    with pytest.raises(TypeError) as excinfo:
        execute(*args)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


class Failing:
    """A sequence of bands whose first item cannot be read."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error


@pytest.mark.parametrize(
    "error, raised, message",
    [(TypeError("broken"), TypeError, "argument 'bands': broken"), (ValueError("broken"), ValueError, "broken")],
)
def test_an_error_while_reading_bands_names_the_parameter_if_a_type_error(error, raised, message):
    with pytest.raises(raised) as excinfo:
        execute(rastrel.compile_expr([], 1), Failing(error), np.zeros((1, 1), np.float32))
    assert type(excinfo.value) is raised
    assert str(excinfo.value) == message


def view_of(out):
    return out.view(np.uint16)


def read_only(out):
    out.flags.writeable = False
    return out


@pytest.mark.parametrize("count", [5, 9, 12])
def test_every_band_of_many_is_read_where_it_lies(count):
    # Past the few bands a call keeps on its stack, each must still reach its own step.
    rng = np.random.default_rng(count)
    bands = [random_band(rng, (3, 5)) for _ in range(count)]
    program = [band(count - 1)] + [s for i in range(count - 1) for s in (band(i), *ops("sub"))]
    assert_bits_equal(run(program, bands, shape=(3, 5)), reference(program, bands, (3, 5)))


@pytest.mark.parametrize("num_bands, bands", [(2, 3), (2, 1), (0, 1), (1, 0)])
def test_a_band_count_mismatch_is_raised_before_any_borrow(num_bands, bands):
    out = np.full((2, 6), 4.0, dtype=np.float32)
    # Bands that view the output, and an output that cannot be written, would both fault if
    # they were borrowed.
    for target in (out, read_only(out.copy())):
        expr = rastrel.compile_expr([scalar(1)], num_bands)
        with pytest.raises(ValueError) as excinfo:
            execute(expr, [view_of(target)] * bands, target)
        assert str(excinfo.value) == "Band count mismatch."
        assert (target == 4.0).all()


@pytest.mark.parametrize(
    "make_bands, make_out, message",
    [
        (lambda out: [view_of(out)], lambda out: out, "AlreadyBorrowed"),
        (lambda out: [np.ones((2, 6), np.uint16), view_of(out)[1:, 3:]], lambda out: out, "AlreadyBorrowed"),
        (lambda out: [np.ones((2, 6), np.uint16)], read_only, "NotWriteable"),
        # More bands than the call keeps in place: the eleven borrows before the refusal end too.
        (lambda out: [np.ones((2, 6), np.uint16)] * 11 + [view_of(out)], lambda out: out, "AlreadyBorrowed"),
    ],
)
def test_a_refused_borrow_faults_before_anything_is_written(make_bands, make_out, message):
    out = np.zeros((2, 6), dtype=np.float32)
    target = make_out(out)
    bands = make_bands(out)
    expr = rastrel.compile_expr([scalar(5)] + [s for i in range(1, len(bands)) for s in (band(i), *ops("add"))], len(bands))
    expect_panic("called `Result::unwrap()` on an `Err` value: " + message, execute, expr, bands, target)
    assert (bits(out) == 0).all()
    # The borrows taken before the refusal were released.
    out.flags.writeable = True
    execute(expr, [np.ones((2, 6), np.uint16)] * len(bands), out)
    assert (out == 5 + len(bands) - 1).all()
