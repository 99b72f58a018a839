"""Solving several models side by side, in worker processes.

The module holds one solution per process, so each model is solved in one of N worker
processes, each running ``python -m korvex_computer.batch.local_worker``: a worker binds to
the installation once, when it starts, then solves the models it is sent one after the other,
each in its own sandbox when asked, describing and disposing of each solution before the next.
Here one thread per worker sends it the next model as soon as it has answered for the last.
A model that fails is reported and the others go on; a worker that dies fails the model it was
solving, and a fresh worker takes over the models still to come.
"""

from __future__ import annotations

import json
import os
import queue
import subprocess
import sys
import threading
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from . import jobs
from .status import live_status


class Worker(object):
    """A worker process, spoken to in lines of JSON: the installation first, then one model
    at a time, each answered with the model's result."""

    def __init__(self, installation: jobs.Installation) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "korvex_computer.batch.local_worker"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True,
            encoding="utf-8")
        self.send(installation._asdict())

    def send(self, message: Dict[str, Any]) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()

    def solve(self, path: str, solver: str, sandbox: bool) -> Optional[Dict[str, Any]]:
        """The result for one model; None when the worker died before it answered."""
        assert self.process.stdout is not None
        try:
            self.send({"model": path, "solver": solver, "sandbox": sandbox})
            answer = self.process.stdout.readline()
        except (OSError, ValueError):  # the pipe to a dead worker
            return None
        return json.loads(answer) if answer else None

    def end(self) -> Optional[int]:
        """Lets the worker finish; its exit status."""
        try:
            assert self.process.stdin is not None
            self.process.stdin.close()
        except OSError:
            pass
        return self.process.wait()


def solve_all(installation: jobs.Installation, paths: Sequence[str], solver: str,
              sandbox: bool, processes: int, status_stream: TextIO) -> List[Dict[str, Any]]:
    """Solves every model in `processes` worker processes; one result per model, in the
    order given, each with "ok" and either the solution or the cause of the failure."""
    total = len(paths)
    workers = max(1, min(processes, total))
    to_solve: "queue.Queue[Tuple[int, str]]" = queue.Queue()
    for index, path in enumerate(paths):
        to_solve.put((index, path))
    results: List[Optional[Dict[str, Any]]] = [None] * total
    finished = {"done": 0, "failed": 0}
    lock = threading.Lock()

    def feed_one_worker() -> None:
        worker: Optional[Worker] = None
        while True:
            try:
                index, path = to_solve.get_nowait()
            except queue.Empty:
                break
            if worker is None:
                worker = Worker(installation)
            entry = worker.solve(path, solver, sandbox)
            if entry is None:
                entry = {"model": os.path.abspath(path), "solver": solver, "ok": False,
                         "cause": "worker failure", "elapsed": 0.0, "notes": [],
                         "message": "the worker process ended with exit status %s"
                                    % worker.end()}
                worker = None
            with lock:
                results[index] = entry
                finished["done" if entry["ok"] else "failed"] += 1
        if worker is not None:
            worker.end()

    def describe(elapsed: float) -> str:
        with lock:
            done, failed = finished["done"], finished["failed"]
        running = min(workers, total - done - failed)
        return "%s: %d done, %d failed, %d running of %d models, %.1f s" % (
            solver, done, failed, running, total, elapsed)

    feeders = [threading.Thread(target=feed_one_worker, name="korvex worker %d" % number,
                                daemon=True) for number in range(workers)]
    with live_status(status_stream, describe):
        for feeder in feeders:
            feeder.start()
        for feeder in feeders:
            feeder.join()
    return [entry for entry in results if entry is not None]
