"""Sensor presets: each product's samples against reflectance (or kelvin) worked out by hand from
the product's documented scale and offset, nodata as NaN, band names and roles, and indices
over a product's own band names."""
import pickle

import numpy as np
import pytest

import rastrel_tools as rt
from rastrel_testing import DENOM_EPSILON, assert_bits_equal

F = np.float32

# (preset, band, role, [(sample, physical value by hand)]): each value is also the float32
# nearest to it, so the float32 conversion must land exactly there.
HAND = [
    ("sentinel2-l2a", "B04", "red", [(2500, 0.15), (3200, 0.22), (11000, 1.0), (65535, 6.4535)]),
    ("sentinel2-l2a", "B8A", "nir08", [(2500, 0.15), (11000, 1.0)]),
    ("sentinel2-l2a-pre04", "B05", "rededge1", [(1, 0.0001), (2500, 0.25), (10000, 1.0)]),
    ("sentinel2-l1c", "B10", "cirrus", [(2500, 0.15), (3200, 0.22)]),
    ("sentinel2-l1c-pre04", "B12", "swir2", [(3200, 0.32), (10000, 1.0)]),
    ("landsat89-c2-l2", "SR_B5", "nir", [(8040, 0.0211), (38256, 0.85204), (65534, 1.602185)]),
    ("landsat89-c2-l2", "ST_B10", "thermal1", [(10000, 183.1802), (45000, 302.8109)]),
    ("landsat89-c2-l1", "B6", "swir1", [(8010, 0.0602), (55000, 1.0), (65529, 1.21058)]),
]


@pytest.mark.parametrize("preset, band, role, samples", HAND)
def test_samples_become_the_documented_physical_values(preset, band, role, samples):
    raw = np.array([[0] + [dn for dn, _ in samples]], np.uint16)
    want = np.array([[np.nan] + [value for _, value in samples]], np.float32)
    by_band = rt.compile(band, sensor=preset)
    by_role = rt.compile(role, sensor=preset)
    assert by_band.bands == by_role.bands == (band,)
    assert_bits_equal(by_band.evaluate({band: raw}), want)
    assert_bits_equal(by_role.evaluate({band: raw}), want)


@pytest.mark.parametrize(
    "preset, bands, scale, offset",
    [("sentinel2-l2a", ("B08", "B04", "B02"), 0.0001, -0.1),
     ("sentinel2-l2a-pre04", ("B08", "B04", "B02"), 0.0001, 0.0),
     ("landsat89-c2-l2", ("SR_B5", "SR_B4", "SR_B2"), 0.0000275, -0.2),
     ("landsat89-c2-l1", ("B5", "B4", "B2"), 0.00002, -0.1)],
)
def test_indices_read_the_products_bands_as_reflectance(preset, bands, scale, offset):
    rng = np.random.default_rng(5)
    raw = [rng.integers(0, 20000, (19, 31)).astype(np.uint16) for _ in bands]
    raw[1][0, :2] = 0
    scene = dict(zip(bands, raw))
    n, r, b = (dn.astype(np.float32) * F(scale) + F(offset) for dn in raw)
    invalid = np.logical_or.reduce([dn == 0 for dn in raw])

    def d(x, y):
        return x / (y + DENOM_EPSILON)

    # On reflectance the additive terms of EVI and SAVI are in reflectance: scale 1.
    expected = {
        "NDVI": d(n - r, n + r),
        "EVI": F(2.5) * d(n - r, n + 6 * r - F(7.5) * b + 1),
        "SAVI": F(1.5) * d(n - r, n + r + F(0.5)),
    }
    for name, values in expected.items():
        formula = rt.compile(name, sensor=preset)
        assert formula.bands == bands[:len(formula.bands)] and formula.sensor.name == preset
        assert formula.constants.get("scale", 1.0) == 1.0
        assert_bits_equal(formula.evaluate(scene), np.where(invalid, np.nan, values))
        copy = pickle.loads(pickle.dumps(formula))
        assert_bits_equal(copy.evaluate(scene), formula.evaluate(scene))


