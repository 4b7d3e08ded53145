"""compile_expr and CompiledExpr: what compiles, how operands convert, which error wins, and the
opaque class."""
import math
import operator

import numpy as np
import pytest

import rastrel
from rastrel_testing import IS_PYPY, band, bits, bounds_fault, expect_panic, ops, run, scalar

compile_expr = rastrel.compile_expr

# PyLong_AsUnsignedLongLong's own messages differ between the interpreters.
NEGATIVE = "cannot convert negative integer to unsigned int" if IS_PYPY else "can't convert negative int to unsigned"
TOO_BIG = "integer too large" if IS_PYPY else "int too big to convert"
# Halfway between the largest float32 and 2**128.
HALF_ABOVE_MAX = float(2**128 - 2**103)


def interpreter_message(action):
    """The message the interpreter itself gives for `action`."""
    with pytest.raises(Exception) as excinfo:
        action()
    return str(excinfo.value)


# ---------------------------------------------------------------------------------------------
# What compiles: the program shows through what it computes.


@pytest.mark.parametrize("container", [list, tuple])
def test_a_sequence_of_steps_compiles_into_the_program(container):
    program = container([band(0), band(1), *ops("sub"), scalar(2), *ops("mul")])
    a = np.array([[5, 0, 65535]], dtype=np.uint16)
    b = np.array([[2, 7, 0]], dtype=np.uint16)
    expr = compile_expr(program, 2)
    assert type(expr) is rastrel.CompiledExpr
    out = np.zeros((1, 3), dtype=np.float32)
    rastrel.execute_expr_inplace(expr, [a, b], out)
    assert out.tolist() == [[6.0, -14.0, 131070.0]]


def test_an_empty_program_writes_zero():
    assert bits(run([], shape=(3, 4), fill=np.nan)).tolist() == [[0] * 4] * 3


@pytest.mark.parametrize(
    "program, num_bands, message",
    [
        (ops("add"), 0, bounds_fault(16, 2**64 - 1)),
        ([band(5)], 2, bounds_fault(2, 5)),
        ([band(2**64 - 1)], 2, bounds_fault(2, 2**64 - 1)),
    ],
)
def test_stack_and_band_numbers_are_checked_only_when_evaluated(program, num_bands, message):
    expr = compile_expr(program, num_bands)
    bands = [np.ones((2, 2), dtype=np.uint16)] * num_bands
    expect_panic(message, rastrel.execute_expr_inplace, expr, bands, np.zeros((2, 2), np.float32))


class Step:
    """A step that is not a dict: anything subscriptable by a string key will do."""

    def __init__(self, **fields):
        self.fields = fields

    def __getitem__(self, key):
        return self.fields[key]


@pytest.mark.parametrize(
    "program, expected",
    [
        # Keys an op does not use are ignored.
        ([{"type": "push_scalar", "value": 3, "index": 9}, {"type": "neg", "value": 1}], -3.0),
        ([Step(type="push_scalar", value=2.5), Step(type="sqrt")], np.float32(np.sqrt(np.float32(2.5)))),
        ([{"type": type("Name", (str,), {})("push_scalar"), "value": 4}], 4.0),
    ],
)
def test_steps_may_be_any_mapping_with_extra_keys(program, expected):
    assert run(program, shape=(1, 1))[0, 0] == expected


@pytest.mark.parametrize(
    "value, pattern",
    [
        (0.1, 0x3DCCCCCD),
        (1e40, 0x7F800000),
        (-1e40, 0xFF800000),
        (math.nextafter(HALF_ABOVE_MAX, 0), 0x7F7FFFFF),
        (HALF_ABOVE_MAX, 0x7F800000),  # halfway to the next power of two: ties to even, up
        (1e-45, 0x00000001),
        (1e-46, 0x00000000),
        (-0.0, 0x80000000),
        (float("inf"), 0x7F800000),
        (1 + 2**-24, 0x3F800000),  # halfway: ties to even, down
        (1 + 3 * 2**-24, 0x3F800002),  # halfway: ties to even, up
        (3, 0x40400000),
        (2**24 + 1, 0x4B800000),
        (True, 0x3F800000),
        (np.float64(0.1), 0x3DCCCCCD),
        (type("Real", (), {"__float__": lambda self: -2.5})(), 0xC0200000),
    ],
)
def test_scalars_round_to_the_nearest_float32(value, pattern):
    assert bits(run([scalar(value)], shape=(1, 2))).tolist() == [[pattern, pattern]]


