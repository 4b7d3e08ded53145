"""Type information: the module's stubs against the module itself, and mypy over the companion
package and over code that uses both, as installed."""
import ast
import inspect
import os
import site
import sysconfig
from pathlib import Path

import pytest

import rastrel
import rastrel_tools

STUBS = Path(__file__).resolve().parents[1] / "python" / "rastrel.pyi"


def stub_functions():
    tree = ast.parse(STUBS.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_the_stubs_declare_every_public_name():
    tree = ast.parse(STUBS.read_text())
    declared = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert {name for name in declared if not name.startswith("_")} == set(rastrel.__all__)
    (exported,) = [node.value for node in tree.body
                   if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
    assert ast.literal_eval(exported) == rastrel.__all__


@pytest.mark.parametrize("name", [n for n in rastrel.__all__ if n != "CompiledExpr"])
def test_stub_signatures_are_the_modules(name):
    stub = stub_functions()[name]
    runtime = inspect.signature(getattr(rastrel, name))
    assert [a.arg for a in stub.args.args] == list(runtime.parameters)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in runtime.parameters.values())
    assert not (stub.args.posonlyargs or stub.args.kwonlyargs or stub.args.defaults
                or stub.args.vararg or stub.args.kwarg)


# Each line marked "# E: code" must draw exactly that mypy error, and no other line any error.
USER_CODE = '''\
import numpy as np
import dask.array as da
import rastrel
import rastrel_tools as rt
import rastrel_tools.dask as rtd

a = np.zeros((4, 4), dtype=np.uint16)
out = np.empty((4, 4), dtype=np.float32)
rastrel.calculate_normalized_difference_inplace(a, a, out)
rastrel.calculate_adjusted_difference_inplace(a, a, np.float32(0.5), out_buffer=out)
rastrel.calculate_evi_inplace(a, a, a, 2.5, 6, 7.5, 1, out)
expr: rastrel.CompiledExpr = rastrel.compile_expr([{"type": "push_band", "index": 0}], 1)
rastrel.execute_expr_inplace(expr, [a], out)
ndvi: np.ndarray = rastrel.calculate_normalized_difference(a, a)
formula: rt.Formula = rt.compile("NDVI", bands=("nir", "red"), constants={})
result: np.ndarray = formula.evaluate(nir=a, red=a) + formula(a, a, out=out)
lazy: da.Array = rtd.evaluate(formula, {"nir": da.from_array(a), "red": a})
entry: rt.SpectralIndex = rt.INDICES["EVI"]
steps = rt.to_instructions("a / b", ["a", "b"])
usable: rt.Catalogue = rt.INDICES.available({"nir": a}).available(["B04"], sensor="sentinel2-l2a")
s2: rt.Sensor = rt.SENSORS["sentinel2-l2a"]
evi: np.ndarray = rt.compile("EVI", sensor=s2).evaluate({"B08": a, "B04": a, "B02": a})
name: str = formula.__name__ + s2.band_for("nir") + str(s2.keywords(["B04"])["scale"]["B04"])

wrong: int = rastrel.calculate_normalized_difference(a, a)  # E: assignment
rastrel.calculate_ratio_inplace(a, a)  # E: call-arg
rastrel.calculate_ratio_inplace(a, a, out, out)  # E: call-arg
rastrel.calculate_evi_inplace(a, a, a, "2.5", 6, 7.5, 1, out)  # E: arg-type
rastrel.compile_expr("add", 1)  # E: arg-type
rastrel.execute_expr_inplace([], [a], out)  # E: arg-type
rastrel.CompiledExpr.mystery  # E: attr-defined
rt.compile(42)  # E: arg-type
rt.compile("NDVI", sensor=2)  # E: arg-type
rt.INDICES.available(["nir"], sensor=s2).mystery  # E: attr-defined
rtd.evaluate(formula, scale=2).nope  # E: attr-defined
formula.evaluate(nir=a, red=a, nodata={"nir": 0, "red": None}, mask=a > 0, fill=-1.0,
                 scale=2.75e-5, offset={"nir": -0.2})
rtd.evaluate(formula, nir=a, red=a, mask=da.zeros((4, 4), dtype=bool), nodata=0)
formula(a, a, nodata="0")  # E: arg-type
'''


def _site_dirs():
    return {Path(p).resolve() for p in [*site.getsitepackages(), sysconfig.get_paths()["purelib"],
                                        sysconfig.get_paths()["platlib"]]}


@pytest.mark.timeout(240)
def test_mypy_checks_the_package_and_its_users_strictly(tmp_path):
    api = pytest.importorskip("mypy.api")
    pytest.importorskip("dask.array")
    (tmp_path / "user.py").write_text(USER_CODE)
    env_path = os.environ.get("MYPYPATH")
    # A development tree (not installed) is checked from its own sources and stubs.
    source = Path(rastrel_tools.__file__).resolve().parents[1]
    if source not in _site_dirs():
        os.environ["MYPYPATH"] = str(source)
    common = ["--strict", "--untyped-calls-exclude=dask", "--no-error-summary",
              "--show-error-codes", "--cache-dir", str(tmp_path / "cache")]
    try:
        package = api.run([*common, "-p", "rastrel_tools"])
        stdout, stderr, status = api.run([*common, str(tmp_path / "user.py")])
    finally:
        if env_path is None:
            os.environ.pop("MYPYPATH", None)
        else:
            os.environ["MYPYPATH"] = env_path
    assert package[2] == 0, package[0] + package[1]
    got = sorted(
        (int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
        for line in stdout.splitlines() if ": error: " in line
    )
    want = sorted(
        (number, line.split("# E: ")[1])
        for number, line in enumerate(USER_CODE.splitlines(), 1) if "# E: " in line
    )
    assert got == want, stdout + stderr
    assert all("user.py" in line for line in stdout.splitlines() if ": error: " in line), stdout
