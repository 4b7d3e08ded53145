"""The catalogue of spectral indices: each entry against its published formula in reflectance
units, names and roles, constants, and the kernels that the entries run on."""
import numpy as np
import pytest

import rastrel
import rastrel_tools as rt
from exprutil import assert_same, random_samples

# The published formulas, on reflectances in 0..1.
PUBLISHED = {
    "NDVI": lambda b: (b["nir"] - b["red"]) / (b["nir"] + b["red"]),
    "GNDVI": lambda b: (b["nir"] - b["green"]) / (b["nir"] + b["green"]),
    "SAVI": lambda b: 1.5 * (b["nir"] - b["red"]) / (b["nir"] + b["red"] + 0.5),
    "MSAVI": lambda b: (2 * b["nir"] + 1 - np.sqrt((2 * b["nir"] + 1) ** 2 - 8 * (b["nir"] - b["red"]))) / 2,
    "EVI": lambda b: 2.5 * (b["nir"] - b["red"]) / (b["nir"] + 6 * b["red"] - 7.5 * b["blue"] + 1),
    "EVI2": lambda b: 2.5 * (b["nir"] - b["red"]) / (b["nir"] + 2.4 * b["red"] + 1),
    "NDWI": lambda b: (b["green"] - b["nir"]) / (b["green"] + b["nir"]),
    "MNDWI": lambda b: (b["green"] - b["swir1"]) / (b["green"] + b["swir1"]),
    "NDMI": lambda b: (b["nir"] - b["swir1"]) / (b["nir"] + b["swir1"]),
    "NDBI": lambda b: (b["swir1"] - b["nir"]) / (b["swir1"] + b["nir"]),
    "BSI": lambda b: ((b["swir1"] + b["red"]) - (b["nir"] + b["blue"]))
    / ((b["swir1"] + b["red"]) + (b["nir"] + b["blue"])),
    "NBR": lambda b: (b["nir"] - b["swir2"]) / (b["nir"] + b["swir2"]),
    "NBR2": lambda b: (b["swir1"] - b["swir2"]) / (b["swir1"] + b["swir2"]),
    "NDSI": lambda b: (b["green"] - b["swir1"]) / (b["green"] + b["swir1"]),
    "SR": lambda b: b["nir"] / b["red"],
}
ROLES = ("blue", "green", "red", "nir", "swir1", "swir2")
KERNELS = {"NDVI": "normalized_difference", "GNDVI": "normalized_difference",
           "NDWI": "normalized_difference", "MNDWI": "normalized_difference",
           "NDMI": "normalized_difference", "NDBI": "normalized_difference",
           "NBR": "normalized_difference", "NBR2": "normalized_difference",
           "NDSI": "normalized_difference", "SR": "ratio", "EVI": "evi"}


@pytest.fixture(scope="module")
def samples():
    """Land-like reflectances x 10000: blue and red low against nir, so that EVI's denominator
    stays well away from zero."""
    rng = np.random.default_rng(2)
    shape = (40, 60)
    blue = rng.integers(100, 800, shape)
    return {
        "blue": blue,
        "green": blue + rng.integers(50, 600, shape),
        "red": blue + rng.integers(0, 1500, shape),
        "nir": rng.integers(1000, 6000, shape),
        "swir1": rng.integers(200, 4000, shape),
        "swir2": rng.integers(100, 3000, shape),
    }


def test_the_catalogue_is_the_published_set():
    assert sorted(rt.INDICES) == sorted(PUBLISHED)


@pytest.mark.parametrize("name", sorted(PUBLISHED))
def test_each_index_gives_its_published_value_on_scaled_samples(name, samples):
    entry = rt.INDICES[name]
    formula = rt.compile(name)
    assert formula.index is entry and formula.bands == entry.bands
    assert set(entry.bands) <= set(ROLES)
    assert formula.kernel == KERNELS.get(name)
    bands = {role: samples[role].astype(np.uint16) for role in ROLES}
    reflectance = {role: samples[role] / rt.SCALE for role in ROLES}
    result = formula.evaluate(bands)
    assert result.dtype == np.float32
    np.testing.assert_allclose(result, PUBLISHED[name](reflectance), rtol=2e-5, atol=2e-6)


@pytest.mark.parametrize("spelling", ["ndvi", "NDVI", "Ndvi", " ndvi "])
def test_names_are_found_in_any_letter_case(spelling):
    assert rt.compile(spelling).index is rt.INDICES["NDVI"]


def test_declared_bands_may_be_a_whole_scene(samples):
    bands = {role: samples[role].astype(np.uint16) for role in ROLES}
    formula = rt.compile("NDVI", bands=ROLES)
    assert formula.bands == ROLES
    assert_same(formula.evaluate(bands), rastrel.calculate_normalized_difference(bands["nir"], bands["red"]))


def test_constants_override_the_defaults(samples):
    nir, red = samples["nir"].astype(np.uint16), samples["red"].astype(np.uint16)
    # With L = 0 the soil adjustment vanishes: (1 + 0) * q is q, and nir + red + 0 is nir + red.
    savi = rt.compile("SAVI", constants={"L": 0})
    assert_same(savi(nir, red), rastrel.calculate_normalized_difference(nir, red))
    # On reflectances in 0..1 (scale 1) SAVI is the module's adjusted difference.
    savi = rt.compile("savi", constants={"scale": 1, "L": 0.25})
    assert savi.kernel == "adjusted_difference"
    out = np.empty(nir.shape, dtype=np.float32)
    rastrel.calculate_adjusted_difference_inplace(nir, red, 0.25, out)
    assert_same(savi(nir, red), out)


def test_evi_runs_on_the_evi_kernel():
    rng = np.random.default_rng(8)
    nir, red, blue = (random_samples(rng, (30, 41)) for _ in range(3))
    out = np.empty(nir.shape, dtype=np.float32)
    rastrel.calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 10000.0, out)
    assert_same(rt.compile("EVI").evaluate(nir=nir, red=red, blue=blue), out)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"constants": {"gain": 2}}, "EVI has no constant 'gain' (its constants: G, C1, C2, L, scale)"),
        ({"bands": ["red", "nir"]}, "EVI reads band 'blue', which `bands` lacks"),
    ],
)
def test_index_arguments_are_checked(kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        rt.compile("EVI", **kwargs)
    assert str(excinfo.value) == message
