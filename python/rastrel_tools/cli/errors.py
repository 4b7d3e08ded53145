"""The command line's errors, each with the exit status that names its kind."""
from __future__ import annotations

EXIT_STATUSES = {
    0: "success",
    1: "internal error of rastrel (please report it)",
    2: "usage: an unknown option, a missing argument, a malformed value",
    3: "formula: an unknown index or sensor, a formula that does not parse",
    4: "input: a raster that cannot be read, or that lacks a band the index needs",
    5: "output: the output cannot be written, or exists (see --overwrite)",
    6: "a package the command needs is not installed",
    7: "out of memory",
    130: "interrupted",
}


class CommandError(Exception):
    status = 1


class UsageError(CommandError):
    status = 2


class FormulaProblem(CommandError):
    status = 3


class InputError(CommandError):
    status = 4


class OutputError(CommandError):
    status = 5


class OutOfMemory(CommandError):
    status = 7


class MissingPackage(CommandError):
    status = 6

    def __init__(self, package: str, needed_by: str) -> None:
        super().__init__(f"{needed_by} needs {package}, which is not installed here "
                         f"(pip install {package})")
