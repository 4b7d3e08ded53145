"""Compiled formulas: results against a one-operation-at-a-time float32 reference, the fixed
kernels chosen for formulas they compute bit for bit, bands by name or position, stacks of
rasters, argument errors and pickling."""
import pickle

import numpy as np
import pytest

import rastrel
import rastrel_tools as rt
from rastrel_testing import assert_bits_equal, random_band, reference

SHAPE = (37, 53)
FORMULAS = [
    "(nir - red) / (nir + red)",
    "-nir ** 0.5 + abs(red - 3 * blue) / 7",
    "sqrt(nir * red) - blue ** 2 / (red + 1e-3)",
    "2.5 * ((nir - red) / (nir + 6 * red - 7.5 * blue + 10000))",
    "((nir - blue) * (red - blue) - 1) / -(0 * nir)",
]


@pytest.fixture(scope="module")
def scene():
    rng = np.random.default_rng(11)
    return {name: random_band(rng, SHAPE) for name in ("blue", "red", "nir", "swir1")}


@pytest.mark.parametrize("text", FORMULAS)
def test_results_are_the_engines_float32_arithmetic(text, scene):
    formula = rt.compile(text)
    bands = [scene[name] for name in formula.bands]
    assert_bits_equal(formula.evaluate(scene), reference(formula.instructions, bands, SHAPE))


@pytest.mark.parametrize(
    "text, constants, kernel",
    [
        ("(nir - red) / (nir + red)", None, "normalized_difference"),
        ("(red - nir) / (nir + red)", None, "normalized_difference"),
        ("(nir - nir) / (nir + nir)", None, "normalized_difference"),
        ("nir / red", None, "ratio"),
        ("(1 + l) * ((nir - red) / (nir + red + l))", {"l": 0.5}, "adjusted_difference"),
        ("((nir - red) / (l + (red + nir))) * (l + 1)", {"l": -3}, "adjusted_difference"),
        ("g * ((nir - red) / (nir + c1 * red - c2 * blue + l))",
         {"g": 2.5, "c1": 6, "c2": 7.5, "l": 1}, "evi"),
        ("((nir - red) / (red * 6 + nir - blue * 7.5 + 10000)) * -2", None, "evi"),
        # Near misses: a different operand, grouping or factor.
        ("(nir - red) / (nir + blue)", None, None),
        ("(nir + red) / (nir - red)", None, None),
        ("(nir - red) / (nir + (red + 0.5)) * 1.5", None, None),
        ("(2 + l) * ((nir - red) / (nir + red + l))", {"l": 0.5}, None),
        ("(1 + l) * ((nir - red) / (nir + (red + l)))", {"l": 0.5}, None),
        ("2.5 * (nir - red) / (nir + 6 * red - 7.5 * blue + 1)", None, None),
        ("2.5 * ((nir - red) / (nir + 6 * red - 7.5 * blue))", None, None),
        ("nir / 2", None, None),
    ],
)
def test_a_fixed_kernel_runs_exactly_the_formulas_it_computes(text, constants, kernel, scene):
    formula = rt.compile(text, constants=constants)
    assert formula.kernel == kernel
    bands = [scene[name] for name in formula.bands]
    engine = np.empty(SHAPE, dtype=np.float32)
    rastrel.execute_expr_inplace(formula.expr, bands, engine)
    assert_bits_equal(formula(*bands), engine)


def test_bands_by_name_and_by_position(scene):
    formula = rt.compile("nir - 2 * red", bands=["red", "blue", "nir"])
    expected = scene["nir"].astype(np.float32) - 2 * scene["red"].astype(np.float32)
    assert_bits_equal(formula.evaluate(scene), expected)
    assert_bits_equal(formula.evaluate(red=scene["red"], nir=scene["nir"], blue=scene["blue"]), expected)
    assert_bits_equal(formula.evaluate({"red": scene["red"], "blue": scene["blue"]}, nir=scene["nir"]),
                expected)
    assert_bits_equal(formula(scene["red"], scene["blue"], scene["nir"]), expected)


