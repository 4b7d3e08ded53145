"""Block-by-block processing: windows that follow the files' tiling, and a pipeline in which one
thread reads the next window and another writes the previous one while the engine computes."""
from __future__ import annotations

import math
import queue
import sys
import threading
import time
from collections.abc import Iterable, Iterator
from typing import Any, Callable, Optional

from .errors import OutOfMemory

# Output tiles: the usual edge of cloud-optimised GeoTIFFs.
OUTPUT_BLOCK = 512
# Pixels per window: 2**18, one 512 x 512 tile, keeps a window of two uint16 bands and their
# float32 result at 2 MiB, of which at most five are held at once (being read, waiting, computed,
# waiting, being written), while each engine call stays long enough (a hundred microseconds or
# more) that the per-window overhead is lost in the noise.
WINDOW_PIXELS = 1 << 18


def _multiple(block: int, other: int, limit: int) -> int:
    """The smallest common multiple of two block edges, at most the raster's edge."""
    return min(block * other // math.gcd(block, other), limit)


def plan_windows(height: int, width: int, block: tuple[int, int],
                 pixels: Optional[int] = None) -> list[tuple[int, int, int, int]]:
    """(row, col, rows, cols) windows covering the raster, each made of whole blocks of the
    input and whole tiles of the output, so that no block is read or compressed twice.

    A striped input (blocks as wide as the raster) is read in full-width bands of rows; a tiled
    one in rectangles of tiles when a full-width band would exceed the budget."""
    pixels = WINDOW_PIXELS if pixels is None else pixels
    block_rows, block_cols = block
    unit_rows = _multiple(block_rows, OUTPUT_BLOCK, height)
    if block_cols >= width or width * unit_rows <= pixels:
        rows = unit_rows * max(1, pixels // (width * unit_rows))
        cols = width
    else:
        unit_cols = _multiple(block_cols, OUTPUT_BLOCK, width)
        rows = unit_rows
        cols = min(width, unit_cols * max(1, pixels // (unit_rows * unit_cols)))
    return [(row, col, min(rows, height - row), min(cols, width - col))
            for row in range(0, height, rows) for col in range(0, width, cols)]


class Progress:
    """A progress bar on standard error, drawn only when it is a terminal."""

    def __init__(self, total: int, label: str, enabled: bool) -> None:
        self._total, self._label = max(total, 1), label
        self._done = 0
        self._live = enabled and sys.stderr.isatty()
        self._start = time.monotonic()
        self._drawn = 0.0
        self._draw()

    def step(self) -> None:
        self._done += 1
        now = time.monotonic()
        if self._done == self._total or now - self._drawn > 0.1:
            self._drawn = now
            self._draw()

    def close(self) -> None:
        if self._live:
            sys.stderr.write("\n")
            sys.stderr.flush()

    def _draw(self) -> None:
        if not self._live:
            return
        width = 30
        filled = width * self._done // self._total
        elapsed = time.monotonic() - self._start
        sys.stderr.write(f"\r{self._label} [{'#' * filled}{'.' * (width - filled)}] "
                         f"{100 * self._done // self._total:3d}% {elapsed:5.1f} s")
        sys.stderr.flush()


_END = object()


class _Stage(threading.Thread):
    def __init__(self, work: Callable[[], None], stop: threading.Event) -> None:
        super().__init__(daemon=True)
        self._work, self._halt = work, stop
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self._work()
        except BaseException as error:  # handed to the main thread, which raises it
            self.error = error
            self._halt.set()


def _put(channel: queue.Queue[Any], item: Any, stop: threading.Event) -> bool:
    while not stop.is_set():
        try:
            channel.put(item, timeout=0.05)
            return True
        except queue.Full:
            pass
    return False


def _get(channel: queue.Queue[Any], stop: threading.Event) -> Any:
    while True:
        try:
            return channel.get(timeout=0.05)
        except queue.Empty:
            if stop.is_set():
                return _END


def run_pipeline(windows: Iterable[Any], read: Callable[[Any], Any],
                 compute: Callable[[Any], Any], write: Callable[[Any, Any], None],
                 progress: Progress) -> None:
    """read(window) on one thread, compute(data) on this one, write(window, result) on a
    third; one window waits between each pair, so at most four are held at once."""
    stop = threading.Event()
    loaded: queue.Queue[Any] = queue.Queue(maxsize=1)
    done: queue.Queue[Any] = queue.Queue(maxsize=1)

    def reading() -> None:
        for window in windows:
            if not _put(loaded, (window, read(window)), stop):
                return
        _put(loaded, _END, stop)

    def writing() -> None:
        for window, result in _drain(done, stop):
            write(window, result)
            progress.step()

    reader, writer = _Stage(reading, stop), _Stage(writing, stop)
    try:
        reader.start()
        writer.start()
    except RuntimeError as error:  # no memory left for a thread's stack, or a thread limit
        stop.set()
        if reader.is_alive():
            reader.join()
        raise OutOfMemory(f"cannot start the reading and writing threads ({error})") from None
    try:
        for window, data in _drain(loaded, stop):
            if not _put(done, (window, compute(data)), stop):
                break
        _put(done, _END, stop)
        writer.join()
    finally:
        stop.set()
        reader.join()
        writer.join()
    for stage in (reader, writer):
        if stage.error is not None:
            raise stage.error


def _drain(channel: queue.Queue[Any], stop: threading.Event) -> Iterator[Any]:
    while True:
        item = _get(channel, stop)
        if item is _END:
            return
        yield item
