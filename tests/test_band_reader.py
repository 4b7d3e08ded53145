"""Bands of every sample type, scale and offset, nodata, masks and fill, read in one pass by the
engine: bit for bit against a float32 NumPy reference written here, on every memory layout."""
import numpy as np
import pytest

import rastrel
import rastrel_tools as rt
from rastrel_testing import LAYOUT_NAMES, assert_bits_equal, assert_untouched_outside, placed, reference

SHAPE = (23, 301)  # a line longer than one run of the engine, and a tail
TYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "float64"]

# Extremes of each type, and values whose float32 conversion rounds (to even at a tie).
EXTREMES = {
    "uint8": [0, 1, 255],
    "int8": [-128, -1, 0, 127],
    "uint16": [0, 1, 65535],
    "int16": [-32768, -1, 0, 32767],
    "uint32": [0, 2**32 - 1, 2**24 + 1, 2**24 + 3, 2**31 + 64, 2**31 + 192],
    "int32": [-2**31, 2**31 - 1, 2**24 + 1, -(2**24 + 3), 2**25 + 2, 2**25 + 6],
    "float32": [np.nan, np.inf, -np.inf, -0.0, 1e-45, -1.4e-40, 3.4028235e38, 0.1],
    "float64": [np.nan, -np.inf, 1e300, -1e-300, 1 + 2**-24, 1 + 3 * 2**-24, 0.1, 1e-40,
                3.4028235677973366e38, -0.0],
}


def samples(rng, dtype, shape=SHAPE):
    """Random samples of `dtype` salted with its extremes."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        values = rng.normal(0, 1000, size=shape).astype(dtype)
    else:
        info = np.iinfo(dtype)
        values = rng.integers(info.min, info.max, size=shape, endpoint=True, dtype=dtype)
    where = rng.integers(0, 4, size=shape) == 0
    salt = np.array(EXTREMES[dtype.name], dtype=dtype)
    values[where] = salt[rng.integers(0, len(salt), size=shape)][where]
    return values


def read(band, scale=1.0, offset=0.0):
    """float32(sample), then * scale and + offset as two float32 operations unless (1, 0)."""
    with np.errstate(all="ignore"):
        value = np.asarray(band).astype(np.float32)
        if scale != 1 or offset != 0:
            value = value * np.float32(scale)
            value = value + np.float32(offset)
    return value


def invalid_where(band, nodata):
    """The samples equal to `nodata` in the band's own type; NaN means NaN samples."""
    band = np.asarray(band)
    if nodata is None:
        return np.zeros(band.shape, bool)
    if band.dtype.kind == "f":
        return np.isnan(band) if np.isnan(nodata) else band == band.dtype.type(nodata)
    info = np.iinfo(band.dtype)
    if not info.min <= nodata <= info.max or nodata != int(nodata):
        return np.zeros(band.shape, bool)
    return band == band.dtype.type(int(nodata))


def expected(formula, bands, scale=None, offset=None, nodata=None, masks=(), fill=np.nan):
    """What `formula` gives over `bands`: per-band dicts of scale, offset and nodata by name."""
    scale, offset, nodata = scale or {}, offset or {}, nodata or {}
    values = [read(band, scale.get(name, 1.0), offset.get(name, 0.0))
              for name, band in zip(formula.bands, bands)]
    result = reference(formula.instructions, values, np.shape(bands[0]))
    invalid = np.zeros(np.shape(bands[0]), bool)
    for name, band in zip(formula.bands, bands):
        invalid |= invalid_where(band, nodata.get(name))
    for mask in masks:
        invalid |= mask
    return np.where(invalid, np.float32(fill), result).astype(np.float32)


NDVI = rt.compile("(a - b) / (a + b)")
MIXED = rt.compile("sqrt(abs(a)) * b - c / (d + 3)")


