"""Run in a fresh interpreter by test_pool.py, so that the import of rastrel is the first:

    python pool_probe.py [--pin CPU]

counts the threads that `import rastrel` starts (pinned to one processor first with --pin), then
computes every kernel and a program on inputs of uneven shapes and layouts, and prints, as JSON,
the counts and a digest of the bytes of each output's whole buffer. Processes whose pools differ
in size can then be compared byte for byte, stray writes beside the output included.

Also imported by the tests themselves for the same computations and the affinity helpers (PyPy's
os module has neither sched_getaffinity nor sched_setaffinity).
"""
import ctypes
import hashlib
import json
import os
import sys

import numpy as np

from rastrel_testing import carve, placed, random_band

# ---------------------------------------------------------------------------------------------
# Threads and processors of this process.

_CpuSet = ctypes.c_uint64 * 16  # 1024 processors, as the module itself asks for


def _libc():
    return ctypes.CDLL(None, use_errno=True)


def usable_cpus():
    """The processors the calling thread may run on."""
    if hasattr(os, "sched_getaffinity"):
        return set(os.sched_getaffinity(0))
    mask = _CpuSet()
    if _libc().sched_getaffinity(0, ctypes.sizeof(mask), mask) != 0:
        raise OSError(ctypes.get_errno(), "sched_getaffinity")
    return {64 * i + bit for i, word in enumerate(mask) for bit in range(64) if word >> bit & 1}


def pin(cpus):
    """Restricts the calling thread, and the threads it starts from now on, to `cpus`."""
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, cpus)
        return
    mask = _CpuSet()
    for cpu in cpus:
        mask[cpu // 64] |= 1 << (cpu % 64)
    if _libc().sched_setaffinity(0, ctypes.sizeof(mask), mask) != 0:
        raise OSError(ctypes.get_errno(), "sched_setaffinity")


def tasks():
    return set(os.listdir("/proc/self/task"))


def allowed_cpus(task):
    """The processors the thread may run on, from its "Cpus_allowed_list" (such as 0-3,6)."""
    with open(f"/proc/self/task/{task}/status") as status:
        text = next(line for line in status if line.startswith("Cpus_allowed_list:")).split(":", 1)[1]
    cpus = []
    for part in text.strip().split(","):
        first, _, last = part.partition("-")
        cpus += range(int(first), int(last or first) + 1)
    return cpus


def context_switches(task):
    """How often the thread was switched out; 0 for a thread that has never run."""
    with open(f"/proc/self/task/{task}/status") as status:
        fields = dict(line.split(":", 1) for line in status if "ctxt_switches" in line)
    return sum(int(value) for value in fields.values())


# ---------------------------------------------------------------------------------------------
# Inputs and outputs in several memory layouts, each carved out of a byte buffer of its own.

# name: (shape, layout of the bands, layout of the output). Odd lengths cut unevenly at every
# level; single rows and columns are cut along their one long axis; mixed layouts share no
# contiguity flag and are walked by rows or columns after their summed leaning.
CASES = {
    "odd": ((509, 251), "c", "c"),
    "one_row": ((1, 4099), "c", "c"),
    "one_column": ((4099, 1), "c", "c"),
    "row_of_fortran": ((1, 3001), "fortran", "fortran"),
    "fortran": ((251, 509), "fortran", "fortran"),
    "fortran_out_c_bands": ((301, 203), "c", "fortran"),
    "c_out_fortran_bands": ((203, 301), "fortran", "c"),
    "reversed": ((127, 255), "reversed_both", "reversed_both"),
    "leaning": ((131, 263), "strided", "transposed_strided"),
    "large": ((1031, 1029), "c", "c"),
}

# Every instruction kind; the third band is larger than the output, of which only the top-left
# part is read.
PROGRAM = [
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "sub"},
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "add"},
    {"type": "div"},
    {"type": "push_band", "index": 2},
    {"type": "push_scalar", "value": 0.37},
    {"type": "pow"},
    {"type": "mul"},
    {"type": "push_band", "index": 1},
    {"type": "sqrt"},
    {"type": "neg"},
    {"type": "add"},
    {"type": "abs"},
]


EVI = (2.5, 6.1, 7.3, 1.05)  # inexact products: a fused multiply-add would show


def top_left(band, out):
    return band[: out.shape[0], : out.shape[1]]


def kernels(rastrel):
    """name: (function taking (*bands, out), band count)"""
    expr = rastrel.compile_expr(PROGRAM, 3)

    def new_array(a, b, out):
        return rastrel.calculate_normalized_difference(a, b)

    return {
        "normalized_difference_inplace": (rastrel.calculate_normalized_difference_inplace, 2),
        "normalized_difference": (new_array, 2),
        "ratio": (rastrel.calculate_ratio_inplace, 2),
        "adjusted_difference": (lambda a, b, out: rastrel.calculate_adjusted_difference_inplace(a, b, 1.05, out), 2),
        "evi": (lambda n, r, b, out: rastrel.calculate_evi_inplace(n, r, top_left(b, out), *EVI, out), 3),
        "expr": (lambda a, b, c, out: rastrel.execute_expr_inplace(expr, [a, b, c], out), 3),
    }


def band_values(case, index):
    shape = CASES[case][0]
    if index == 2:  # larger than the output: the program reads only its top-left part
        shape = (shape[0] + 2, shape[1] + 3)
    return random_band(np.random.default_rng([sorted(CASES).index(case), index]), shape)


def run_cases(rastrel):
    """{"case/kernel": digest of the output's whole buffer} for every case and kernel."""
    results = {}
    for case, (shape, band_layout, out_layout) in CASES.items():
        bands = [placed(band_values(case, i), band_layout if i < 2 else "c")[0] for i in range(3)]
        for name, (function, band_count) in kernels(rastrel).items():
            out, buffer = carve(shape, out_layout, np.float32)
            made = function(*bands[:band_count], out)
            if made is not None:
                buffer = made.view(np.uint8).ravel()
            results[f"{case}/{name}"] = hashlib.sha256(buffer.tobytes()).hexdigest()
    return results


def main(pin_to=None):
    if pin_to is not None:
        pin({pin_to})
    before = tasks()
    import rastrel

    # Read at once: the import must not return before every worker thread has started.
    added = sorted(tasks() - before, key=int)
    switches = [context_switches(task) for task in added]
    print(json.dumps({
        "added": len(added),
        "usable": len(usable_cpus()),
        "usable_cpus": sorted(usable_cpus()),
        "allowed": [allowed_cpus(task) for task in added],
        "switches": switches,
        "digests": run_cases(rastrel),
    }))


if __name__ == "__main__":
    main(int(sys.argv[2]) if sys.argv[1:2] == ["--pin"] else None)
