"""The borrow registry driven directly through the table that the module shares on NumPy's
multiarray module, with random shared and exclusive borrows and releases of random views of a few
buffers, against a model of its rules told from the bytes that the views touch: equal keys
counted, unequal keys under one base compared by span and item grid. Every granted exclusive
borrow is also checked against the bytes that the views really touch.

CPython only: the table is reached through ctypes calls into the interpreter's C API."""
import ctypes
import importlib

import numpy as np
import pytest
from hypothesis import event, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, precondition, rule

import rastrel
from fuzzing import base_of, budget, conflict_answers, registry_key, touched
from rastrel_testing import IS_PYPY

pytestmark = pytest.mark.skipif(IS_PYPY, reason="reaches the shared table through ctypes.pythonapi")

NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
GRANTED, REFUSED, NOT_WRITEABLE = 0, -1, -2
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class BorrowApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p), ("acquire", ACQUIRE),
                ("acquire_mut", ACQUIRE), ("release", RELEASE), ("release_mut", RELEASE)]


def shared_table():
    """The table the module uses: made by its first borrow, found on the multiarray module."""
    tiny = np.zeros((1, 1), np.uint16)
    rastrel.calculate_normalized_difference(tiny, tiny)
    multiarray = importlib.import_module(
        "numpy._core.multiarray" if np.lib.NumpyVersion(np.__version__) >= "2.0.0" else "numpy.core.multiarray")
    capsule = getattr(multiarray, NAME)
    api = ctypes.PyDLL(None)
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetName.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    table = BorrowApi.from_address(api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule)))
    assert table.version >= 1
    return capsule, table


DTYPES = [np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64),
          np.dtype([("a", "u1"), ("b", "<u2")])]  # three bytes per item: off every even grid
BUFFER = 192


class Registry(RuleBasedStateMachine):
    views = Bundle("views")

    @initialize()
    def start(self):
        self.capsule, self.table = shared_table()
        # Two buffers owned by arrays and one owned by a non-array object (its views meet under
        # that object); the last one read-only.
        self.roots = [np.zeros(BUFFER, np.uint8), np.zeros(BUFFER, np.uint8),
                      np.frombuffer(bytearray(BUFFER), np.uint8)]
        readonly = np.zeros(BUFFER, np.uint8)
        readonly.flags.writeable = False
        self.roots.append(readonly)
        self.model = {}  # base id -> {key: [count, a view of that key]}
        self.held = []  # (view, exclusive) of every borrow the table granted, in order
        self.keep = []  # every view made, so that no id is reused while the test runs

    def teardown(self):
        if not hasattr(self, "held"):
            return
        for view, exclusive in reversed(self.held):
            (self.table.release_mut if exclusive else self.table.release)(self.table.state, view)
        # Released means gone: each writeable buffer can be taken whole again.
        for root in self.roots:
            if root.flags.writeable:
                assert self.table.acquire_mut(self.table.state, root) == GRANTED
                self.table.release_mut(self.table.state, root)

    # --- views ---------------------------------------------------------------------------------

    @rule(target=views, data=st.data())
    def make_view(self, data):
        root = data.draw(st.sampled_from(self.roots))
        dtype = data.draw(st.sampled_from(DTYPES))
        ndim = data.draw(st.integers(0, 3))
        shape = tuple(data.draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
        grid = data.draw(st.sampled_from([dtype.itemsize, 1, 2, 4, 8]))
        strides = tuple(grid * data.draw(st.integers(-6, 6)) for _ in range(ndim))
        extent = [(n - 1) * s for n, s in zip(shape, strides) if n]
        low = -sum(min(0, e) for e in extent)
        high = sum(max(0, e) for e in extent) + dtype.itemsize
        if low + high > BUFFER:
            strides = tuple(0 for _ in strides)
            low, high = 0, dtype.itemsize
        offset = data.draw(st.integers(low, BUFFER - high) if 0 not in shape else st.integers(0, BUFFER - 1))
        view = np.ndarray(shape, dtype, buffer=root, offset=offset, strides=strides)
        self.keep.append(view)
        return view

    @rule(target=views, view=views, how=st.sampled_from(["reverse", "transpose", "step", "tail", "same", "bytes"]))
    def derive(self, view, how):
        """Views of views: the base chain leads to the same owner."""
        if how == "reverse":
            new = view[::-1] if view.ndim else view[()]
        elif how == "transpose":
            new = view.T
        elif how == "step":
            new = view[::2] if view.ndim else view.reshape(1)
        elif how == "tail":
            new = view[1:] if view.ndim else view.reshape(1, 1)
        elif how == "same":
            new = view.view()  # a new object with the very same key
        else:
            new = view.view(np.uint8) if view.ndim and view.flags.c_contiguous else view[...]
        if not isinstance(new, np.ndarray):
            new = view[...]
        self.keep.append(new)
        return new

    @rule(view=views)
    def make_read_only(self, view):
        view.flags.writeable = False

    # --- borrows -------------------------------------------------------------------------------

    def expected(self, view, exclusive):
        """The set of answers the registry may give."""
        if exclusive and not view.flags.writeable:
            return {NOT_WRITEABLE}
        keys = self.model.get(id(base_of(view)))
        if not keys:
            return {GRANTED}
        key = registry_key(view)
        if key in keys:
            return {REFUSED if exclusive or keys[key][0] < 0 else GRANTED}
        answers = {GRANTED}
        for count, other in keys.values():
            if exclusive or count < 0:
                conflict = conflict_answers(view, other)
                if conflict == {True}:
                    return {REFUSED}
                if True in conflict:
                    answers.add(REFUSED)
        return answers

    @rule(view=views, exclusive=st.booleans())
    def acquire(self, view, exclusive):
        want = self.expected(view, exclusive)
        got = (self.table.acquire_mut if exclusive else self.table.acquire)(self.table.state, view)
        if got == GRANTED:
            self.held.append((view, exclusive))
        event(f"{'exclusive' if exclusive else 'shared'} borrow: {got}, {'some' if self.model.get(id(base_of(view))) else 'no'} borrows of the buffer")
        assert got in want, (got, want, registry_key(view), self.model.get(id(base_of(view))))
        if got == GRANTED:
            keys = self.model.setdefault(id(base_of(view)), {})
            entry = keys.setdefault(registry_key(view), [0, view])
            entry[0] = -1 if exclusive else entry[0] + 1

    @precondition(lambda self: self.held)
    @rule(data=st.data())
    def release(self, data):
        view, exclusive = self.held.pop(data.draw(st.integers(0, len(self.held) - 1)))
        (self.table.release_mut if exclusive else self.table.release)(self.table.state, view)
        base, key = id(base_of(view)), registry_key(view)
        keys = self.model[base]
        keys[key][0] = 0 if exclusive else keys[key][0] - 1
        if keys[key][0] == 0:
            del keys[key]
        if not keys:
            del self.model[base]

    @invariant()
    def exclusive_borrows_touch_memory_of_their_own(self):
        held = getattr(self, "held", [])
        for i, (view, exclusive) in enumerate(held):
            if not exclusive:
                continue
            mine = touched(view)
            for j, (other, _) in enumerate(held):
                if j != i and base_of(other) is base_of(view):
                    assert not mine & touched(other), "two granted borrows share memory, one of them exclusive"


Registry.TestCase.settings = settings(budget(40), stateful_step_count=40)
TestRegistry = Registry.TestCase