def test_a_nan_scalar_stays_nan():
    assert np.isnan(run([scalar(float("nan"))], shape=(1, 1))).all()


@pytest.mark.parametrize("index", [True, np.int64(1), np.uint64(1)])
def test_band_numbers_accept_any_integer(index):
    bands = [np.full((1, 2), 10, np.uint16), np.full((1, 2), 20, np.uint16)]
    assert run([band(index)], bands, shape=(1, 2)).tolist() == [[20.0, 20.0]]


@pytest.mark.parametrize(
    "num_bands, bands",
    [(True, 1), (False, 0), (np.int32(3), 3), (np.uint64(2), 2)],
)
def test_num_bands_accepts_any_integer(num_bands, bands):
    expr = compile_expr([scalar(1.5)], num_bands)
    out = np.zeros((1, 1), dtype=np.float32)
    rastrel.execute_expr_inplace(expr, [np.zeros((1, 1), np.uint16)] * bands, out)
    assert out[0, 0] == 1.5


def test_arguments_bind_by_keyword():
    expr = compile_expr(num_bands=0, instructions=[scalar(2)])
    out = np.zeros((1, 1), dtype=np.float32)
    rastrel.execute_expr_inplace(out_buffer=out, bands=(), expr=expr)
    assert out[0, 0] == 2.0


def test_the_largest_num_bands_compiles():
    expr = compile_expr([], 2**64 - 1)
    with pytest.raises(ValueError) as excinfo:
        rastrel.execute_expr_inplace(expr, [], np.zeros((1, 1), np.float32))
    assert str(excinfo.value) == "Band count mismatch."


# ---------------------------------------------------------------------------------------------
# Errors: their class, their exact message, and whether the parameter is named.


class Unsized:
    """A sequence whose length cannot be read, so that no capacity hint is available."""

    def __init__(self, items, fail_at=None, error=None):
        self.items, self.fail_at, self.error = items, fail_at, error

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


