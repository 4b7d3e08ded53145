"""The five band indices: exact values, shape checks, empty arrays, and every memory layout."""
import re
import threading
import time

import numpy as np
import pytest

import rastrel
from rastrel_testing import (
    DENOM_EPSILON,
    LAYOUT_NAMES,
    assert_bits_equal,
    assert_untouched_outside,
    bits,
    carve,
    placed,
    random_band,
    ref_adjusted_difference,
    ref_evi,
    ref_normalized_difference,
    ref_ratio,
)

EPS = float(DENOM_EPSILON)
NAN = float("nan")


def normalized_difference_new(a, b, out):
    out[...] = rastrel.calculate_normalized_difference(a, b)


# name: (function taking (*bands, *coefficients, out), band count, coefficient count, reference)
KERNELS = {
    "normalized_difference_inplace": (rastrel.calculate_normalized_difference_inplace, 2, 0, ref_normalized_difference),
    "normalized_difference": (normalized_difference_new, 2, 0, ref_normalized_difference),
    "ratio": (rastrel.calculate_ratio_inplace, 2, 0, ref_ratio),
    "adjusted_difference": (rastrel.calculate_adjusted_difference_inplace, 2, 1, ref_adjusted_difference),
    "evi": (rastrel.calculate_evi_inplace, 3, 4, ref_evi),
}
# Coefficients whose products and sums round: a fused multiply-add or a regrouping shows here.
INEXACT = {"adjusted_difference": (1.05,), "evi": (2.5, 6.1, 7.3, 1.05)}


def run(kernel, bands, coefficients=(), out=None):
    function = KERNELS[kernel][0]
    if out is None:
        out = np.full(bands[0].shape, np.nan, dtype=np.float32)
    assert function(*bands, *coefficients, out) is None
    return out


# ---------------------------------------------------------------------------------------------
# Exact values. Every pixel of a 3 x 7 array holds the same samples, so both the vector loop and
# its remainder compute each case.

ND = "normalized_difference_inplace"
EVI_STANDARD = (2.5, 6.0, 7.5, 1.0)


@pytest.mark.parametrize(
    "kernel, samples, coefficients, expected",
    [
        (ND, (0, 0), (), 0.0),
        (ND, (65535, 0), (), 1.0),
        (ND, (0, 65535), (), -1.0),
        (ND, (3, 1), (), 0.5),
        ("normalized_difference", (3, 1), (), 0.5),
        ("normalized_difference", (0, 0), (), 0.0),
        ("ratio", (0, 0), (), 0.0),
        ("ratio", (1, 0), (), 10000000000.0),
        ("ratio", (65535, 0), (), 655350000779264.0),
        ("ratio", (3, 2), (), 1.5),
        ("ratio", (1, 3), (), 0.3333333432674408),
        ("adjusted_difference", (3, 1), (0.5,), 0.6666666865348816),
        ("adjusted_difference", (200, 100), (0.5,), 0.4991680383682251),
        ("adjusted_difference", (0, 0), (0.5,), 0.0),
        ("adjusted_difference", (1, 0), (-1.0,), 0.0),
        ("adjusted_difference", (0, 1), (-1.0,), -0.0),
        ("adjusted_difference", (1, 1), (-2.0,), -0.0),
        ("adjusted_difference", (2, 1), (-3.0,), -20000000000.0),
        ("adjusted_difference", (0, 0), (-EPS,), NAN),
        ("adjusted_difference", (0, 0), (NAN,), NAN),
        ("adjusted_difference", (7, 3), (NAN,), NAN),
        ("evi", (3000, 1000, 500), EVI_STANDARD, 0.9521995782852173),
        ("evi", (1000, 500, 2000), EVI_STANDARD, -0.11364669352769852),
        ("evi", (0, 0, 0), EVI_STANDARD, 0.0),
        ("evi", (1, 0, 0), (1.0, 0.0, 0.0, 0.0), 1.0),
        ("evi", (0, 0, 0), (2.5, 6.0, 7.5, -EPS), NAN),
        ("evi", (0, 0, 1), EVI_STANDARD, -0.0),
    ],
)
def test_known_values(kernel, samples, coefficients, expected):
    bands = [np.full((3, 7), s, dtype=np.uint16) for s in samples]
    out = run(kernel, bands, coefficients)
    assert np.isnan(expected) or float(np.float32(expected)) == expected
    assert_bits_equal(out, np.full(out.shape, expected))


