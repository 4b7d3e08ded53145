"""The module object: import, registration, function attributes and the fault exception."""
import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import rastrel
from rastrel_testing import cpython_only

FUNCTIONS = [
    ("calculate_normalized_difference_inplace", "(band_a, band_b, out_buffer)"),
    ("calculate_ratio_inplace", "(band_a, band_b, out_buffer)"),
    ("calculate_adjusted_difference_inplace", "(band_a, band_b, l, out_buffer)"),
    ("calculate_evi_inplace", "(nir, red, blue, g, c1, c2, l, out_buffer)"),
    ("calculate_normalized_difference", "(band_a, band_b)"),
    ("compile_expr", "(instructions, num_bands)"),
    ("execute_expr_inplace", "(expr, bands, out_buffer)"),
]


def check_all(names):
    """The functions in registration order, then the program class; each name once."""
    assert type(names) is list
    assert names == [name for name, _ in FUNCTIONS] + ["CompiledExpr"]


def test_all_lists_the_functions_in_registration_order():
    check_all(rastrel.__all__)
    public = {name for name in vars(rastrel) if not name.startswith("_")}
    assert public == set(rastrel.__all__)
    assert all(getattr(rastrel, name) is not None for name in rastrel.__all__)


def test_importing_again_gives_the_same_module():
    assert importlib.import_module("rastrel") is rastrel
    check_all(rastrel.__all__)


@cpython_only("PyPy re-creates a removed single-phase module from a copy of its dictionary")
def test_import_after_removal_from_sys_modules_gives_the_cached_module():
    del sys.modules["rastrel"]
    try:
        again = importlib.import_module("rastrel")
    finally:
        sys.modules["rastrel"] = rastrel
    assert again is rastrel
    check_all(rastrel.__all__)


def test_module_doc_is_empty():
    assert rastrel.__doc__ == ""


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_function_attributes(name, signature):
    function = getattr(rastrel, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "rastrel")
    # From the doc text "name(signature)\n--\n\n": a signature and no further documentation.
    assert function.__text_signature__ == signature
    assert function.__doc__ is None


@cpython_only("PyPy does not expose __self__ of extension functions")
@pytest.mark.parametrize("name", [name for name, _ in FUNCTIONS])
def test_function_self_is_the_module(name):
    assert getattr(rastrel, name).__self__ is rastrel


# ---------------------------------------------------------------------------------------------
# In a fresh interpreter: NumPy is fetched at the first call that tests an array, not at import.


def run_fresh(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(rastrel.__file__), env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, "-W", "error::DeprecationWarning", "-c", textwrap.dedent(code)],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


MISSING_NUMPY = (
    "Failed to access NumPy array API capsule: PyErr { type: <class 'ModuleNotFoundError'>, "
    "value: ModuleNotFoundError('import of numpy halted; None in sys.modules'), traceback: None }"
)


def test_fault_without_numpy_raises_panic_exception_and_the_next_call_retries():
    out = run_fresh(
        """
        import sys
        sys.modules["numpy"] = None
        import rastrel
        faults = []
        for call in (lambda: rastrel.calculate_ratio_inplace(1, 2, 3),
                     lambda: rastrel.calculate_normalized_difference(band_b=None, band_a=None)):
            try:
                call()
            except BaseException as fault:
                faults.append(fault)
        first, second = faults
        cls = type(first)
        assert type(second) is cls and str(first) == str(second), (first, second)
        assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
        assert not isinstance(first, Exception) and first.args == (str(first),)
        assert cls.__doc__.startswith("\\n") and "BaseException" in cls.__doc__
        assert not hasattr(rastrel, "PanicException")
        print(str(first))

        del sys.modules["numpy"]
        import numpy
        result = rastrel.calculate_normalized_difference(numpy.ones((1, 2), numpy.uint16), numpy.zeros((1, 2), numpy.uint16))
        assert result.tolist() == [[1.0, 1.0]]
        """
    )
    assert out == MISSING_NUMPY + "\n"


def test_multiarray_module_of_the_installed_numpy_is_used():
    # NumPy 2 moved the C-API capsule to numpy._core; its numpy.core shim warns, and the
    # warning is an error here. NumPy 1.26 has a numpy._core stub that nothing imports by itself.
    out = run_fresh(
        """
        import sys, numpy, rastrel
        rastrel.calculate_normalized_difference(numpy.ones((1, 2), numpy.uint16), numpy.ones((1, 2), numpy.uint16))
        major = int(numpy.__version__.split(".")[0])
        wrong = "numpy.core.multiarray" if major >= 2 else "numpy._core.multiarray"
        print(wrong in sys.modules)
        """
    )
    assert out == "False\n"