@pytest.mark.parametrize(
    "instructions, error, message",
    [
        ("add", TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("add"), TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
        ({"type": "add"}, TypeError, "argument 'instructions': 'dict' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'instructions': 'set' object cannot be converted to 'Sequence'"),
        ((s for s in []), TypeError, "argument 'instructions': 'generator' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'instructions': 'NoneType' object cannot be converted to 'Sequence'"),
        # An error while iterating: a TypeError is given the parameter's name, others pass as they are.
        (Unsized([scalar(1)], 1, TypeError("broken")), TypeError, "argument 'instructions': broken"),
        (Unsized([scalar(1)], 1, ValueError("broken")), ValueError, "broken"),
    ],
)
def test_instructions_must_be_a_sequence_other_than_str(instructions, error, message):
    with pytest.raises(error) as excinfo:
        compile_expr(instructions, 1)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message


def test_an_unreadable_length_is_only_a_missing_hint():
    assert run(Unsized([scalar(1), scalar(2), *ops("add")], fail_at=3, error=IndexError), shape=(1, 1))[0, 0] == 3.0


@pytest.mark.parametrize(
    "num_bands, error, message",
    [
        (1.5, TypeError, "argument 'num_bands': 'float' object cannot be interpreted as an integer"),
        ("2", TypeError, "argument 'num_bands': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'num_bands': 'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, NEGATIVE),
        (2**64, OverflowError, TOO_BIG),
    ],
)
def test_num_bands_is_converted_before_any_step_is_read(num_bands, error, message):
    for program in ([], [{"type": "bogus"}], [42]):
        with pytest.raises(error) as excinfo:
            compile_expr(program, num_bands)
        assert type(excinfo.value) is error
        assert str(excinfo.value) == message


def test_instructions_are_converted_before_num_bands():
    with pytest.raises(TypeError) as excinfo:
        compile_expr("add", -1)
    assert str(excinfo.value) == "argument 'instructions': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "step, error, message",
    [
        ({"type": "Add"}, ValueError, "Unknown op: Add"),
        ({"type": " add"}, ValueError, "Unknown op:  add"),
        ({"type": "push_band "}, ValueError, "Unknown op: push_band "),
        ({"type": "ADD"}, ValueError, "Unknown op: ADD"),
        ({"type": ""}, ValueError, "Unknown op: "),
        ({"type": "add\0"}, ValueError, "Unknown op: add\0"),
        ({"type": "\u00e4dd"}, ValueError, "Unknown op: \u00e4dd"),
        ({"type": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"type": b"add"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({"type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"type": "\ud800"}, UnicodeEncodeError, interpreter_message(lambda: "\ud800".encode())),
        ({"op": "add"}, KeyError, "'type'"),
        ({"type": "push_band"}, KeyError, "'index'"),
        ({"type": "push_scalar", "index": 0}, KeyError, "'value'"),
        (["add"], TypeError, interpreter_message(lambda: operator.getitem(["add"], "type"))),
        (band(-1), OverflowError, NEGATIVE),
        (band(2**64), OverflowError, TOO_BIG),
        (band(1.5), TypeError, "'float' object cannot be interpreted as an integer"),
        (band("0"), TypeError, "'str' object cannot be interpreted as an integer"),
        (scalar("1"), TypeError, "must be real number, not str"),
        (scalar(None), TypeError, "must be real number, not NoneType"),
        (scalar(10**400), OverflowError, "int too large to convert to float"),
        (Step(), KeyError, "'type'"),
    ],
)
def test_a_bad_step_raises_without_naming_the_parameter(step, error, message):
    with pytest.raises(error) as excinfo:
        compile_expr([scalar(1), step, scalar(2)], 1)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message


def test_a_fault_raised_by_a_step_is_resumed_as_a_fault(capfd):
    with pytest.raises(BaseException) as excinfo:
        rastrel.execute_expr_inplace(compile_expr(ops("neg"), 0), [], np.zeros((1, 1), np.float32))
    original = type(excinfo.value)("from a step")

    class Faulty:
        def __getitem__(self, key):
            raise original

    capfd.readouterr()
    with pytest.raises(BaseException) as excinfo:
        compile_expr([Faulty()], 0)
    assert type(excinfo.value) is type(original) and excinfo.value is not original
    assert str(excinfo.value) == "from a step"
    assert capfd.readouterr().err.startswith(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
    )


@pytest.mark.parametrize(
    "program, message",
    [
        ([{"type": "first"}, {"type": "second"}], "Unknown op: first"),
        ([scalar(1), {"type": "mul "}, {"type": 3}, {}], "Unknown op: mul "),
    ],
)
def test_only_the_first_bad_step_is_reported(program, message):
    with pytest.raises(ValueError) as excinfo:
        compile_expr(program, 0)
    assert str(excinfo.value) == message


# ---------------------------------------------------------------------------------------------
# The class.


def test_the_class_cannot_be_called():
    with pytest.raises(TypeError) as excinfo:
        rastrel.CompiledExpr()
    assert str(excinfo.value) == "No constructor defined for CompiledExpr"


@pytest.mark.skipif(IS_PYPY, reason="PyPy lets a heap type without the base-type flag be subclassed")
def test_the_class_cannot_be_subclassed():
    with pytest.raises(TypeError) as excinfo:
        type("Derived", (rastrel.CompiledExpr,), {})
    assert str(excinfo.value) == "type 'CompiledExpr' is not an acceptable base type"


def test_the_object_is_opaque():
    expr = compile_expr([scalar(1)], 0)
    kind = type(expr)
    assert kind is rastrel.CompiledExpr
    assert kind.__name__ == "CompiledExpr"
    assert kind.__doc__ is None
    assert kind.__bases__ == (object,)
    assert [name for name in dir(expr) if not name.startswith("__")] == []
    # Beyond object's, only the class's module, and on PyPy the __dict__ and weak references
    # that it gives every instance of a heap type.
    extra = {"__module__"} | ({"__dict__", "__weakref__"} if IS_PYPY else set())
    assert set(dir(expr)) - set(dir(object())) <= extra
    # Identity is all there is to compare.
    assert expr == expr and expr != compile_expr([scalar(1)], 0)
    assert hash(expr) == object.__hash__(expr)
    assert repr(expr).startswith("<") and "CompiledExpr object at 0x" in repr(expr)


@pytest.mark.skipif(IS_PYPY, reason="PyPy gives instances of heap types a __dict__")
def test_the_object_takes_no_attributes():
    expr = compile_expr([], 0)
    with pytest.raises(AttributeError) as excinfo:
        expr.instructions = []
    assert str(excinfo.value) == "'CompiledExpr' object has no attribute 'instructions'"
