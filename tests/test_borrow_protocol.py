"""The borrow table that the module shares with other extension modules through a capsule on
NumPy's multiarray module: created on first use and found again, used as it is when another module
made it, and refused with the error in the fault's text when it cannot be used.

The module remembers the table for the life of the process once it has used it, so each scenario
runs in a fresh interpreter that sets the attribute up before the module's first borrow."""
import json
import os
import subprocess
import sys

import pytest

from rastrel_testing import ALREADY_BORROWED, IS_PYPY, NOT_WRITEABLE

needs_capsule_api = pytest.mark.skipif(
    IS_PYPY, reason="makes or reads a capsule through ctypes.pythonapi, which PyPy does not have")

PANIC = "pyo3_runtime.PanicException: "

PRELUDE = r'''
import ctypes, importlib, json, sys
import numpy as np

NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
multiarray = importlib.import_module(
    "numpy._core.multiarray" if np.lib.NumpyVersion(np.__version__) >= "2.0.0" else "numpy.core.multiarray")

def fault(thunk):
    try:
        thunk()
    except BaseException as error:
        return f"{type(error).__module__}.{type(error).__name__}: {error}"
    return None

def report(result):
    print(json.dumps(result))
'''

# A table of the protocol made by "another module": its functions record every call and answer
# what the script tells them to.
FOREIGN_TABLE = r'''
ACQUIRE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

class BorrowApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE), ("release", RELEASE), ("release_mut", RELEASE)]

STATE = 0x5EED
calls, names, answers = [], {}, {}

def recorder(kind):
    def function(state, array):
        name = names.get(id(array), "out")
        calls.append([kind, name] if state == STATE else [kind, name, state])
        return answers.get((kind, name), 0)
    return function

table = BorrowApi(VERSION, STATE, ACQUIRE(recorder("acquire")), ACQUIRE(recorder("acquire_mut")),
                  RELEASE(recorder("release")), RELEASE(recorder("release_mut")))
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
CAPSULE_NAME = ctypes.create_string_buffer(NAME.encode())
capsule = capsule_new(ctypes.addressof(table), ctypes.addressof(CAPSULE_NAME), None)
setattr(multiarray, NAME, capsule)
import rastrel
'''

CALLS = r'''
EXPR = rastrel.compile_expr([{"type": "push_band", "index": i} for i in range(3)] + [{"type": "add"}] * 2, 3)
FUNCTIONS = {
    "normalized_difference_inplace": (2, lambda b, o: rastrel.calculate_normalized_difference_inplace(*b, o)),
    "ratio": (2, lambda b, o: rastrel.calculate_ratio_inplace(*b, o)),
    "adjusted_difference": (2, lambda b, o: rastrel.calculate_adjusted_difference_inplace(*b, 0.5, o)),
    "evi": (3, lambda b, o: rastrel.calculate_evi_inplace(*b, 2.5, 6.1, 7.3, 1.05, o)),
    "execute_expr": (3, lambda b, o: rastrel.execute_expr_inplace(EXPR, b, o)),
    "normalized_difference": (2, lambda b, o: rastrel.calculate_normalized_difference(*b)),
}

def arrays(count, shape=(3, 4)):
    names.clear()
    bands = [np.full(shape, 3 + i, dtype=np.uint16) for i in range(count)]
    for i, band in enumerate(bands):
        names[id(band)] = f"b{i}"
    return bands, np.full(shape, np.nan, dtype=np.float32)
'''