@pytest.mark.parametrize(
    "keywords, offset, nodata, fill",
    [
        ({"fill": -9.0}, -0.1, (0, 0), -9.0),
        ({"nodata": {"B04": None}}, -0.1, (0, None), np.nan),
        ({"nodata": 65535}, -0.1, (65535, 65535), np.nan),
        ({"offset": {"B08": 0.0, "B04": 0.0}, "nodata": {"B08": 7}}, 0.0, (7, 0), np.nan),
    ],
)
def test_keywords_given_to_evaluate_override_the_presets(keywords, offset, nodata, fill):
    nir = np.array([[0, 7, 3000, 11000, 65535, 2000]], np.uint16)
    red = np.array([[2000, 2000, 0, 1000, 2000, 65535]], np.uint16)
    n, r = (band.astype(np.float32) * F(0.0001) + F(offset) for band in (nir, red))
    invalid = (nir == nodata[0]) | (red == nodata[1])
    want = np.where(invalid, F(fill), (n - r) / (n + r + DENOM_EPSILON))
    ndvi = rt.compile("NDVI", sensor="sentinel2-l2a")
    assert_bits_equal(ndvi.evaluate({"B08": nir, "B04": red}, **keywords), want)


def test_presets_map_their_bands_to_roles():
    s2 = rt.SENSORS["sentinel2-l2a"]
    assert {role: s2.band_for(role) for role in ("rededge1", "rededge2", "rededge3", "nir", "nir08")} == {
        "rededge1": "B05", "rededge2": "B06", "rededge3": "B07", "nir": "B08", "nir08": "B8A"}
    assert "B10" not in s2.bands and rt.SENSORS["sentinel2-l1c"].band_for("cirrus") == "B10"
    landsat = rt.SENSORS["landsat89-c2-l2"]
    assert landsat.roles_of(["SR_B5", "ST_B10", "B04"]) == {"nir", "nir08", "thermal1"}
    assert landsat.keywords(["SR_B4", "ST_B10"]) == {
        "scale": {"SR_B4": 0.0000275, "ST_B10": 0.00341802},
        "offset": {"SR_B4": -0.2, "ST_B10": 149.0},
        "nodata": {"SR_B4": 0, "ST_B10": 0},
    }
    assert set(rt.INDICES.available(["SR_B4", "SR_B5", "SR_B7", "ST_B10"], sensor=landsat)) == {
        name for name, entry in rt.INDICES.items() if set(entry.bands) <= {"red", "nir", "nir08", "swir2", "thermal1"}}
    assert "NBRT1" in rt.INDICES.available(landsat.bands, sensor=landsat)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: rt.compile("NDVI", sensor="sentinel-2"), ValueError,
         "unknown sensor 'sentinel-2'; did you mean 'sentinel2-l2a'?"),
        (lambda: rt.compile("NBRT1", sensor="sentinel2-l2a"), ValueError,
         "NBRT1 reads band 'thermal1', which sentinel2-l2a lacks"),
        (lambda: rt.compile("NDVI", sensor=3), TypeError, "sensor must be a preset's name or a Sensor, got int"),
        (lambda: rt.compile("nir - B8", sensor="sentinel2-l2a"), rt.FormulaError,
         "'B8' is not a band of sentinel2-l2a; did you mean 'B8A'? (column 7)\n    nir - B8\n          ^^"),
        (lambda: rt.compile("rededge1 / red", sensor="landsat89-c2-l1"), rt.FormulaError,
         "landsat89-c2-l1 has no rededge1 band (column 1)\n    rededge1 / red\n    ^^^^^^^^"),
    ],
)
def test_sensor_mistakes_are_named(call, error, message):
    with pytest.raises(error) as excinfo:
        call()
    assert str(excinfo.value) == message
