"""The local pool: several models solved side by side, in worker processes of this machine.

The module holds one solution per process, so each model is solved in one of N worker
processes, each running ``python -m korvex_computer.batch.local_worker``: a worker binds to
the installation once, when it starts, then solves the models it is sent one after the other,
each in its own sandbox when asked, describing and disposing of each solution before the next.
Here one thread per worker sends it the next model as soon as it has answered for the last.
A model that fails is reported and the others go on; a worker that dies fails the model it was
solving, and a fresh worker takes over the models still to come.

The workers do not share the terminal's interruptions: they run in a process group of their
own and ignore SIGINT, so Ctrl-C reaches this process alone, which then stops the workers,
the solvers they run with them, and answers for every model (BatchInterrupted). Any other
exception in this thread, such as one raised by the progress callback, stops them alike and
is then raised as it is.
"""

from __future__ import annotations

import json
import logging
import queue
import shutil
import signal
import subprocess
import sys
import threading
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, cast

from .common import BatchInterrupted, Cause, Installation, failed_entry, stop_if_asked
from .entries import Entry, TaskMessage
from .processes import ProcessGroup
from .progress import REPORTS_PER_SECOND, Progress, ProgressCallback, Reporter

LOG = logging.getLogger("korvex_computer.batch")
STOP_SECONDS = 5.0  # for a stopped worker to end before it is killed