def test_adjusted_difference_with_infinite_l_is_nan_everywhere():
    rng = np.random.default_rng(1)
    a, b = random_band(rng, (9, 11)), random_band(rng, (9, 11))
    assert np.isnan(run("adjusted_difference", [a, b], (1e39,))).all()


def test_evi_with_zero_gain_is_signed_zero_or_nan():
    rng = np.random.default_rng(2)
    bands = [random_band(rng, (16, 19)) for _ in range(3)]
    for band in bands:
        band[0, 0] = 0  # the denominator is exactly 0 here
    out = run("evi", bands, (0.0, 6.0, 7.5, -EPS))
    assert_bits_equal(out, ref_evi(*bands, 0.0, 6.0, 7.5, -EPS))
    finite = out[~np.isnan(out)]
    assert np.isnan(out[0, 0]) and (finite == 0).all()
    assert np.signbit(finite).any() and not np.signbit(finite).all()


def test_same_array_for_every_band():
    rng = np.random.default_rng(3)
    band = random_band(rng, (12, 13))
    assert_bits_equal(run(ND, [band, band]), np.zeros(band.shape, np.float32))
    assert_bits_equal(run("ratio", [band, band]), np.where(band > 0, 1.0, 0.0).astype(np.float32))
    band[0, 0] = 0
    for c2, sign in ((0.3, 1.0), (7.3, -1.0)):  # the sign of the denominator where band > 0
        evi = run("evi", [band, band, band], (2.5, 6.1, c2, -EPS))
        assert_bits_equal(evi, ref_evi(band, band, band, 2.5, 6.1, c2, -EPS))
        assert_bits_equal(evi, np.where(band > 0, sign * 0.0, NAN))


# ---------------------------------------------------------------------------------------------
# Shapes.

A, WIDE, TALL = (100, 200), (100, 201), (200, 100)


@pytest.mark.parametrize(
    "kernel, shapes, message",
    [
        (ND, [A, WIDE, A], "Shape mismatch at index 1: expected [100, 200], got [100, 201]"),
        (ND, [A, A, TALL], "Shape mismatch at index 2: expected [100, 200], got [200, 100]"),
        (ND, [A, WIDE, TALL], "Shape mismatch at index 1: expected [100, 200], got [100, 201]"),
        ("ratio", [A, A, (100, 0)], "Shape mismatch at index 2: expected [100, 200], got [100, 0]"),
        ("ratio", [(0, 5), (5, 0), (0, 5)], "Shape mismatch at index 1: expected [0, 5], got [5, 0]"),
        ("adjusted_difference", [A, TALL, A], "Shape mismatch at index 1: expected [100, 200], got [200, 100]"),
        ("adjusted_difference", [A, A, WIDE], "Shape mismatch at index 2: expected [100, 200], got [100, 201]"),
        ("evi", [A, WIDE, A, A], "Shape mismatch at index 1: expected [100, 200], got [100, 201]"),
        ("evi", [A, A, TALL, A], "Shape mismatch at index 2: expected [100, 200], got [200, 100]"),
        ("evi", [A, A, A, (1, 1)], "Shape mismatch at index 3: expected [100, 200], got [1, 1]"),
        ("evi", [A, A, WIDE, TALL], "Shape mismatch at index 2: expected [100, 200], got [100, 201]"),
        ("evi", [WIDE, A, A, A], "Shape mismatch at index 1: expected [100, 201], got [100, 200]"),
    ],
)
def test_shape_mismatch(kernel, shapes, message):
    _, n_bands, n_coefficients, _ = KERNELS[kernel]
    bands = [np.ones(shape, dtype=np.uint16) for shape in shapes[:-1]]
    out = np.full(shapes[-1], 7.0, dtype=np.float32)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        run(kernel, bands, (1.0,) * n_coefficients, out)
    assert (out == 7.0).all()


