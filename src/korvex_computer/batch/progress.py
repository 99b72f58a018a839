"""A batch's progress, as the local pool and the job queue's client report it while the models
are solved: a small record passed to a callback (solve_many's `progress`). What is made of it
is the caller's: the command line draws its live status line from it (cli/status_line.py).
"""

from __future__ import annotations

import time
from typing import Callable, NamedTuple, Optional

REPORTS_PER_SECOND = 4  # at least, while the batch runs; and whenever a count changes


class Progress(NamedTuple):
    """The models of a batch being solved (those kept from an earlier run not counted), at
    `elapsed` seconds from the start of their solves."""

    solver: str
    done: int  # solved
    failed: int
    running: int  # being solved
    waiting: int  # not started yet
    total: int
    elapsed: float
    # The local pool's worker processes; through the job queue, its consumers as the broker
    # last counted them (None: the broker was not reached).
    workers: Optional[int]
    through_queue: bool = False


ProgressCallback = Callable[[Progress], None]


class Reporter(object):
    """Calls a batch's progress callback, from the thread that runs the batch: at once when a
    count changed since the last call, else once 1/REPORTS_PER_SECOND seconds have passed;
    nothing without a callback. `count` gives the progress for the seconds elapsed since the
    reporter was made, and must be cheap: it is asked at every step of the batch's loop."""

    def __init__(self, callback: Optional[ProgressCallback],
                 count: Callable[[float], Progress]) -> None:
        self.callback = callback
        self.count = count
        self.started = time.monotonic()
        self.last: Optional[Progress] = None
        self.last_at = self.started

    def __call__(self, always: bool = False) -> None:
        """Reports the progress if a count changed or it is time; `always`: in any case (the
        batch's final counts)."""
        if self.callback is None:
            return
        now = time.monotonic()
        progress = self.count(now - self.started)
        if not always and self.last is not None and \
                progress._replace(elapsed=0.0) == self.last._replace(elapsed=0.0) and \
                now - self.last_at < 1.0 / REPORTS_PER_SECOND:
            return
        self.last, self.last_at = progress, now
        self.callback(progress)