def run(script):
    """Runs PRELUDE + script in a fresh interpreter that finds the module as this one does, and
    returns what it reported."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + script], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def foreign(version, script):
    return run(FOREIGN_TABLE.replace("VERSION", str(version)) + script)


# ---------------------------------------------------------------------------------------------
# Another module's table: the module borrows through it, in the frame's order, and reads its
# return codes.

BAND_COUNT = {"normalized_difference_inplace": 2, "ratio": 2, "adjusted_difference": 2, "evi": 3,
              "execute_expr": 3, "normalized_difference": 2}
# scenario: (answers of the table as {(function, array): code}, fault text or None)
SCENARIOS = {
    "granted": ({}, None),
    "first_band_refused": ({("acquire", "b0"): -1}, PANIC + ALREADY_BORROWED),
    "last_band_refused": ({("acquire", "LAST"): -1}, PANIC + ALREADY_BORROWED),
    "output_refused": ({("acquire_mut", "out"): -1}, PANIC + ALREADY_BORROWED),
    "output_not_writeable": ({("acquire_mut", "out"): -2}, PANIC + NOT_WRITEABLE),
    "output_code_7": ({("acquire_mut", "out"): 7}, PANIC + "Unexpected return code 7 from borrow checking API"),
    # Not writeable is no answer to a shared borrow.
    "last_band_code_minus_2": (
        {("acquire", "LAST"): -2}, PANIC + "Unexpected return code -2 from borrow checking API"),
    "first_band_code_7": ({("acquire", "b0"): 7}, PANIC + "Unexpected return code 7 from borrow checking API"),
}


def answers(function, scenario):
    last = f"b{BAND_COUNT[function] - 1}"
    return {(kind, last if name == "LAST" else name): code for (kind, name), code in SCENARIOS[scenario][0].items()}


@pytest.fixture(scope="module")
def through_foreign_table():
    """Every function under every scenario, in one interpreter whose table is another module's."""
    scenarios = {(f, s): sorted(answers(f, s).items()) for f in BAND_COUNT for s in SCENARIOS}
    return foreign(1, CALLS + f'''
results = {{}}
for (function, scenario), table_answers in {scenarios!r}.items():
    count, call = FUNCTIONS[function]
    bands, out = arrays(count)
    answers.clear()
    answers.update(table_answers)
    calls.clear()
    text = fault(lambda: call(bands, out))
    results[f"{{function}} {{scenario}}"] = {{"calls": list(calls), "fault": text, "out_untouched": bool(np.isnan(out).all())}}

# Arrangements that the module's own registry refuses pass when the table grants them.
answers.clear()
for function in ("ratio", "evi", "execute_expr"):
    count, call = FUNCTIONS[function]
    bands, out = arrays(count)
    bands[-1] = out.view(np.uint16)[:, ::2]
    results[f"{{function}} output under band"] = fault(lambda: call(bands, out))

# Checks that come before the borrows take none.
calls.clear()
b, out = arrays(2)
results["shape mismatch"] = [fault(lambda: rastrel.calculate_ratio_inplace(b[0], b[1][:, :3], out)), list(calls)]
results["band count mismatch"] = [fault(lambda: rastrel.execute_expr_inplace(EXPR, b, out)), list(calls)]
results["attribute kept"] = getattr(multiarray, NAME) is capsule
report(results)
''')


def expected_calls(function, scenario):
    """The frame's order: a shared borrow of each band in order, then the exclusive one of the
    output; the release of the output, then of the bands in reverse (execute_expr_inplace: in list
    order). A refusal ends the borrowing and releases what was taken."""
    table_answers = answers(function, scenario)
    calls, taken = [], []
    for band in [f"b{i}" for i in range(BAND_COUNT[function])] + ["out"]:
        kind = "acquire_mut" if band == "out" else "acquire"
        calls.append([kind, band])
        if table_answers.get((kind, band), 0) != 0:
            break
        taken.append(band)
    if "out" in taken:
        calls.append(["release_mut", "out"])
        taken.remove("out")
    if function != "execute_expr":
        taken.reverse()
    return calls + [["release", band] for band in taken]


