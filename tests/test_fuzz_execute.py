"""execute_expr_inplace with random programs, valid and faulty, over bands and outputs of random
shapes and memory layouts: every result matches the float32 reference bit for bit, every fault is
one that some pixel raises, nothing outside the output's elements is written, and nothing stays
borrowed."""
import numpy as np
from hypothesis import event, given
from hypothesis import strategies as st

import rastrel
from fuzzing import Raised, assert_nothing_borrowed, budget, outcome_of, pixel_faults
from rastrel_testing import BINARY_OPS, LAYOUT_NAMES, UNARY_OPS, assert_bits_equal, assert_untouched_outside, bits, placed, random_band, reference

SCALARS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, -2.5, 0.1, 1e-3, 65535.0, 1e10, -1e30, 3e38, 1e40, 1e-40, 1e-46,
           float("inf"), -float("inf"), float("nan")]


@st.composite
def program(draw, band_count):
    """Mostly programs that keep the stack between 1 and 16 values; now and then a step that
    names a missing band, overflows or underflows the stack."""
    limit = draw(st.integers(1, 17))
    faulty = draw(st.integers(0, 3)) == 0
    steps, depth = [], 0
    for _ in range(draw(st.integers(0, 24))):
        choice = draw(st.integers(0, 99))
        if faulty and choice < 6:
            pick = draw(st.integers(0, 2))
            if pick == 0:
                steps.append({"type": "push_band", "index": draw(st.sampled_from([band_count, band_count + 1, 2**64 - 1]))})
            else:
                steps.append({"type": draw(st.sampled_from(BINARY_OPS + UNARY_OPS))})
        elif depth == 0 or (depth < limit and choice < 55):
            if band_count and draw(st.booleans()):
                steps.append({"type": "push_band", "index": draw(st.integers(0, band_count - 1))})
            else:
                steps.append({"type": "push_scalar", "value": draw(st.one_of(st.sampled_from(SCALARS), st.floats()))})
            depth += 1
        elif depth >= 2 and choice < 85:
            steps.append({"type": draw(st.sampled_from(BINARY_OPS))})
            depth -= 1
        else:
            steps.append({"type": draw(st.sampled_from(UNARY_OPS))})
    return steps


@st.composite
def case(draw):
    if draw(st.integers(0, 5)) == 0:
        shape = (draw(st.integers(8, 48)), draw(st.integers(32, 160)))
    else:
        shape = (draw(st.integers(0, 6)), draw(st.integers(0, 40)))  # across the widths of vector runs
    count = draw(st.integers(0, 4))
    values = []
    for _ in range(count):
        # Mostly covering the output; sometimes larger, sometimes smaller in either dimension.
        grow = draw(st.sampled_from([(0, 0), (0, 0), (0, 0), (1, 2), (3, 0), (-1, 0), (0, -2)]))
        band_shape = (max(0, shape[0] + grow[0]), max(0, shape[1] + grow[1]))
        seed = draw(st.integers(0, 2**32 - 1))
        values.append(random_band(np.random.default_rng(seed), band_shape))
    layouts = [draw(st.sampled_from(LAYOUT_NAMES)) for _ in range(count + 1)]
    return draw(program(count)), values, layouts, shape


@budget(200)
@given(case())
def test_random_programs_on_random_layouts(case):
    steps, values, layouts, shape = case
    bands = [placed(v, layout, np.uint16) for v, layout in zip(values, layouts)]
    out, out_buffer = placed(np.full(shape, np.nan), layouts[-1], np.float32)
    band_buffers = [buffer.copy() for _, buffer in bands]
    expr = rastrel.compile_expr(steps, len(values))

    status, result = outcome_of(lambda: rastrel.execute_expr_inplace(expr, [b for b, _ in bands], out))
    faults = pixel_faults(steps, [v.shape for v in values], shape)
    event("fault" if faults else "value" if out.size else "empty")
    if faults:
        Raised.panic(None).check(result)
        assert str(result) in faults, (str(result), faults)
    else:
        assert status == "ok", result
        # An empty output evaluates nothing: any program succeeds on it.
        assert_bits_equal(out, reference(steps, values, shape) if out.size else out)
        # Every layout and every split of the work gives the same bits, NaN payloads included.
        plain = np.full(shape, np.nan, np.float32)
        rastrel.execute_expr_inplace(expr, [np.ascontiguousarray(v[: shape[0], : shape[1]]) for v in values], plain)
        assert (bits(out) == bits(plain)).all()

    for (_, buffer), before in zip(bands, band_buffers):
        assert (buffer == before).all(), "a band was written"
    assert_untouched_outside(out, out_buffer)
    assert_nothing_borrowed([b for b, _ in bands] + [out])
