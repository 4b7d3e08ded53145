"""The catalogue of spectral indices: each entry against its published formula, written here in
float32 with samples as reflectance x s (s = 10000), one rounding per operation in the written
order; names, roles, constants, the kernels the entries run on, the scene filter, and the
did-you-mean of a mistyped name."""
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import rastrel
import rastrel_tools as rt
from rastrel_testing import DENOM_EPSILON, assert_bits_equal, powf, random_band

F = np.float32
sqrt = np.sqrt


def d(a, b):
    """The engine's division."""
    return a / (b + DENOM_EPSILON)


def nd(a, b):
    return d(a - b, a + b)


def haboudane_root(b, s):
    n, r = b.nir, b.red
    return sqrt((2 * n + s) * (2 * n + s) - (6 * n - 5 * sqrt(r * s)) * s - F(0.5) * s * s)


def gemi(b, s):
    n, r = b.nir, b.red
    eta = d(2 * (n * n - r * r) + F(1.5) * n * s + F(0.5) * r * s, (n + r + F(0.5) * s) * s)
    return eta * (1 - F(0.25) * eta) - d(r - F(0.125) * s, s - r)


def tcari(b):
    e1 = b.rededge1
    return 3 * ((e1 - b.red) - F(0.2) * (e1 - b.green) * d(e1, b.red))


def tasseled_cap(b, s, *w):
    return d(F(w[0]) * b.blue + F(w[1]) * b.green + F(w[2]) * b.red + F(w[3]) * b.nir
             + F(w[4]) * b.swir1 + F(w[5]) * b.swir2, s)


def ibi(b):
    built = d(2 * b.swir1, b.swir1 + b.nir)
    other = d(b.nir, b.nir + b.red) + d(b.green, b.green + b.swir1)
    return d(built - other, built + other)


