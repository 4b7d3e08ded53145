import rastrel

PUBLIC_NAMES = {
    "calculate_normalized_difference",
    "calculate_normalized_difference_inplace",
    "calculate_ratio_inplace",
    "calculate_adjusted_difference_inplace",
    "calculate_evi_inplace",
    "compile_expr",
    "execute_expr_inplace",
    "CompiledExpr",
}


def test_all_is_a_list_of_the_public_names():
    assert isinstance(rastrel.__all__, list)
    assert set(rastrel.__all__) == PUBLIC_NAMES
    assert len(rastrel.__all__) == len(PUBLIC_NAMES)


def test_every_exported_name_resolves():
    for name in rastrel.__all__:
        assert getattr(rastrel, name) is not None, name
