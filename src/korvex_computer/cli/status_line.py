"""A live status line on a terminal while a long call runs: one model's solve, or a batch's,
drawn from the progress that the batch reports (batch/progress.py).

The line is drawn only when the stream is a terminal, and is removed when the call ends. With
the optional library rich installed (``pip install korvex_computer[cli]``) rich draws it,
with a spinner, and copes with every kind of console, the legacy Windows one included; without
it a plain line is redrawn in place with a carriage return alone, which every console
understands, and padded with blanks instead of erased with escape codes.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import threading
import time
from typing import Any, Callable, ContextManager, Iterator, Optional, TextIO, Tuple

from ..batch.progress import Progress

# The text of the line for the seconds elapsed since it appeared.
Describe = Callable[[float], str]

REFRESHES_PER_SECOND = 4


def time_left(elapsed: float, ended: int, total: int) -> str:
    """", about 3 min left" for the models not ended yet at the pace of those that ended;
    nothing before the first ended or after the last."""
    if ended <= 0 or ended >= total:
        return ""
    seconds = elapsed / ended * (total - ended)
    if seconds < 60:
        shown = "%d s" % max(1, round(seconds))
    elif seconds < 3600:
        shown = "%d min" % round(seconds / 60)
    else:
        shown = "%.1f h" % (seconds / 3600)
    return ", about %s left" % shown


def progress_line(progress: Progress) -> str:
    """The text of a batch's status line: "PipeStress: 3 done, 0 failed, 1 running of 6
    models, 1.2 s, about 3 s left"; through the queue also the models waiting and the workers
    listening."""
    done, failed, total, elapsed = (progress.done, progress.failed, progress.total,
                                    progress.elapsed)
    if not progress.through_queue:
        return "%s: %d done, %d failed, %d running of %d models, %.1f s%s" % (
            progress.solver, done, failed, progress.running, total, elapsed,
            time_left(elapsed, done + failed, total))
    workers = progress.workers
    if workers is None:
        listening = "broker not reached"
    elif workers:
        listening = "%d worker%s" % (workers, "" if workers == 1 else "s")
    else:
        listening = "no worker listening"
    return "%s: %d done, %d failed, %d running, %d waiting of %d models, %s, %.1f s" % (
        progress.solver, done, failed, progress.running, progress.waiting, total, listening,
        elapsed) + time_left(elapsed, done + failed, total)


class BatchStatusLine(object):
    """A batch's live status line on `stream`, as its progress callback: the line appears at
    the batch's first report, shows the last one (its time kept running between reports), and
    is removed when the block ends; nothing at all on a stream that is not a terminal.

        with BatchStatusLine(sys.stderr) as line:
            results = solve_many(paths, "PipeStress", progress=line)
    """

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.drawn = _is_terminal(stream)
        self.last: Optional[Tuple[Progress, float]] = None  # with when it came
        self.line = contextlib.ExitStack()

    def __call__(self, progress: Progress) -> None:
        if not self.drawn:
            return
        first = self.last is None
        self.last = (progress, time.monotonic())
        if first:
            self.line.enter_context(live_status(self.stream, self.describe))

    def describe(self, _elapsed: float) -> str:
        last = self.last
        assert last is not None  # the line is drawn from the first report on
        progress, came = last
        return progress_line(progress._replace(
            elapsed=progress.elapsed + time.monotonic() - came))

    def __enter__(self) -> "BatchStatusLine":
        return self

    def __exit__(self, *_: Any) -> None:
        self.line.close()


def live_status(stream: TextIO, describe: Describe) -> ContextManager[None]:
    """Shows ``describe(elapsed seconds)`` on one line of ``stream``, kept up to date while
    the block runs; nothing at all when the stream is not a terminal. The command line's log
    lines (-v) on the same stream are written above the line meanwhile, not into it."""
    if not _is_terminal(stream):
        return contextlib.nullcontext()
    try:
        import rich.live  # noqa: F401
    except ImportError:
        return _plain_status(stream, describe)
    return _rich_status(stream, describe)


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        return False


def _columns(stream: TextIO) -> int:
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        columns = 0
    # A terminal that does not tell its size: $COLUMNS, else 80.
    return columns if columns > 0 else shutil.get_terminal_size().columns


class _SpinnerLine(object):
    """A spinner with the line's text, made anew each time rich draws it, so the elapsed
    time stays current."""

    def __init__(self, describe: Describe) -> None:
        from rich.spinner import Spinner

        self.describe = describe
        self.started = time.monotonic()
        self.spinner = Spinner("dots", describe(0.0))

    def __rich__(self) -> Any:
        self.spinner.update(text=self.describe(time.monotonic() - self.started))
        return self.spinner


@contextlib.contextmanager
def _redrawn(draw: Callable[[], None]) -> Iterator[None]:
    """Calls ``draw`` now and then every quarter second until the block ends. The thread
    that redraws is joined before the block returns, so that nothing of the line is still
    running when the command ends. (rich's own refresh thread is never joined: one that
    outlives the interpreter leaves its memory behind, which the leak checks report.)"""
    stop = threading.Event()

    def redraw() -> None:
        while not stop.wait(1.0 / REFRESHES_PER_SECOND):
            draw()

    draw()
    drawer = threading.Thread(target=redraw, name="korvex status line", daemon=True)
    drawer.start()
    try:
        yield
    finally:
        stop.set()
        drawer.join()


class _Above(object):
    """The stream of the log's handlers while the status line is drawn."""

    def __init__(self, write_above: Callable[[str], None]) -> None:
        self.write = write_above

    def flush(self) -> None:
        pass


@contextlib.contextmanager
def _log_above(stream: TextIO, write_above: Callable[[str], None]) -> Iterator[None]:
    handlers = [handler for handler in logging.getLogger("korvex_computer").handlers
                if isinstance(handler, logging.StreamHandler) and handler.stream is stream]
    for handler in handlers:
        handler.setStream(_Above(write_above))
    try:
        yield
    finally:
        for handler in handlers:
            handler.setStream(stream)


@contextlib.contextmanager
def _rich_status(stream: TextIO, describe: Describe) -> Iterator[None]:
    from rich.console import Console
    from rich.live import Live

    with Live(_SpinnerLine(describe), console=Console(file=stream), auto_refresh=False,
              transient=True, redirect_stdout=False, redirect_stderr=False) as live:

        def write_above(text: str) -> None:  # rich prints above its live line
            live.console.print(text.rstrip("\n"), markup=False, highlight=False,
                               emoji=False, soft_wrap=True)

        with _redrawn(live.refresh), _log_above(stream, write_above):
            yield


@contextlib.contextmanager
def _plain_status(stream: TextIO, describe: Describe) -> Iterator[None]:
    started = time.monotonic()
    # One column short of the terminal's width, so the line never wraps.
    width = max(_columns(stream) - 1, 10)
    drawing = threading.RLock()

    def draw() -> None:
        with drawing:
            text = describe(time.monotonic() - started)
            stream.write("\r" + text[:width].ljust(width))
            stream.flush()

    def write_above(text: str) -> None:  # the line erased, the text, the line again
        with drawing:
            stream.write("\r" + " " * width + "\r" + text)
            draw()

    try:
        with _redrawn(draw), _log_above(stream, write_above):
            yield
    finally:
        stream.write("\r" + " " * width + "\r")
        stream.flush()