PUBLISHED = {
    "NDVI": lambda b, s: nd(b.nir, b.red),
    "GNDVI": lambda b, s: nd(b.nir, b.green),
    "SAVI": lambda b, s: F(1.5) * d(b.nir - b.red, b.nir + b.red + F(0.5) * s),
    "MSAVI": lambda b, s: d(2 * b.nir + s
                            - sqrt(powf(2 * b.nir + s, 2) - F(8) * s * (b.nir - b.red)), F(2) * s),
    "EVI": lambda b, s: F(2.5) * d(b.nir - b.red, b.nir + 6 * b.red - F(7.5) * b.blue + s),
    "EVI2": lambda b, s: F(2.5) * d(b.nir - b.red, b.nir + F(2.4) * b.red + s),
    "SR": lambda b, s: d(b.nir, b.red),
    "DVI": lambda b, s: d(b.nir - b.red, s),
    "OSAVI": lambda b, s: d(b.nir - b.red, b.nir + b.red + F(0.16) * s),
    "RDVI": lambda b, s: d(b.nir - b.red, sqrt((b.nir + b.red) * s)),
    "MSR": lambda b, s: d(d(b.nir, b.red) - 1, sqrt(d(b.nir, b.red) + 1)),
    "NLI": lambda b, s: d(b.nir * b.nir - b.red * s, b.nir * b.nir + b.red * s),
    "WDRVI": lambda b, s: d(F(0.2) * b.nir - b.red, F(0.2) * b.nir + b.red),
    "GRVI": lambda b, s: nd(b.green, b.red),
    "VARI": lambda b, s: d(b.green - b.red, b.green + b.red - b.blue),
    "ARVI": lambda b, s: nd(b.nir, b.red - (b.blue - b.red)),
    "GARI": lambda b, s: nd(b.nir, b.green - F(1.7) * (b.blue - b.red)),
    "SIPI": lambda b, s: d(b.nir - b.blue, b.nir - b.red),
    "IPVI": lambda b, s: d(b.nir, b.nir + b.red),
    "GEMI": gemi,
    "GLI": lambda b, s: d(2 * b.green - b.red - b.blue, 2 * b.green + b.red + b.blue),
    "ExG": lambda b, s: d(2 * b.green - b.red - b.blue, b.green + b.red + b.blue),
    "MGRVI": lambda b, s: nd(b.green * b.green, b.red * b.red),
    "RGBVI": lambda b, s: nd(b.green * b.green, b.blue * b.red),
    "NIRv": lambda b, s: d(nd(b.nir, b.red) * b.nir, s),
    "TGI": lambda b, s: d(F(-0.5) * (190 * (b.red - b.green) - 120 * (b.red - b.blue)), s),
    "SLAVI": lambda b, s: d(b.nir, b.red + b.swir2),
    "NDYI": lambda b, s: nd(b.green, b.blue),
    "MCARI2": lambda b, s: d(F(1.5) * (F(2.5) * (b.nir - b.red) - F(1.3) * (b.nir - b.green)),
                             haboudane_root(b, s)),
    "MTVI2": lambda b, s: d(F(1.5) * (F(1.2) * (b.nir - b.green) - F(2.5) * (b.red - b.green)),
                            haboudane_root(b, s)),
    "TVI": lambda b, s: d(F(0.5) * (120 * (b.rededge2 - b.green) - 200 * (b.red - b.green)), s),
    "TCB": lambda b, s: tasseled_cap(b, s, 0.3029, 0.2786, 0.4733, 0.5599, 0.508, 0.1872),
    "TCG": lambda b, s: tasseled_cap(b, s, -0.2941, -0.243, -0.5424, 0.7276, 0.0713, -0.1608),
    "TCW": lambda b, s: tasseled_cap(b, s, 0.1511, 0.1973, 0.3283, 0.3407, -0.7117, -0.4559),
    "NDRE": lambda b, s: nd(b.nir, b.rededge1),
    "CIre": lambda b, s: d(b.rededge3, b.rededge1) - 1,
    "CIg": lambda b, s: d(b.nir, b.green) - 1,
    "MCARI": lambda b, s: d(((b.rededge1 - b.red) - F(0.2) * (b.rededge1 - b.green))
                            * d(b.rededge1, b.red), s),
    "TCARI": lambda b, s: d(tcari(b), s),
    "TCARIOSAVI": lambda b, s: d(d(tcari(b), d((F(1) + F(0.16)) * (b.nir - b.red),
                                                 b.nir + b.red + F(0.16) * s)), s),
    "MTCI": lambda b, s: d(b.rededge2 - b.rededge1, b.rededge1 - b.red),
    "S2REP": lambda b, s: 705 + 35 * d(d(b.rededge3 + b.red, F(2)) - b.rededge1,
                                       b.rededge2 - b.rededge1),
    "REIP": lambda b, s: 700 + 40 * d(d(b.red + b.rededge3, F(2)) - b.rededge1,
                                      b.rededge2 - b.rededge1),
    "IRECI": lambda b, s: d(d(b.rededge3 - b.red, d(b.rededge1, b.rededge2)), s),
    "NDI45": lambda b, s: nd(b.rededge1, b.red),
    "RENDVI": lambda b, s: nd(b.rededge2, b.rededge1),
    "mSR705": lambda b, s: d(b.rededge2 - b.blue, b.rededge1 - b.blue),
    "mND705": lambda b, s: d(b.rededge2 - b.rededge1, b.rededge2 + b.rededge1 - 2 * b.blue),
    "TCI": lambda b, s: d(F(1.2) * (b.rededge1 - b.green)
                          - F(1.5) * (b.red - b.green) * sqrt(d(b.rededge1, b.red)), s),
    "GM1": lambda b, s: d(b.rededge2, b.green),
    "GM2": lambda b, s: d(b.rededge2, b.rededge1),
    "SeLI": lambda b, s: nd(b.nir08, b.rededge1),
    "PSRI": lambda b, s: d(b.red - b.blue, b.rededge2),
    "ARI": lambda b, s: d(s, b.green) - d(s, b.rededge1),
    "NPCI": lambda b, s: nd(b.red, b.coastal),
    "CVI": lambda b, s: d(b.nir * b.red, b.green * b.green),
    "NDWI": lambda b, s: nd(b.green, b.nir),
    "MNDWI": lambda b, s: nd(b.green, b.swir1),
    "NDMI": lambda b, s: nd(b.nir, b.swir1),
    "AWEInsh": lambda b, s: d(4 * (b.green - b.swir1) - (F(0.25) * b.nir + F(2.75) * b.swir2), s),
    "AWEIsh": lambda b, s: d(b.blue + F(2.5) * b.green - F(1.5) * (b.nir + b.swir1)
                             - F(0.25) * b.swir2, s),
    "WI2015": lambda b, s: F(1.7204) + d(171 * b.green + 3 * b.red - 70 * b.nir - 45 * b.swir1
                                         - 71 * b.swir2, s),
    "WRI": lambda b, s: d(b.green + b.red, b.nir + b.swir1),
    "NDTI": lambda b, s: nd(b.red, b.green),
    "NDCI": lambda b, s: nd(b.rededge1, b.red),
    "MSI": lambda b, s: d(b.swir1, b.nir),
    "NMDI": lambda b, s: nd(b.nir, b.swir1 - b.swir2),
    "GVMI": lambda b, s: nd(b.nir + F(0.1) * s, b.swir1 + F(0.02) * s),
    "NDSI": lambda b, s: nd(b.green, b.swir1),
    "S3": lambda b, s: d(b.nir * (b.red - b.swir1), (b.nir + b.red) * (b.nir + b.swir1)),
    "NBR": lambda b, s: nd(b.nir, b.swir2),
    "NBR2": lambda b, s: nd(b.swir1, b.swir2),
    "BAI": lambda b, s: d(s * s, (F(0.1) * s - b.red) * (F(0.1) * s - b.red)
                          + (F(0.06) * s - b.nir) * (F(0.06) * s - b.nir)),
    "BAIS2": lambda b, s: (1 - d(sqrt(d(b.rededge2 * b.rededge3 * b.nir08, b.red)), s))
    * (d(b.swir2 - b.nir08, sqrt((b.swir2 + b.nir08) * s)) + 1),
    "NBRT1": lambda b, s: nd(b.nir, d(b.swir2 * b.thermal1, F(1000))),
    "MIRBI": lambda b, s: d(10 * b.swir2 - F(9.8) * b.swir1, s) + 2,
    "NDBI": lambda b, s: nd(b.swir1, b.nir),
    "IBI": lambda b, s: ibi(b),
    "UI": lambda b, s: nd(b.swir2, b.nir),
    "BLFEI": lambda b, s: nd(d(b.green + b.red + b.swir2, F(3)), b.swir1),
    "VrNIRBI": lambda b, s: nd(b.red, b.nir),
    "BSI": lambda b, s: nd(b.swir1 + b.red, b.nir + b.blue),
    "DBSI": lambda b, s: nd(b.swir1, b.green) - nd(b.nir, b.red),
    "MBI": lambda b, s: d(b.swir1 - b.swir2 - b.nir, b.swir1 + b.swir2 + b.nir) + F(0.5),
}
KERNELS = {"SR": "ratio", "GM1": "ratio", "GM2": "ratio", "MSI": "ratio", "EVI": "evi"}
NORMALIZED = {"NDVI", "GNDVI", "GRVI", "NDYI", "NDRE", "NDI45", "RENDVI", "SeLI", "NPCI", "NDWI",
              "MNDWI", "NDMI", "NDTI", "NDCI", "NDSI", "NBR", "NBR2", "NDBI", "UI", "VrNIRBI"}