class Worker(object):
    """A worker process, spoken to in lines of JSON: the installation first, then one model
    at a time, each answered with the model's result."""

    def __init__(self, installation: Installation) -> None:
        self.group = ProcessGroup(
            [sys.executable, "-m", "korvex_computer.batch.local_worker"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True,
            encoding="utf-8")
        self.process = self.group.process
        self.sandboxes: List[str] = []  # of the model being solved, as the worker told
        self.send(installation._asdict())

    def send(self, message: Mapping[str, Any]) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()

    def solve(self, message: TaskMessage) -> Optional[Entry]:
        """The result for one model; None when the worker died before it answered."""
        assert self.process.stdout is not None
        try:
            self.send(message)
            while True:
                answer = json.loads(self.process.stdout.readline() or "null")
                if not (isinstance(answer, dict) and "sandbox_named" in answer):
                    break
                self.sandboxes.append(answer["sandbox_named"])
        except (OSError, ValueError):  # the pipe to a dead worker, or a line cut short
            return None
        if not isinstance(answer, dict):  # no answer, or not one of a worker's
            return None
        del self.sandboxes[:]  # removed by the worker with the model's solution
        return cast(Entry, answer)  # a worker's answer: the model's entry

    def end(self) -> Optional[int]:
        """Lets the worker finish; its exit status."""
        try:
            assert self.process.stdin is not None
            self.process.stdin.close()
        except OSError:
            pass
        status = self.process.wait()
        self.close_answers()
        return status

    def close_answers(self) -> None:
        """Closes the pipe of the worker's answers, once it has ended."""
        if self.process.stdout is not None:
            try:
                self.process.stdout.close()
            except (OSError, ValueError):
                pass

    def bury(self) -> int:
        """Ends what a worker that died (or broke its answers) leaves behind: the processes
        of its group, the solver it ran among them, and its sandboxes; its exit status."""
        status = self.group.bury()
        self.remove_sandboxes()
        self.close_answers()
        return status

    def remove_sandboxes(self) -> None:
        while self.sandboxes:  # pop: the feeding thread and the stopping one may both call
            shutil.rmtree(self.sandboxes.pop(), ignore_errors=True)

    def stop(self) -> None:
        """Ends the worker now, with the solver it runs: asked first, which the worker
        answers by disposing of its model and its sandbox; killed when it has not ended
        within STOP_SECONDS."""
        self.group.stop(STOP_SECONDS)
        self.remove_sandboxes()


def solve_all(installation: Installation, messages: Sequence[TaskMessage],
              processes: int, progress: Optional[ProgressCallback] = None
              ) -> List[Entry]:
    """Solves every model (one task message each) in `processes` worker processes; one
    result per model, in the order given, each with "ok" and either the solution or the
    cause of the failure. Raises BatchInterrupted, with a result for every model, when
    interrupted. `progress` is called from this thread as models end, at least
    REPORTS_PER_SECOND times a second, and once more with the final counts; what it raises
    stops the workers, then ends the call."""
    total = len(messages)
    workers = max(1, min(processes, total))
    to_solve: "queue.Queue[Tuple[int, TaskMessage]]" = queue.Queue()
    for index, message in enumerate(messages):
        to_solve.put((index, message))
    results: List[Optional[Entry]] = [None] * total
    finished = {"done": 0, "failed": 0, "feeders": 0}
    lock = threading.Lock()
    stopping = threading.Event()
    running: Dict[int, Worker] = {}  # the workers alive, by the index of their feeder
    ended = threading.Event()  # a model or a feeder ended since the last report

    def feed_one_worker(number: int) -> None:
        worker: Optional[Worker] = None
        while not stopping.is_set():
            try:
                index, message = to_solve.get_nowait()
            except queue.Empty:
                break
            if worker is None:
                worker = Worker(installation)
                with lock:
                    running[number] = worker
                if stopping.is_set():  # interrupted while it started
                    worker.stop()
            entry = worker.solve(message)
            if entry is None:
                if stopping.is_set():
                    worker.remove_sandboxes()  # told of after the stop removed the others
                    entry = failed_entry(message["model"], message["solver"], Cause.INTERRUPTED,
                                         "stopped when the batch was interrupted")
                else:
                    entry = failed_entry(message["model"], message["solver"],
                                         Cause.WORKER_FAILURE, "the worker process ended with "
                                         "exit status %s" % worker.bury())
                with lock:
                    running.pop(number, None)
                worker = None
            LOG.info("%s %s (%s)", "solved" if entry["ok"] else "failed", message["model"],
                      entry.get("cause") or "%.1f s" % entry["elapsed"])
            with lock:
                results[index] = entry
                finished["done" if entry["ok"] else "failed"] += 1
            ended.set()
        if worker is not None:
            worker.end()
            with lock:
                running.pop(number, None)

    def feeder(number: int) -> None:
        try:
            feed_one_worker(number)
        finally:  # the batch's thread sees at once that this feeder is done
            with lock:
                finished["feeders"] += 1
            ended.set()

    def count(elapsed: float) -> Progress:
        with lock:
            done, failed = finished["done"], finished["failed"]
        active = min(workers, total - done - failed)
        return Progress(messages[0]["solver"], done, failed, active,
                        total - done - failed - active, total, elapsed, workers)

    feeders = [threading.Thread(target=feeder, args=(number,),
                                name="korvex worker %d" % number, daemon=True)
               for number in range(workers)]
    try:
        report = Reporter(progress, count)
        report()
        for thread in feeders:
            thread.start()
        while True:  # a short wait, so that an interruption is seen
            ended.wait(1.0 / REPORTS_PER_SECOND)
            ended.clear()
            stop_if_asked()
            with lock:
                if finished["feeders"] == len(feeders):
                    break
            report()
        report(always=True)
        for thread in feeders:
            thread.join()
    except BaseException as error:  # Ctrl-C, or the progress callback's own error
        with _interruptions_held():
            stopping.set()
            with lock:
                stopped = list(running.values())
            for worker in stopped:
                worker.stop()
            for thread in feeders:
                if thread.is_alive():  # not when stopped before it started
                    thread.join()
        if not isinstance(error, KeyboardInterrupt):
            raise
        raise BatchInterrupted([
            entry if entry is not None else failed_entry(
                messages[index]["model"], messages[index]["solver"], Cause.NEVER_STARTED,
                "the batch was interrupted before the model was started")
            for index, entry in enumerate(results)])
    return [entry for entry in results if entry is not None]


class _interruptions_held(object):
    """Ignores further Ctrl-C and SIGTERM while the batch stops (in the main thread, where
    Python handles signals)."""

    def __enter__(self) -> None:
        self.previous: Dict[int, Any] = {}
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self.previous[signum] = signal.signal(signum, signal.SIG_IGN)

    def __exit__(self, *_: Any) -> None:
        for signum, handler in self.previous.items():
            if handler is not None:  # None: a handler set outside Python, left as it is
                signal.signal(signum, handler)
