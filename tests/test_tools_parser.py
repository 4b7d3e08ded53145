"""Formulas as text: precedence and associativity, literals, constants and their folding, names,
the stack limit, and the errors with their caret lines."""
import pickle

import numpy as np
import pytest

import rastrel_tools as rt


def postfix(text, bands=None, constants=None):
    """The compiled program in a compact notation: band names, numbers and op names."""
    formula = rt.compile(text, bands, constants=constants)
    words = []
    for step in formula.instructions:
        if step["type"] == "push_band":
            words.append(formula.bands[step["index"]])
        elif step["type"] == "push_scalar":
            words.append(f"{step['value']:g}")
        else:
            words.append(step["type"])
    return " ".join(words)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a + b * c", "a b c mul add"),
        ("a * b + c", "a b mul c add"),
        ("a - b - c", "a b sub c sub"),
        ("a / b / c", "a b div c div"),
        ("a * b / c * d", "a b mul c div d mul"),
        ("(a + b) * c", "a b add c mul"),
        ("a ** b ** c", "a b c pow pow"),
        ("-a ** 2", "a 2 pow neg"),
        ("(-a) ** 2", "a neg 2 pow"),
        ("a ** -b", "a b neg pow"),
        ("-a * b", "a neg b mul"),
        ("- -a", "a neg neg"),
        ("+a - +b", "a b sub"),
        ("abs(a - b) / sqrt(a)", "a b sub abs a sqrt div"),
        ("sqrt(a) ** 2", "a sqrt 2 pow"),
        ("b - a", "b a sub"),
    ],
)
def test_precedence_and_associativity_follow_python(text, expected):
    assert postfix(text) == expected


@pytest.mark.parametrize(
    "text",
    ["-a ** 2", "2 ** -1 * a", "a ** b ** b / 256", "a - b - c * -a", "(a + c) / 2 - b ** 2",
     "-(a - c) ** 3 + abs(b - c) * 4"],
)
def test_results_agree_with_python_on_exact_values(text):
    values = {"a": 3, "b": 2, "c": 5}
    formula = rt.compile(text)
    result = formula.evaluate({k: np.full((1, 1), v, np.uint16) for k, v in values.items()})
    assert float(result[0, 0]) == eval(text, {"abs": abs}, values)


@pytest.mark.parametrize(
    "text, value",
    [("1e-3", np.float32(1e-3)), (".5", 0.5), ("5.", 5.0), ("1E+2", 100.0), ("0.1", np.float32(0.1)),
     ("3.4028235e38", np.finfo(np.float32).max), ("1e-50", 0.0)],
)
def test_literals_are_float32(text, value):
    (step,) = rt.to_instructions(text)
    assert step == {"type": "push_scalar", "value": float(value)}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("-2 * a", "-2 a mul"),
        ("2 * 3 + a", "6 a add"),
        ("a / (2 * 5000)", "a 10000 div"),
        ("sqrt(16) - abs(-1) + a", "3 a add"),
        # The guarded division, folded as the engine computes it: 1 / (0 + 1e-10).
        ("1 / 0 * a", "1e+10 a mul"),
        ("0 / 0 + a", "0 a add"),
        # powf is the C library's; NumPy's float32 power is not, so powers stay.
        ("2 ** 2 * a", "2 2 pow a mul"),
        ("a * 2 * 3", "a 2 mul 3 mul"),
    ],
)
def test_constant_subexpressions_are_computed_once(text, expected):
    assert postfix(text) == expected


def test_folding_rounds_like_the_engine():
    (step,) = rt.to_instructions("0.1 * 3")
    assert step["value"] == float(np.float32(0.1) * np.float32(3))
    (step,) = rt.to_instructions("1 / 0")
    assert np.float32(step["value"]).view(np.uint32) == 0x501502F9


def test_constants_are_named_numbers():
    assert postfix("(1 + L) * nir", constants={"L": 0.5}) == "1.5 nir mul"
    assert postfix("nir * k", constants={"k": 0.1, "unused": 2}) == f"nir {np.float32(0.1):g} mul"


@pytest.mark.parametrize(
    "bands, expected_bands, pushed",
    [
        (None, ("red", "nir"), [0, 1]),  # the order of first appearance
        (["nir", "red"], ("nir", "red"), [1, 0]),
        (["blue", "red", "nir"], ("blue", "red", "nir"), [1, 2]),
    ],
)
def test_band_numbers_follow_the_declared_order(bands, expected_bands, pushed):
    formula = rt.compile("red - nir", bands)
    assert formula.bands == expected_bands
    assert [s["index"] for s in formula.instructions if s["type"] == "push_band"] == pushed