@pytest.fixture(scope="module")
def scene():
    """Reflectances x 10000 with some zeros and saturated samples, thermal in kelvin."""
    rng = np.random.default_rng(2)
    bands = {role: rng.integers(0, 10000, (23, 37)).astype(np.uint16) for role in rt.ROLES}
    bands["thermal1"] = rng.integers(260, 330, (23, 37)).astype(np.uint16)
    bands["red"][0, :3] = (0, 65535, 1)
    return bands


def test_the_catalogue_is_the_published_set():
    assert sorted(rt.INDICES) == sorted(PUBLISHED)
    for entry in rt.INDICES.values():
        assert set(entry.bands) <= set(rt.ROLES) and entry.reference and entry.long_name
        assert entry.domain in ("vegetation", "chlorophyll", "water", "snow", "burn", "urban", "soil")


@pytest.mark.parametrize("name", sorted(PUBLISHED))
def test_each_index_is_its_published_formula_in_float32(name, scene):
    entry = rt.INDICES[name]
    formula = rt.compile(name)
    assert formula.index is entry and formula.bands == entry.bands
    assert formula.kernel == ("normalized_difference" if name in NORMALIZED else KERNELS.get(name))
    with np.errstate(all="ignore"):
        samples = SimpleNamespace(**{role: b.astype(np.float32) for role, b in scene.items()})
        expected = PUBLISHED[name](samples, F(rt.SCALE))
    assert_bits_equal(formula.evaluate(scene), expected)


