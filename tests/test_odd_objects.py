"""Objects that are not what they claim: a sequence whose length is far from what it yields, and
a CompiledExpr made without compile_expr."""
import numpy as np
import pytest

import rastrel


class Claims(list):
    """A list whose __len__ says `claimed`, whatever it holds."""

    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


STEPS = [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 0.5}, {"type": "add"}]


@pytest.mark.parametrize("claimed", [2**40, 2**62, 0, 1])
def test_a_length_is_only_a_hint(claimed):
    expr = rastrel.compile_expr(Claims(STEPS, claimed), 1)
    band = np.arange(6, dtype=np.uint16).reshape(2, 3)
    out = np.zeros(band.shape, np.float32)
    rastrel.execute_expr_inplace(expr, Claims([band], claimed), out)
    assert (out == band.astype(np.float32) + np.float32(0.5)).all()


def test_a_compiled_expr_made_without_compile_expr_is_refused():
    try:
        blank = object.__new__(rastrel.CompiledExpr)
    except TypeError:
        return  # CPython refuses to make one at all
    out = np.full((2, 2), 7, np.float32)
    with pytest.raises(TypeError, match="argument 'expr'"):
        rastrel.execute_expr_inplace(blank, [], out)
    assert (out == 7).all()