@pytest.mark.parametrize("shape_b", [WIDE, TALL, (0, 200)])
def test_new_array_shape_mismatch_names_band_b(shape_b):
    message = f"Shape mismatch at index 1: expected [100, 200], got [{shape_b[0]}, {shape_b[1]}]"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        rastrel.calculate_normalized_difference(np.ones(A, np.uint16), np.ones(shape_b, np.uint16))


@pytest.mark.parametrize("shape", [(0, 7), (7, 0), (0, 0)])
@pytest.mark.parametrize("kernel", list(KERNELS))
def test_empty_arrays(kernel, shape):
    _, n_bands, n_coefficients, _ = KERNELS[kernel]
    out = run(kernel, [np.zeros(shape, np.uint16)] * n_bands, (1.0,) * n_coefficients)
    assert out.shape == shape


@pytest.mark.parametrize("shape", [(0, 7), (7, 0)])
def test_new_array_of_empty_bands(shape):
    result = rastrel.calculate_normalized_difference(np.zeros(shape, np.uint16), np.zeros(shape, np.uint16))
    assert (type(result), result.dtype, result.shape) == (np.ndarray, np.float32, shape)


@pytest.mark.parametrize("layout", LAYOUT_NAMES)
def test_new_array_is_c_ordered_float32_of_band_a_shape(layout):
    rng = np.random.default_rng(4)
    a_values, b_values = random_band(rng, (23, 9)), random_band(rng, (23, 9))
    a, _ = placed(a_values, layout)
    b, _ = placed(b_values, "reversed_both")
    result = rastrel.calculate_normalized_difference(a, b)
    assert type(result) is np.ndarray and result.dtype == np.float32 and result.shape == (23, 9)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert_bits_equal(result, ref_normalized_difference(a_values, b_values))


# ---------------------------------------------------------------------------------------------
# Layouts and random inputs, compared bit for bit with the reference. The output is carved out of
# a sentinel-filled buffer that must keep the sentinel around the output's elements, so a pixel written
# twice, to the wrong place, or not at all shows up.


def check_against_reference(kernel, shape, band_layouts, out_layout, coefficients, rng):
    _, n_bands, _, reference = KERNELS[kernel]
    values = [random_band(rng, shape) for _ in range(n_bands)]
    bands = [placed(v, layout)[0] for v, layout in zip(values, band_layouts)]
    out, out_buffer = carve(shape, out_layout, np.float32)
    run(kernel, bands, coefficients, out)

    expected = reference(*values, *coefficients)
    assert_bits_equal(out, expected)
    assert_untouched_outside(out, out_buffer)
    for band, v in zip(bands, values):
        assert np.array_equal(band, v), "an input band was modified"


@pytest.mark.parametrize("layout", LAYOUT_NAMES)
@pytest.mark.parametrize("kernel", list(KERNELS))
def test_every_layout(kernel, layout):
    _, n_bands, _, _ = KERNELS[kernel]
    out_layout = "c" if kernel == "normalized_difference" else layout
    check_against_reference(
        kernel, (37, 53), [layout] * n_bands, out_layout, INEXACT.get(kernel, ()), np.random.default_rng(5)
    )


# Bands and outputs that run along different axes, large enough to be cut into pieces on the
# pool and walked in tiles with partial tiles at the edges.
@pytest.mark.parametrize(
    "band_layouts, out_layout",
    [
        (["fortran", "c", "c"], "c"),
        (["c", "fortran", "fortran"], "c"),
        (["c", "c", "c"], "fortran"),
        (["fortran", "c", "misaligned_c"], "fortran"),
        (["transposed_strided", "misaligned_fortran", "strided"], "reversed_both"),
        (["reversed_fortran_strided", "reversed_both", "fortran"], "misaligned_fortran"),
    ],
)
@pytest.mark.parametrize("kernel", ["ratio", "evi"])
def test_mixed_axes_cut_into_pieces(kernel, band_layouts, out_layout):
    _, n_bands, _, _ = KERNELS[kernel]
    check_against_reference(
        kernel, (261, 397), band_layouts[:n_bands], out_layout, INEXACT.get(kernel, ()), np.random.default_rng(9)
    )