@pytest.mark.parametrize("dtype", TYPES)
@pytest.mark.parametrize("layout", LAYOUT_NAMES)
def test_every_band_type_in_every_layout(dtype, layout):
    rng = np.random.default_rng([TYPES.index(dtype), LAYOUT_NAMES.index(layout)])
    a, _ = placed(samples(rng, dtype), layout)
    b, _ = placed(samples(rng, dtype), layout)
    nodata = {"a": EXTREMES[dtype][0], "b": EXTREMES[dtype][-1]}
    assert_bits_equal(NDVI(a, b), expected(NDVI, [a, b]))
    assert_bits_equal(NDVI(a, b, nodata=nodata), expected(NDVI, [a, b], nodata=nodata))
    out, buffer = placed(np.zeros(SHAPE, np.float32), layout)
    scale, offset = {"a": 0.0001, "b": 2.75e-5}, {"a": -0.1, "b": -0.2}
    assert NDVI(a, b, scale=scale, offset=offset, out=out) is out
    assert_bits_equal(out, expected(NDVI, [a, b], scale, offset))
    assert_untouched_outside(out, buffer)


# The formulas the engine runs as one loop, written with some operands the other way round.
WHOLE = {
    "normalized difference": rt.compile("(a - b) / (b + a)"),
    "ratio": rt.compile("a / b"),
    "adjusted difference": rt.compile("((a - b) / (0.5 + (a + b))) * 1.5"),
    "evi": rt.compile("2.5 * ((a - b) / (((b * 6.1 + a) - 7.3 * c) + 1.05))"),
}


@pytest.mark.parametrize("dtype", ["uint16", "float32", "int16"])
@pytest.mark.parametrize("name", list(WHOLE))
def test_whole_formula_loops(name, dtype):
    formula = WHOLE[name]
    rng = np.random.default_rng([TYPES.index(dtype), len(name)])
    bands = [placed(samples(rng, dtype), layout)[0]
             for layout in (LAYOUT_NAMES[0], LAYOUT_NAMES[-1], LAYOUT_NAMES[0])][:len(formula.bands)]
    names = dict(zip(formula.bands, bands))
    nodata = {"a": EXTREMES[dtype][0], "b": EXTREMES[dtype][-1]}
    scale, offset = {"a": 1e-4, "b": 2.75e-5}, {"b": -0.2}
    assert_bits_equal(formula.evaluate(names, nodata=nodata), expected(formula, bands, nodata=nodata))
    assert_bits_equal(formula.evaluate(names, nodata=nodata, scale=scale, offset=offset, fill=-1),
                      expected(formula, bands, scale, offset, nodata, fill=-1))


@pytest.mark.parametrize("types", [("uint8", "float64", "int32", "uint16"),
                                   ("float32", "int8", "uint32", "int16"),
                                   ("uint16", "uint16", "float32", "float32")])
def test_mixed_types_with_scale_offset_nodata_and_masks(types):
    rng = np.random.default_rng(len(types[0]))
    bands = [samples(rng, t) for t in types]
    mask = rng.integers(0, 9, size=SHAPE) == 0
    masked = np.ma.masked_array(bands[3], mask=rng.integers(0, 9, size=SHAPE) == 0)
    nodata = {"a": 0, "b": float("nan"), "c": -1}
    scale, offset = {"a": 0.5, "c": 3.0}, {"b": -0.1, "c": 0.25}
    got = MIXED(bands[0], bands[1], bands[2], masked, nodata=nodata, mask=mask, fill=-9999,
                scale=scale, offset=offset)
    want = expected(MIXED, bands, scale, offset, nodata, [mask, masked.mask], fill=-9999)
    assert_bits_equal(got, want)


def test_a_plain_number_applies_to_every_band():
    rng = np.random.default_rng(5)
    a, b = samples(rng, "uint16"), samples(rng, "int16")
    per_band = dict.fromkeys("ab")
    got = NDVI(a, b, scale=1e-4, offset=-0.1, nodata=0)
    assert_bits_equal(got, expected(NDVI, [a, b], {k: 1e-4 for k in per_band},
                              {k: -0.1 for k in per_band}, {k: 0 for k in per_band}))