@needs_capsule_api
@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("function", BAND_COUNT)
def test_borrows_through_another_modules_table(through_foreign_table, function, scenario):
    result = through_foreign_table[f"{function} {scenario}"]
    expected = expected_calls(function, scenario)
    message = SCENARIOS[scenario][1]

    assert result["fault"] == message
    if function == "execute_expr" and message is not None:
        # After a refusal the order in which the bands taken so far are given back is free.
        taken = len([c for c in expected if c[0].startswith("acquire")])
        assert result["calls"][:taken] == expected[:taken]
        assert sorted(result["calls"][taken:]) == sorted(expected[taken:])
    else:
        assert result["calls"] == expected
    if function != "normalized_difference":
        assert result["out_untouched"] == (message is not None)


@needs_capsule_api
def test_another_modules_table_decides_alone(through_foreign_table):
    assert [through_foreign_table[f"{f} output under band"] for f in ("ratio", "evi", "execute_expr")] == [None] * 3
    assert through_foreign_table["shape mismatch"] == [
        "builtins.ValueError: Shape mismatch at index 1: expected [3, 4], got [3, 3]", []]
    assert through_foreign_table["band count mismatch"] == ["builtins.ValueError: Band count mismatch.", []]
    assert through_foreign_table["attribute kept"] is True


# ---------------------------------------------------------------------------------------------
# Tables that cannot be used.

UNSUPPORTED_VERSION = (
    PANIC + "Interal borrow checking API error: PyErr { type: <class 'TypeError'>, value: "
    "TypeError('Version 0 of borrow checking API is not supported by this version of rastrel'), traceback: None }")


@needs_capsule_api
def test_version_0_table_is_refused_and_looked_up_again():
    result = foreign(0, CALLS + '''
bands, out = arrays(2)
references = sys.getrefcount(capsule)
first = fault(lambda: rastrel.calculate_ratio_inplace(*bands, out))
second = fault(lambda: rastrel.calculate_normalized_difference(*bands))
refused = [list(calls), sys.getrefcount(capsule) - references]
# Nothing was remembered: once the table is usable, the next call borrows through it.
table.version = 1
third = fault(lambda: rastrel.calculate_ratio_inplace(*bands, out))
report([first, second, refused, third, calls, bool(np.isnan(out).any())])
''')
    # The refused table's capsule is not kept.
    assert result == [UNSUPPORTED_VERSION, UNSUPPORTED_VERSION, [[], 0], None,
                      [["acquire", "b0"], ["acquire", "b1"], ["acquire_mut", "out"], ["release_mut", "out"],
                       ["release", "b1"], ["release", "b0"]], False]


@needs_capsule_api
@pytest.mark.parametrize("version", [2, 2**64 - 1])
def test_later_versions_are_used(version):
    result = foreign(version, CALLS + '''
bands, out = arrays(2)
references = sys.getrefcount(capsule)
faults = [fault(lambda: rastrel.calculate_ratio_inplace(*bands, out)) for _ in range(2)]
report([faults, calls, sys.getrefcount(capsule) - references])
''')
    granted = [["acquire", "b0"], ["acquire", "b1"], ["acquire_mut", "out"], ["release_mut", "out"],
               ["release", "b1"], ["release", "b0"]]
    # The capsule that is used is kept for the life of the process: one reference, taken once.
    assert result == [[None, None], granted * 2, 1]


NOT_A_CAPSULE = r'''
setattr(multiarray, NAME, VALUE)
import rastrel
bands, out = np.ones((2, 2), np.uint16), np.zeros((2, 2), np.float32)
faults = [fault(lambda: rastrel.calculate_ratio_inplace(bands, bands, out)) for _ in range(2)]
# Nothing was remembered: without the attribute, the next call makes the table.
delattr(multiarray, NAME)
faults.append(fault(lambda: rastrel.calculate_ratio_inplace(bands, bands, out)))
report([faults, type(getattr(multiarray, NAME)).__name__, out.tolist()])
'''


@pytest.mark.parametrize("value, type_name", [("5", "int"), ("None", "NoneType"), ("'table'", "str")])
def test_attribute_that_is_no_capsule(value, type_name):
    faults = run(NOT_A_CAPSULE.replace("VALUE", value))[0]
    assert faults[0] == (
        PANIC + "Interal borrow checking API error: PyErr { type: <class 'TypeError'>, value: "
        f"TypeError(\"'{type_name}' object cannot be converted to 'PyCapsule'\"), traceback: None }}")


