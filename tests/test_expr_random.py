"""Random valid programs over random bands in random memory layouts, checked bit for bit against a
float32 reference that runs one operation at a time."""
import numpy as np
import pytest

import rastrel
from rastrel_testing import (
    BINARY_OPS,
    LAYOUT_NAMES,
    UNARY_OPS,
    assert_bits_equal,
    assert_untouched_outside,
    band,
    bits,
    ops,
    placed,
    random_band,
    reference,
    scalar,
)

NAN = float("nan")
SPECIAL_SCALARS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -2.5, 0.1, 1e-3, 65535.0, 1e10, -1e30, 3e38, 1e40, -1e40,
    1e-40, 1e-46, float("inf"), -float("inf"), NAN,
]
CASES_PER_TEST = 12


def random_scalar(rng):
    kind = rng.integers(0, 4)
    if kind == 0:
        return SPECIAL_SCALARS[rng.integers(len(SPECIAL_SCALARS))]
    if kind == 1:
        return int(rng.integers(-5, 6))
    if kind == 2:
        return float(rng.normal() * 10.0 ** rng.integers(-3, 6))
    return float(rng.uniform(-2, 2))


def random_program(rng, num_bands):
    """A program that never overflows or underflows the stack, at most `limit` values deep; most
    end with one value, the rest leave several."""
    limit = int(rng.integers(1, 17))
    program, depth = [], 0
    for _ in range(int(rng.integers(0, 3 * limit + 4))):
        if depth == 0 or (depth < limit and rng.random() < 0.55):
            if num_bands and rng.random() < 0.6:
                program.append(band(int(rng.integers(num_bands))))
            else:
                program.append(scalar(random_scalar(rng)))
            depth += 1
        elif depth >= 2 and rng.random() < 0.7:
            program += ops(BINARY_OPS[rng.integers(len(BINARY_OPS))])
            depth -= 1
        else:
            program += ops(UNARY_OPS[rng.integers(len(UNARY_OPS))])
    if rng.random() < 0.75:
        program += ops(*(BINARY_OPS[i] for i in rng.integers(len(BINARY_OPS), size=max(depth - 1, 0))))
    return program


def random_case(rng):
    """(program, band values, bands as passed, output shape); bands are at least as large as the
    output and lie in random layouts."""
    if rng.random() < 0.15:
        shape = (int(rng.integers(20, 70)), int(rng.integers(60, 300)))
    else:
        shape = (int(rng.integers(1, 10)), int(rng.integers(1, 20)))
    values, bands = [], []
    for _ in range(int(rng.integers(0, 5))):
        extra = rng.integers(0, 4, size=2) * (rng.random() < 0.4)
        samples = random_band(rng, (shape[0] + int(extra[0]), shape[1] + int(extra[1])))
        layout = LAYOUT_NAMES[rng.integers(len(LAYOUT_NAMES))]
        values.append(samples)
        bands.append(placed(samples, layout, np.uint16)[0])
    return random_program(rng, len(bands)), values, bands, shape


def depth_reached(program):
    deepest = depth = 0
    for step in program:
        depth += {"push_band": 1, "push_scalar": 1}.get(step["type"], -1 if step["type"] in BINARY_OPS else 0)
        deepest = max(deepest, depth)
    return deepest


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("out_layout", LAYOUT_NAMES)
def test_random_programs_match_the_reference(out_layout, seed):
    rng = np.random.default_rng([seed, LAYOUT_NAMES.index(out_layout)])
    for _ in range(CASES_PER_TEST):
        program, values, bands, shape = random_case(rng)
        expr = rastrel.compile_expr(program, len(bands))
        out, buffer = placed(np.full(shape, NAN), out_layout, np.float32)
        rastrel.execute_expr_inplace(expr, bands, out)
        try:
            assert_bits_equal(out, reference(program, values, shape))
        except AssertionError as error:
            raise AssertionError(f"{program} on {shape}: {error}") from None
        # Every layout and every split of the work gives the same bits, NaN payloads included.
        plain = np.full(shape, NAN, dtype=np.float32)
        rastrel.execute_expr_inplace(expr, values, plain)
        assert (bits(out) == bits(plain)).all(), program
        assert_untouched_outside(out, buffer)


def test_the_generator_covers_every_op_and_the_full_stack():
    rng = np.random.default_rng(0)
    programs = [random_program(rng, 2) for _ in range(200)]
    kinds = {step["type"] for program in programs for step in program}
    assert kinds == {"push_band", "push_scalar", *BINARY_OPS, *UNARY_OPS}
    assert max(depth_reached(program) for program in programs) == 16
    assert any(program == [] for program in programs)