SHAPES = [(1, 1), (1, 3), (1, 17), (17, 1), (2, 4), (5, 3), (8, 8), (37, 53), (64, 129), (3, 1031), (0, 9)]


def random_coefficients(rng, count):
    picks = [
        lambda: float(rng.uniform(-10, 10)),
        lambda: float(rng.integers(-3, 4)),  # whole l make zero denominators
        lambda: float(rng.choice([-1, 1]) * 10.0 ** rng.uniform(-40, 39)),
        lambda: float(rng.choice([1.05, 2.5, 6.1, 7.3, -EPS, float("inf"), float("-inf")])),
    ]
    return tuple(picks[int(rng.integers(len(picks)))]() for _ in range(count))


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("kernel", list(KERNELS))
def test_random_shapes_layouts_and_coefficients(kernel, seed):
    rng = np.random.default_rng([seed, list(KERNELS).index(kernel)])
    _, n_bands, n_coefficients, _ = KERNELS[kernel]
    shape = SHAPES[int(rng.integers(len(SHAPES)))]
    band_layouts = [LAYOUT_NAMES[int(i)] for i in rng.integers(len(LAYOUT_NAMES), size=n_bands)]
    out_layout = "c" if kernel == "normalized_difference" else LAYOUT_NAMES[int(rng.integers(len(LAYOUT_NAMES)))]
    coefficients = INEXACT.get(kernel, ()) if seed % 4 == 0 else random_coefficients(rng, n_coefficients)
    check_against_reference(kernel, shape, band_layouts, out_layout, coefficients, rng)


@pytest.mark.parametrize("layout", ["c", "strided", "misaligned_reversed_both"])
def test_adjusted_difference_with_zero_l_is_normalized_difference(layout):
    rng = np.random.default_rng(6)
    a, b = (placed(random_band(rng, (31, 67)), layout)[0] for _ in range(2))
    for l in (0.0, -0.0, 0):
        assert_bits_equal(run("adjusted_difference", [a, b], (l,)), run(ND, [a, b]))


def test_broadcast_bands_are_read_through_zero_strides():
    rng = np.random.default_rng(7)
    row, column = random_band(rng, (1, 45)), random_band(rng, (30, 1))
    a, b = np.broadcast_to(row, (30, 45)), np.broadcast_to(column, (30, 45))
    assert a.strides[0] == 0 and b.strides[1] == 0
    assert_bits_equal(run("ratio", [a, b]), ref_ratio(a, b))
    assert_bits_equal(rastrel.calculate_normalized_difference(a, b), ref_normalized_difference(a, b))


def test_views_into_larger_arrays():
    # Slices with steps and offsets of ordinary NumPy arrays, not only hand-made strides.
    rng = np.random.default_rng(8)
    base = random_band(rng, (60, 90))
    a, b, c = base[5:44:3, 80:40:-4], base.T[10:36:2, 7:17], base[::-4, ::9][:13, :10]
    out_base = np.zeros((40, 40), np.float32)
    out = out_base[3:29:2, 39:0:-4]
    run("evi", [a, b, c], (2.5, 6.1, 7.3, 1.05), out)
    assert_bits_equal(out, ref_evi(a, b, c, 2.5, 6.1, 7.3, 1.05))
    untouched = np.ones(out_base.shape, bool)
    untouched[3:29:2, 39:0:-4] = False
    assert (out_base[untouched] == 0).all() and bits(out_base[untouched]).max() == 0