def test_successive_calls_with_other_numbers_read_their_own():
    # A formula keeps what each set of number keywords makes of its bands for later calls.
    rng = np.random.default_rng(11)
    a, b = samples(rng, "float32"), samples(rng, "float32")
    formula = rt.compile("(a - b) / (a + b)")
    calls = [{}, {"nodata": 0.1}, {"nodata": np.float32(0.1)}, {"nodata": np.float64(0.1)},
             {"scale": 2, "offset": 1.0}, {"scale": {"a": 2.0}}, {"scale": 2.0}, {}]
    calls += [{"nodata": float("nan"), "fill": k} for k in range(20)]  # keys that never match
    for keywords in calls:
        per_band = {k: {name: v for name in "ab"} if not isinstance(v, dict) else v
                    for k, v in keywords.items() if k != "fill"}
        want = expected(formula, [a, b], fill=keywords.get("fill", np.nan), **per_band)
        assert_bits_equal(formula(a, b, **keywords), want)


def test_scale_one_offset_zero_changes_no_bit():
    # -0.0 + 0.0 would be +0.0: an identity read must skip both operations.
    values = np.array([[-0.0, 0.0, 5.0, -np.inf]] * 2, dtype=np.float32)
    formula = rt.compile("a", bands=["a"])
    for nodata in (None, 7):
        got = formula(values, scale=1, offset=0, nodata=nodata)
        assert got.view(np.uint32).tolist() == values.view(np.uint32).tolist()
    assert not np.signbit(formula(values, scale=2)[0, 0])


@pytest.mark.parametrize(
    "dtype, nodata, marked",
    [
        ("uint16", -1, []),          # no uint16 sample is -1
        ("int16", 0.5, []),          # nor any integer 0.5
        ("uint8", 255.0, [3]),       # an integral float is that integer
        ("float32", 0.1, [2]),       # a Python float rounds to the band's float32
        ("float32", float("nan"), [1]),
        ("float64", 0.1, []),        # float64 keeps it: float32(0.1) widened is not 0.1
    ],
)
def test_nodata_compares_with_the_raw_sample(dtype, nodata, marked):
    values = np.array([[0, np.nan if dtype[0] == "f" else 7, 0.1 if dtype[0] == "f" else 9, 255]],
                      dtype=np.float64)
    band = (values.astype(np.float32) if dtype == "float64" else values).astype(dtype)
    got = rt.compile("a + 1")(band, nodata=nodata, fill=-5)
    assert [i for i in range(4) if got[0, i] == -5] == marked


def test_masks_masked_arrays_stacks_and_fill():
    rng = np.random.default_rng(9)
    a, b = samples(rng, "int16", (3, 40, 50)), samples(rng, "float32", (3, 40, 50))
    plane_mask = rng.integers(0, 5, size=(40, 50)) == 0
    band_mask = rng.integers(0, 5, size=(3, 40, 50)) == 0
    got = NDVI(np.ma.masked_array(a, mask=band_mask), b, mask=plane_mask, fill=2.5)
    for k in range(3):
        assert_bits_equal(got[k], expected(NDVI, [a[k], b[k]], masks=[plane_mask, band_mask[k]], fill=2.5))
    # A masked array without a mask, and one whose mask is all False, change nothing.
    assert_bits_equal(NDVI(np.ma.masked_array(a[0]), b[0]), expected(NDVI, [a[0], b[0]]))


def test_reflectance_constants_default_to_one_with_scaled_bands():
    rng = np.random.default_rng(2)
    nir, red, blue = (samples(rng, "uint16") for _ in range(3))
    s2 = {"scale": 1e-4, "offset": -0.1}
    evi = rt.compile("EVI")
    in_reflectance = rt.compile("EVI", constants={"scale": 1})
    assert_bits_equal(evi(nir, red, blue, **s2), expected(in_reflectance, [nir, red, blue],
                                                    *({k: v for k in "nir red blue".split()}
                                                      for v in s2.values())))
    assert_bits_equal(evi(nir, red, blue), expected(evi, [nir, red, blue]))
    # A value the caller gave stays.
    chosen = rt.compile("SAVI", constants={"scale": 2})
    assert_bits_equal(chosen(nir, red, **s2),
                expected(chosen, [nir, red], *({k: v for k in ("nir", "red")} for v in s2.values())))