def test_long_chains_compile_and_deep_nesting_is_an_error():
    chain = " + ".join(["a"] * 3000)
    assert rt.to_instructions(chain)[-1] == {"type": "add"}
    nested = "(" * 5000 + "a" + ")" * 5000
    with pytest.raises(rt.FormulaError, match="^the formula nests too deeply"):
        rt.compile(nested)


def test_the_stack_holds_sixteen_values():
    sixteen = "+".join(["(a"] * 16) + ")" * 16
    formula = rt.compile(sixteen)
    assert formula(np.full((1, 2), 2, np.uint16)).tolist() == [[32.0, 32.0]]
    # The innermost (a) is the seventeenth value.
    seventeen = "a+(" * 15 + "a+(a)" + ")" * 15
    with pytest.raises(rt.FormulaError) as excinfo:
        rt.compile(seventeen)
    assert str(excinfo.value) == (
        "the formula needs more than 16 intermediate values at once; compute this part earlier "
        f"or regroup (column 48)\n    {seventeen}\n    {' ' * 47}^^^"
    )


def caret(text, column, width=1, reason=""):
    return f"{reason} (column {column})\n    {text}\n    {' ' * (column - 1)}{'^' * width}"


@pytest.mark.parametrize(
    "text, reason, column, width",
    [
        ("", "the formula is empty", 1, 1),
        ("nir +", "expected a band, a number or '(', found the end of the formula", 6, 1),
        ("nir * * red", "expected a band, a number or '(', found '*'", 7, 1),
        ("(nir - red", "'(' was never closed", 1, 1),
        ("nir - red)", "unmatched ')'", 10, 1),
        ("nir red", "expected an operator, found 'red'", 5, 3),
        ("(nir red)", "expected ')', found 'red'", 6, 3),
        ("nir % 2", "unexpected character '%'", 5, 1),
        ("2nir", "invalid number '2nir'", 1, 4),
        ("1.5.2 * nir", "invalid number '1.5.2'", 1, 5),
        ("1e * nir", "invalid number '1e'", 1, 2),
        ("nir * 1e39", "number 1e39 is beyond the float32 range", 7, 4),
        ("log(nir)", "unknown function 'log' (functions: abs, sqrt)", 1, 3),
        ("sqrt * nir", "sqrt is a function: write sqrt(...)", 1, 4),
        ("abs(nir, red)", "abs() takes one argument", 8, 1),
        ("sqrt()", "sqrt() takes one argument", 6, 1),
        ("nir ^ 2", "unexpected character '^'", 5, 1),
    ],
)
def test_syntax_errors_point_at_the_offending_text(text, reason, column, width):
    with pytest.raises(rt.FormulaError) as excinfo:
        rt.compile(text)
    error = excinfo.value
    assert isinstance(error, ValueError)
    assert str(error) == caret(text, column, width, reason)
    assert (error.reason, error.formula, error.position) == (reason, text, column - 1)
    assert str(pickle.loads(pickle.dumps(error))) == str(error)


@pytest.mark.parametrize(
    "text, bands, reason, column, width",
    [
        ("(nri - red) / 2", ["nir", "red"], "unknown name 'nri'; did you mean 'nir'?", 2, 3),
        ("nir - swir", ["nir", "red"], "unknown name 'swir' (bands: nir, red)", 7, 4),
        ("x * 2", [], "unknown name 'x': no bands are declared", 1, 1),
    ],
)
def test_unknown_names_are_errors_when_the_bands_are_declared(text, bands, reason, column, width):
    with pytest.raises(rt.FormulaError) as excinfo:
        rt.compile(text, bands)
    assert str(excinfo.value) == caret(text, column, width, reason)


def test_errors_on_a_later_line_name_it():
    with pytest.raises(rt.FormulaError) as excinfo:
        rt.compile("(nir - red)\n\t/ (nir + red")
    assert str(excinfo.value) == "'(' was never closed (line 2, column 4)\n     / (nir + red\n       ^"


@pytest.mark.parametrize(
    "bands, constants, error, message",
    [
        ("nir", None, TypeError, "bands must be a sequence of names, not a str"),
        (["nir", "nir"], None, ValueError, "band 'nir' is listed twice"),
        (["nir", "near infrared"], None, ValueError,
         "band names must be identifiers, got 'near infrared'"),
        (["abs"], None, ValueError, "'abs' is a function and cannot name a band"),
        (["nir", "k"], {"k": 2}, ValueError, "'k' is both a band and a constant"),
        (None, {"a b": 2}, ValueError, "constant names must be identifiers, got 'a b'"),
    ],
)
def test_band_and_constant_names_are_checked(bands, constants, error, message):
    with pytest.raises(error) as excinfo:
        rt.compile("nir * 2", bands, constants=constants)
    assert str(excinfo.value) == message