def window(values, layout, dtype, fill=0):
    """`values` placed inside a larger array: "rows" gives rows of unit step spaced wider than
    they are long, "columns" the same for columns. Returns (view, the larger array)."""
    rows, cols = values.shape
    if layout == "rows":
        base = np.full((rows, cols + 37), fill, dtype)
        view = base[:, 5:5 + cols]
    else:
        base = np.full((rows + 37, cols), fill, dtype, order="F")
        view = base[5:5 + rows, :]
    view[...] = values
    return view, base


@pytest.mark.parametrize("layout", ["rows", "columns"])
@pytest.mark.parametrize("shape", [(37, 53), (2048, 2048)], ids=["small", "streamed"])
def test_lines_of_unit_step_inside_wider_arrays(shape, layout):
    # Such lines go whole to the vector loops, one at a time; an output of 16 MiB is written with
    # streaming stores, each line from its first cache-line boundary on. Nothing around the
    # output's window may change.
    rng = np.random.default_rng(9)
    values = [random_band(rng, shape) for _ in range(3)]
    bands = [window(v, layout, np.uint16)[0] for v in values]
    out, out_base = window(np.full(shape, NAN, np.float32), layout, np.float32, fill=NAN)
    before = bits(out_base).copy()
    run("evi", bands, INEXACT["evi"], out)
    assert_bits_equal(out, ref_evi(*values, *INEXACT["evi"]))
    outside = np.ones(out_base.shape, bool)
    if layout == "rows":
        outside[:, 5:5 + shape[1]] = False
    else:
        outside[5:5 + shape[0], :] = False
    assert (bits(out_base)[outside] == before[outside]).all()


def test_streamed_output_of_contiguous_arrays():
    # 2048 x 2048 float32 is 16 MiB: whole pieces streamed past the caches, in place and into a
    # new array (which is written through the cache).
    rng = np.random.default_rng(10)
    a, b = random_band(rng, (2048, 2048)), random_band(rng, (2048, 2048))
    assert_bits_equal(run(ND, [a, b]), ref_normalized_difference(a, b))
    assert_bits_equal(rastrel.calculate_normalized_difference(a, b), ref_normalized_difference(a, b))
    assert_bits_equal(run("adjusted_difference", [a, b], INEXACT["adjusted_difference"]),
                      ref_adjusted_difference(a, b, *INEXACT["adjusted_difference"]))


@pytest.mark.parametrize("kernel", [name for name in KERNELS if name != "normalized_difference"])
def test_other_threads_run_while_the_pixels_are_computed(kernel):
    # Calls alternate between two sets of bands whose results differ. Seen from this thread, an
    # output whose first and last pixels disagree is one that a call is writing at that moment:
    # this thread ran during the loop, so the loop let go of the interpreter lock. Both pixels are
    # read at one instant, by one slice of a memoryview (NumPy's indexing may let go of the lock
    # between elements), and nothing else writes the output. A call takes milliseconds and the
    # lock may come back here only after it ended, so calls are repeated until one is caught in
    # the middle.
    count = KERNELS[kernel][1]
    samples = [(7, 3, 1), (3, 7, 1)]
    band_sets = [[np.full((2048, 2048), value, dtype=np.uint16) for value in chosen[:count]] for chosen in samples]
    coefficients = INEXACT.get(kernel, ())
    out = run(kernel, band_sets[0], coefficients)
    pixels = memoryview(out.reshape(-1))
    corners = pixels[:: len(pixels) - 1]
    stop, errors = threading.Event(), []

    def repeat():
        try:
            while not stop.is_set():
                for bands in band_sets:
                    run(kernel, bands, coefficients, out)
        except BaseException as error:
            errors.append(error)

    caller = threading.Thread(target=repeat, daemon=True)
    caller.start()
    try:
        deadline = time.monotonic() + 60
        while len(set(corners.tolist())) == 1:
            assert caller.is_alive() and time.monotonic() < deadline, errors or "the loop kept the lock"
    finally:
        stop.set()
        caller.join(60)
    assert not errors and not caller.is_alive()