def test_the_documented_list_is_the_catalogue():
    text = (Path(__file__).resolve().parents[1] / "docs" / "indices.md").read_text()
    rows = [line.split(" | ") for line in text.splitlines() if line.startswith("| ") and "`" in line]
    documented = {row[0][2:]: row[2].strip("`") for row in rows if not row[0].startswith("| `")}
    assert documented == {name: entry.formula for name, entry in rt.INDICES.items()}


@pytest.mark.parametrize("spelling", ["ndvi", "NDVI", "Ndvi", " ndvi "])
def test_names_are_found_in_any_letter_case(spelling):
    assert rt.compile(spelling).index is rt.INDICES["NDVI"]


@pytest.mark.parametrize(
    "text, message",
    [
        ("NVDI", "unknown index 'NVDI'; did you mean 'NDVI'?"),
        ("savvi", "unknown index 'savvi'; did you mean 'SAVI'?"),
        ("NDMVI", "unknown index 'NDMVI'; did you mean 'NDVI' or 'NDMI'?"),
        ("swir", "unknown index 'swir'; did you mean 'swir1' or 'swir2'?"),
        ("B04", "unknown index 'B04'; to read a band of that name on its own, declare it: "
                "bands=['B04']"),
    ],
)
def test_a_lone_name_that_is_neither_an_index_nor_a_band_is_refused(text, message):
    with pytest.raises(rt.FormulaError) as excinfo:
        rt.compile(text)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("text, bands", [("nir", None), ("rededge2", None), ("B04", ["B04"]),
                                         ("x", ["x", "y"])])
def test_a_lone_role_or_declared_band_is_a_one_band_formula(text, bands):
    sample = np.array([[7, 65535]], np.uint16)
    assert rt.compile(text, bands).evaluate({text: sample, "y": sample}).tolist() == [[7.0, 65535.0]]


def test_the_scene_filter_keeps_the_indices_its_bands_allow():
    allowed = rt.INDICES.available({"nir": 0, "red": 0, "blue": 0})
    assert isinstance(allowed, rt.Catalogue)
    assert sorted(allowed) == sorted(n for n, e in rt.INDICES.items() if set(e.bands) <= {"nir", "red", "blue"})
    assert {"NDVI", "EVI", "SIPI", "ARVI"} <= set(allowed) and "GNDVI" not in allowed
    assert rt.INDICES.available([]) == {} and len(rt.INDICES.available(rt.ROLES)) == len(rt.INDICES)
    assert sorted(rt.INDICES.domain("snow")) == ["NDSI", "S3"]
    with pytest.raises(TypeError, match="^bands must be a collection of names, not a str$"):
        rt.INDICES.available("nir")


def test_declared_bands_may_be_a_whole_scene(scene):
    formula = rt.compile("NDVI", bands=list(rt.ROLES))
    assert formula.bands == tuple(rt.ROLES)
    assert_bits_equal(formula.evaluate(scene), rastrel.calculate_normalized_difference(scene["nir"], scene["red"]))


def test_constants_override_the_defaults(scene):
    nir, red = scene["nir"], scene["red"]
    # With L = 0 the soil adjustment vanishes: (1 + 0) * q is q, and nir + red + 0 is nir + red.
    savi = rt.compile("SAVI", constants={"L": 0})
    assert_bits_equal(savi(nir, red), rastrel.calculate_normalized_difference(nir, red))
    # On reflectances in 0..1 (scale 1) SAVI is the module's adjusted difference.
    savi = rt.compile("savi", constants={"scale": 1, "L": 0.25})
    assert savi.kernel == "adjusted_difference"
    out = np.empty(nir.shape, dtype=np.float32)
    rastrel.calculate_adjusted_difference_inplace(nir, red, 0.25, out)
    assert_bits_equal(savi(nir, red), out)


def test_evi_runs_on_the_evi_kernel():
    rng = np.random.default_rng(8)
    nir, red, blue = (random_band(rng, (30, 41)) for _ in range(3))
    out = np.empty(nir.shape, dtype=np.float32)
    rastrel.calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 10000.0, out)
    assert_bits_equal(rt.compile("EVI").evaluate(nir=nir, red=red, blue=blue), out)


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