def test_non_native_byte_order_and_bool_bands():
    rng = np.random.default_rng(3)
    a = samples(rng, "float64")
    b = samples(rng, "int32")
    flag = rng.integers(0, 2, size=SHAPE).astype(bool)
    got = MIXED(a.astype(">f8"), b.astype(">i4"), flag, b, nodata={"c": 1})
    assert_bits_equal(got, expected(MIXED, [a, b, flag.astype(np.uint8), b], nodata={"c": 1}))


def test_unreadable_band_types_are_named():
    a = np.zeros((2, 2), np.uint16)
    for dtype in ("int64", "uint64", "float16", "complex64"):
        with pytest.raises(TypeError) as excinfo:
            NDVI(a, np.zeros((2, 2), dtype))
        assert str(excinfo.value) == (
            f"band 'b' has dtype {dtype}, which rastrel cannot read (it reads bool, uint8, int8, "
            "uint16, int16, uint32, int32, float32 and float64)")
    cases = [
        (lambda: NDVI(a, a, mask=a), TypeError, "mask must hold bool values (True = invalid), got uint16"),
        (lambda: NDVI(a, a, mask=np.zeros((3, 2), bool)), ValueError,
         "mask has shape (3, 2), the bands have (2, 2)"),
        (lambda: NDVI(a, a, scale={"a": "x"}), TypeError, "scale for band 'a' must be a number or None, got str"),
        (lambda: NDVI(a, a, nodata=[0]), TypeError, "nodata must be a number or None, got list"),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as excinfo:
            call()
        assert str(excinfo.value) == message


def test_the_native_reader_is_private_and_checks_its_arguments():
    assert "_execute_bands_inplace" not in rastrel.__all__
    expr = NDVI.expr
    a = np.zeros((2, 3), np.uint16)
    out = np.zeros((2, 3), np.float32)
    plain = [(1.0, 0.0, None)] * 2
    run = rastrel._execute_bands_inplace
    cases = [
        (lambda: run(expr, [a, a.astype(">u2")], plain, [], 0.0, out), TypeError,
         "argument 'bands': band 1 has dtype >u2; bands hold uint8, int8, uint16, int16, uint32, "
         "int32, float32 or float64 samples in native byte order"),
        (lambda: run(expr, [a, a.astype(np.int64)], plain, [], 0.0, out), TypeError,
         "argument 'bands': band 1 has dtype int64; bands hold uint8, int8, uint16, int16, uint32, "
         "int32, float32 or float64 samples in native byte order"),
        (lambda: run(expr, [a, a[0]], plain, [], 0.0, out), TypeError,
         "argument 'bands': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: run(expr, [a, a], plain, [a], 0.0, out), TypeError,
         "argument 'masks': 'ndarray' object cannot be converted to 'PyArray<bool, Ix2>'"),
        (lambda: run(expr, [a, a[:, :2]], plain, [], 0.0, out), ValueError,
         "band 1 has shape (2, 2), out_buffer has (2, 3)"),
        (lambda: run(expr, [a, a], plain, [np.zeros((3, 3), bool)], 0.0, out), ValueError,
         "mask 0 has shape (3, 3), out_buffer has (2, 3)"),
        (lambda: run(expr, [a], plain[:1], [], 0.0, out), ValueError, "Band count mismatch."),
        (lambda: run(expr, [a, a], plain[:1], [], 0.0, out), ValueError, "one read per band is needed"),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as excinfo:
            call()
        assert str(excinfo.value) == message
    assert not out.any()