def test_out_is_filled_and_returned(scene):
    formula = rt.compile("NDVI")
    out = np.full(SHAPE, np.nan, dtype=np.float32)
    assert formula.evaluate(scene, out=out) is out
    assert_bits_equal(out, rastrel.calculate_normalized_difference(scene["nir"], scene["red"]))


def test_stacks_of_rasters_are_evaluated_plane_by_plane():
    rng = np.random.default_rng(3)
    nir = random_band(rng, (4, 3, 20, 30)).transpose(0, 1, 3, 2)
    red = random_band(rng, (4, 3, 30, 20))[:, :, ::-1]
    formula = rt.compile("sqrt(nir) - red / 3")
    result = formula(nir, red)
    assert result.shape == (4, 3, 30, 20) and result.dtype == np.float32
    for at in np.ndindex(4, 3):
        assert_bits_equal(result[at], formula(nir[at], red[at]))


def test_samples_that_fit_uint16_are_accepted():
    formula = rt.compile("a + b")
    result = formula(np.full((2, 2), 200, np.uint8), np.ones((2, 2), bool))
    assert result.tolist() == [[201.0, 201.0]] * 2


def test_a_formula_without_bands_fills_out():
    out = np.zeros((3, 4), dtype=np.float32)
    rt.compile("2 ** 10").evaluate(out=out)
    assert (out == 1024).all()
    with pytest.raises(ValueError, match="^a formula that reads no band needs `out` to know the shape$"):
        rt.compile("1 + 2").evaluate()


def test_bad_arguments_are_refused_before_anything_is_written():
    formula = rt.compile("a - b")
    a = np.zeros((4, 5), np.uint16)
    b = np.zeros((4, 5), np.uint16)
    out = np.full((4, 5), 7, np.float32)
    read_only = out.copy()
    read_only.flags.writeable = False
    cases = [
        (lambda: formula(a), TypeError, "expected 2 bands (a, b), got 1"),
        (lambda: formula.evaluate(a=a, c=b), TypeError, "missing band 'b' (the formula reads a, b)"),
        (lambda: formula.evaluate(a=a, b=b, nodta=0, out=out), TypeError,
         "evaluate() got an unexpected keyword argument 'nodta' with value 0 (bands are arrays; "
         "the options are out, nodata, mask, fill, scale, offset); did you mean 'nodata'?"),
        (lambda: formula(a, b.astype(np.int64)), TypeError,
         "band 'b' has dtype int64, which rastrel cannot read (it reads bool, uint8, int8, uint16, "
         "int16, uint32, int32, float32 and float64)"),
        (lambda: formula(a[0], b[0]), ValueError,
         "band 'a' must be 2-D (rows, cols) or a stack of 2-D rasters, got 1 dimension"),
        (lambda: formula(a, b[:, :4]), ValueError, "band 'b' has shape (4, 4), but band 'a' has (4, 5)"),
        (lambda: formula(a, b, out=out.astype(np.float64)), TypeError,
         "out must be a float32 array, got float64"),
        (lambda: formula(a, b, out=[[0.0]]), TypeError, "out must be a float32 array, got list"),
        (lambda: formula(a, b, out=out.T), ValueError, "out has shape (5, 4), the bands have (4, 5)"),
        (lambda: formula(a, b, out=read_only), ValueError, "out is read-only"),
        (lambda: formula(out.view(np.uint16)[:, :5], b, out=out), ValueError, "out overlaps band 'a'"),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as excinfo:
            call()
        assert str(excinfo.value) == message
    assert (out == 7).all()
    # Extra bands are ignored, so that a whole scene can be passed.
    assert formula.evaluate(a=a, b=b, c=b, out=out) is out


def test_pickling_recompiles_the_same_formula(scene):
    for formula in (rt.compile("EVI"), rt.compile("k * nir - red", constants={"k": 0.25})):
        copy = pickle.loads(pickle.dumps(formula))
        assert (copy.text, copy.bands, dict(copy.constants), copy.index, copy.kernel) == (
            formula.text, formula.bands, dict(formula.constants), formula.index, formula.kernel)
        assert_bits_equal(copy.evaluate(scene), formula.evaluate(scene))