def test_failed_lookup_is_not_remembered():
    faults, attribute, out = run(NOT_A_CAPSULE.replace("VALUE", "5"))
    assert faults[0].startswith(PANIC + "Interal borrow checking API error: PyErr { type: <class 'TypeError'>")
    assert faults[1:] == [faults[0], None]
    assert attribute == "PyCapsule"
    assert out == [[1.0, 1.0], [1.0, 1.0]]


# ---------------------------------------------------------------------------------------------
# The module's own table.

FIRST_CALLS = r'''
existed_before = hasattr(multiarray, NAME)
import rastrel
band, out = np.ones((2, 3), np.uint16), np.zeros((2, 3), np.float32)
rastrel.calculate_ratio_inplace(band, band, out)
capsule = getattr(multiarray, NAME)
rastrel.execute_expr_inplace(rastrel.compile_expr([{"type": "push_band", "index": 0}], 1), [band], out)
rastrel.calculate_normalized_difference(band, band)
result = {"existed before": existed_before, "type": type(capsule).__name__,
          "same": getattr(multiarray, NAME) is capsule}
'''


def test_first_borrow_creates_the_table_once():
    result = run(FIRST_CALLS + "report(result)")
    assert result == {"existed before": False, "type": "PyCapsule", "same": True}


@needs_capsule_api
def test_created_table_serves_another_module():
    """Read through the capsule as another module would, the table has version 1 and its four
    functions share one registry with the module's own calls."""
    result = run(FIRST_CALLS + r'''
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

class BorrowApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE), ("release", RELEASE), ("release_mut", RELEASE)]

get_name = ctypes.pythonapi.PyCapsule_GetName
get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
result["name"] = get_name(capsule).decode()
table = BorrowApi.from_address(get_pointer(capsule, get_name(capsule)))
result["version"] = table.version
state = table.state

def ratio_into(target):
    return fault(lambda: rastrel.calculate_ratio_inplace(np.ones(target.shape, np.uint16), np.ones(target.shape, np.uint16), target))

steps = []
target = np.zeros((2, 3), np.float32)
steps.append(table.acquire_mut(state, target))           # granted
steps.append(ratio_into(target))                          # the module meets that borrow
steps.append(table.acquire_mut(state, target))           # the same key twice
steps.append(table.acquire(state, target))               # shared under exclusive
table.release_mut(state, target)
steps.append(ratio_into(target))                          # released: granted again
steps.append(table.acquire(state, band))                 # shared, as a reader elsewhere
steps.append(table.acquire(state, band))                 # and again
steps.append(ratio_into(np.zeros((2, 3), np.float32)))  # another buffer: never conflicts
steps.append(fault(lambda: rastrel.calculate_ratio_inplace(band, band, out)))  # readers together
steps.append(ratio_into(np.ndarray((1, 1), np.float32, buffer=band)))  # writing what is read
table.release(state, band)
steps.append(ratio_into(np.ndarray((1, 1), np.float32, buffer=band)))  # one reader left
table.release(state, band)
steps.append(ratio_into(np.ndarray((1, 1), np.float32, buffer=band)))  # none left
read_only = np.zeros((2, 3), np.float32)
read_only.flags.writeable = False
steps.append(table.acquire_mut(state, read_only))
steps.append(ratio_into(read_only))
result["steps"] = steps
report(result)
''')
    assert result == {
        "existed before": False, "type": "PyCapsule", "same": True,
        "name": "_RUST_NUMPY_BORROW_CHECKING_API", "version": 1,
        "steps": [0, PANIC + ALREADY_BORROWED, -1, -1, None, 0, 0, None, None, PANIC + ALREADY_BORROWED,
                  PANIC + ALREADY_BORROWED, None, -2, PANIC + NOT_WRITEABLE],
    }
