"""Binding and argument conversion of compile_expr and execute_expr_inplace."""
import numpy as np
import pytest

import rastrel
from rastrel_testing import IS_PYPY

compile_expr, execute = rastrel.compile_expr, rastrel.execute_expr_inplace
out = np.zeros((2, 2), np.float32)
band = np.zeros((2, 2), np.uint16)


class Sequence:
    """A sequence whose length and iteration fail on demand."""

    def __init__(self, len_error=None, iter_error=None):
        self.len_error, self.iter_error = len_error, iter_error

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        return {"type": "add"}

    def __iter__(self):
        if self.iter_error:
            raise self.iter_error
        return iter([self[0]])


class Str(str):
    pass


@pytest.mark.parametrize(
    "call_, message",
    [
        (lambda: compile_expr(), "compile_expr() missing 2 required positional arguments: 'instructions' and 'num_bands'"),
        (lambda: compile_expr([]), "compile_expr() missing 1 required positional argument: 'num_bands'"),
        (lambda: compile_expr(num_bands=1), "compile_expr() missing 1 required positional argument: 'instructions'"),
        (lambda: compile_expr([], 1, 2), "compile_expr() takes 2 positional arguments but 3 were given"),
        (lambda: compile_expr([], 1, instructions=[]), "compile_expr() got multiple values for argument 'instructions'"),
        (lambda: compile_expr([], bands=1), "compile_expr() got an unexpected keyword argument 'bands'"),
        (lambda: execute(), "execute_expr_inplace() missing 3 required positional arguments: 'expr', 'bands', and 'out_buffer'"),
        (lambda: execute(None, bands=[]), "execute_expr_inplace() missing 1 required positional argument: 'out_buffer'"),
        (lambda: execute(None, [], out, None), "execute_expr_inplace() takes 3 positional arguments but 4 were given"),
        (lambda: execute(None, [], out, expr=None), "execute_expr_inplace() got multiple values for argument 'expr'"),
        (lambda: execute(None, [], out_buffer=out, out=out), "execute_expr_inplace() got an unexpected keyword argument 'out'"),
        # Conversions, in parameter order.
        (lambda: compile_expr("add", 1), "argument 'instructions': Can't extract `str` to `Vec`"),
        (lambda: compile_expr(Str("add"), 1), "argument 'instructions': Can't extract `str` to `Vec`"),
        (lambda: compile_expr({"type": "add"}, 1), "argument 'instructions': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: compile_expr({"add"}, 1), "argument 'instructions': 'set' object cannot be converted to 'Sequence'"),
        (lambda: compile_expr((x for x in [{}]), 1), "argument 'instructions': 'generator' object cannot be converted to 'Sequence'"),
        (lambda: compile_expr(None, "x"), "argument 'instructions': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: compile_expr(num_bands=-1, instructions=7), "argument 'instructions': 'int' object cannot be converted to 'Sequence'"),
        (lambda: compile_expr(Sequence(iter_error=TypeError("no iteration")), 1), "argument 'instructions': no iteration"),
        (lambda: compile_expr([], None), "argument 'num_bands': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: compile_expr([], 1.0), "argument 'num_bands': 'float' object cannot be interpreted as an integer"),
        (lambda: compile_expr([{"type": "nope"}], "2"), "argument 'num_bands': 'str' object cannot be interpreted as an integer"),
        (lambda: compile_expr(Sequence(len_error=TypeError("no len")), 0.5), "argument 'num_bands': 'float' object cannot be interpreted as an integer"),
        (lambda: execute(1, [band], out), "argument 'expr': 'int' object cannot be converted to 'CompiledExpr'"),
        (lambda: execute(out_buffer=None, bands="x", expr=None), "argument 'expr': 'NoneType' object cannot be converted to 'CompiledExpr'"),
        (lambda: execute(compile_expr, [band], out), "argument 'expr': 'builtin_function_or_method' object cannot be converted to 'CompiledExpr'"),
    ],
)
def test_type_errors(call_, message):
    with pytest.raises(TypeError) as excinfo:
        call_()
    assert type(excinfo.value) is TypeError
    if IS_PYPY and "interpreted as an integer" in message:  # the interpreter's own wording
        assert str(excinfo.value).startswith("argument 'num_bands': ")
    else:
        assert str(excinfo.value) == message


@pytest.mark.parametrize("num_bands", [-1, 2**64, -(2**70)])
def test_num_bands_out_of_range_is_the_interpreters_overflow_error(num_bands):
    with pytest.raises(OverflowError) as excinfo:
        compile_expr([], num_bands)
    assert type(excinfo.value) is OverflowError
    assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize("error", [RuntimeError("iteration"), KeyError("k"), ValueError("v")])
def test_errors_while_reading_instructions_pass_unchanged(error):
    with pytest.raises(type(error)) as excinfo:
        compile_expr(Sequence(iter_error=error), 1)
    assert excinfo.value is error


class BadIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_errors_of_the_num_bands_conversion():
    with pytest.raises(TypeError, match=r"^argument 'num_bands': bad index$"):
        compile_expr([], BadIndex(TypeError("bad index")))
    error = ArithmeticError("arithmetic")
    with pytest.raises(ArithmeticError) as excinfo:
        compile_expr([], BadIndex(error))
    assert excinfo.value is error
