"""One attempt at a model on a worker: the delivery counted and marked running, the solve in a
sandbox of its own with its files staged, then, under the answer's lock, the files put in
place, the record written and the signed answer stored, unless another attempt answered
first. See broker.py for how a model outlives its worker, and docs/farm.md.
"""

from __future__ import annotations

import logging
import os
import tempfile
import threading
import time
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import results
from .broker import RUNNING_RENEWAL_SECONDS, connection_errors, running_seconds
from .common import Cause, error_text
from .entries import Answer, Entry
from .records import LockState, ModelRecords

LOG = logging.getLogger("korvex_computer.worker")

STORE_BACKOFF = (0.5, 5.0)  # first and longest wait before trying the results store again
# How long a delivery whose start cannot be recorded is held before it goes back to the queue
# (each return counts towards the queue's delivery limit), and how long a finished attempt
# keeps trying to store its answer.
HOLD_SECONDS = 60.0
KEEP_ANSWER_SECONDS = 3600.0
LOCK_WAIT_SECONDS = 600.0  # the longest wait for another attempt's lock of the answer


class StoreDown(Exception):
    """The results store stayed out of reach for as long as the step could wait."""


def retrying(step: Callable[[], Any], seconds: float, what: str) -> Any:
    """The value of `step`, tried again after growing waits while the results store cannot be
    reached, for at most `seconds`; StoreDown past them."""
    errors = connection_errors()
    wait, started = STORE_BACKOFF[0], time.monotonic()
    while True:
        try:
            return step()
        except errors as error:
            if time.monotonic() - started + wait > seconds:
                raise StoreDown("the results store was out of reach for %g s while %s (%s)"
                                % (seconds, what, error_text(error)))
            LOG.warning("the results store is out of reach while %s (%s); trying again in "
                        "%g s", what, error_text(error), wait)
            time.sleep(wait)
            wait = min(wait * 2, STORE_BACKOFF[1])



class Attempt(object):
    """One delivery of a model to this worker. It solves the model in a sandbox of its own and
    keeps the run's files in a staging folder; then, if no other attempt finished first, it
    puts the files in their place (the model's folder for a model solved in place, the output
    folder), writes the model's record and stores the signed result, all under one lock."""

    def __init__(self, store: Any, task_id: str, batch: str, key: str,
                 heartbeat: float) -> None:
        self.records = ModelRecords(store, batch, task_id, key)
        self.id = uuid.uuid4().hex[:12]
        self.running_seconds = running_seconds(heartbeat)
        self.ended = threading.Event()
        self.renewer: Optional[threading.Thread] = None
        # Held by each renewal of the running mark, and by the answer's storing, which removes
        # the mark: no renewal makes it again once the answer is stored.
        self.renewal = threading.Lock()
        self.answered = False
        self.found: Optional[LockState] = None  # what the answer's lock, once taken, found

    def begin(self, worker: str) -> Optional[int]:
        """Counts the delivery and marks the attempt running (see renew_the_mark); its
        number, or None when the model needs no solving: its client ended its batch, or it was
        answered or given up."""
        number = self.records.begin(worker, self.id, self.running_seconds)
        if number is not None and self.renewer is None:
            self.renewer = threading.Thread(target=self.renew_the_mark, daemon=True,
                                            name="korvex attempt %s" % self.id)
            self.renewer.start()
        return number

    def renew_the_mark(self) -> None:
        """Renews the mark that the attempt lives until it ends: a client that sees neither
        the mark nor a model waiting in the queue knows that its model is gone. So too the
        lock of the answer while the attempt holds it, which outlives an attempt that died
        no longer than the mark."""
        while not self.ended.wait(RUNNING_RENEWAL_SECONDS):
            with self.renewal:
                if self.answered:
                    return
                try:
                    self.records.renew(self.id, self.running_seconds)
                except connection_errors():
                    pass  # the store is down; the attempt waits for it too

    def end(self) -> None:
        """Ends the renewal of the mark and removes it."""
        self.ended.set()
        if self.renewer is None:
            return  # the attempt never began
        self.renewer.join()
        if self.answered:
            return  # removed with the answer
        try:
            self.records.end(self.id)
        except connection_errors():
            pass  # it expires

    def finish(self, entry: Entry, staged: Optional[str], in_place: bool,
               output: Optional[str]) -> bool:
        """Stores the entry unless another attempt finished first; whether it did. While the
        results store is out of reach the attempt keeps its answer and tries again; StoreDown
        when it stayed away for KEEP_ANSWER_SECONDS."""
        if staged is None and output is None:
            # Nothing to put in place: the answer alone, stored in one step that checks what
            # the lock's holder would check.
            entry = {**entry, "attempt_id": self.id}
            stored = retrying(lambda: self.store_answer({"entry": entry}), KEEP_ANSWER_SECONDS,
                              "storing the answer of %s" % entry["model"])
            return stored is not False

        # The lock expires as the attempt's mark does, renewed with it: the model of an attempt
        # that died while it held the lock (a machine lost while it copied the files) waits
        # that long for another attempt, not ten minutes.
        def take_the_lock() -> Optional[LockState]:
            waited_since = time.monotonic()
            while True:
                found = self.records.take_lock(self.id, self.running_seconds)
                if found is not None or time.monotonic() - waited_since > LOCK_WAIT_SECONDS:
                    return found
                time.sleep(0.1)

        self.found = retrying(take_the_lock, KEEP_ANSWER_SECONDS,
                              "waiting for the lock of the answer of %s" % entry["model"])
        if self.found is None:
            raise StoreDown("another attempt held the lock of the answer for %g s"
                            % LOCK_WAIT_SECONDS)
        stored = False
        try:
            finished, record = self.settle(entry, staged, in_place, output)
            if record is None:
                return bool(finished)
            stored = retrying(lambda: self.store_answer(record), KEEP_ANSWER_SECONDS,
                              "storing the answer of %s" % entry["model"]) is not False
            return stored
        finally:
            if not stored:
                try:
                    self.records.release_lock(self.id)
                except connection_errors():
                    pass  # it expires

    def store_answer(self, record: Answer) -> Optional[bool]:
        """Stores the answer and its notice at once (the notice never comes first), and
        releases the lock: True when it did; False when another attempt answered or holds the
        lock, or the model was closed; None when its batch ended, which an attempt that holds
        the lock found already. An attempt that lost the lock of the answer, which expired
        while the attempt was frozen (a machine that hung) or the store was away, stores it
        only if no other attempt holds the lock or has answered since."""
        with self.renewal:
            stored = self.records.store_answer(self.id, record["entry"])
            self.answered = bool(stored)
        return stored

    def settle(self, entry: Entry, staged: Optional[str], in_place: bool,
               output: Optional[str]) -> Tuple[bool, Optional[Answer]]:
        """Under the answer's lock: whether this attempt finishes the model (no other attempt
        did, and it was not given up), having put the files in place and written the model's
        record; and then the record to store (none when its batch ended)."""
        found = self.found
        assert found is not None, "settled before the lock was taken"
        if found.closed or self.records.opened(found.answer) is not None:
            # Answered by another attempt (its client closes the model once it read the
            # answer), or given up by its client: this attempt changes nothing but the note
            # of it in the record of the attempt that finished, when there is one.
            if output is not None:
                note_superseded(output, entry, self.id)
            return False, None
        entry = {**entry, "attempt_id": self.id}
        if staged is not None:
            try:
                place_files(entry, staged, in_place, output)
            except OSError as error:
                entry.update({"ok": False, "cause": Cause.OUTPUT_NOT_WRITTEN, "message": "the "
                              "files of %s were not put in place (%s)" % (entry["model"],
                                                                        error_text(error))})
        if output is not None:
            from . import task as task_body

            entry["output"] = output
            task_body.keep_record(output, entry)
        if found.batch_ended:  # by its client: the record in the output folder stays
            return True, None
        return True, {"entry": entry}


def note_superseded(output: str, entry: Entry, attempt_id: str) -> None:
    """Adds a late attempt's outcome to the model's record, which it does not replace."""
    record = results.read_record(output)
    if record is None or record.get("attempt_id") in (None, attempt_id):
        return
    record.setdefault("superseded_attempts", []).append(
        {"attempt_id": attempt_id, "machine": entry.get("machine"), "ok": entry["ok"],
         "cause": entry.get("cause"), "elapsed": entry.get("elapsed")})
    results.write_record(output, record)


def place_files(entry: Entry, staged: str, in_place: bool,
                output: Optional[str]) -> None:
    """Puts a run's staged files in their place and makes the entry's paths name them: moved
    into the model's folder for a model solved in place (each file replacing its namesake in
    one step), copied into the output folder when there is one."""
    model_folder = os.path.dirname(entry["model"])
    placed: Dict[str, Optional[str]] = {}
    for name in sorted(os.listdir(staged)):
        placed[os.path.join(staged, name)] = None
    if in_place:
        for source in placed:
            target = os.path.join(model_folder, os.path.basename(source))
            os.replace(source, target)
            placed[source] = target
    if output is not None:
        results.empty_folder(output)  # of a former run's files, which would mislead
        copies = results.copy_files_into([place or source for source, place in placed.items()],
                                         output)
        placed = dict(zip(placed, copies))

    def where(value: Any) -> Any:
        if isinstance(value, str) and os.path.dirname(value) == staged:
            return placed.get(value)
        return value

    results.map_paths(entry, where)
    entry["files"] = sorted(path for path in placed.values() if path is not None)


def solve_attempt(path: str, solver: str, sandbox: bool, output: Optional[str],
                  attempt_id: str) -> Tuple[Entry, Optional[str]]:
    """Solves a model in a sandbox, keeping the run's files in a staging folder: beside the
    model for a model solved in place (to be moved into its folder), else in the temporary
    folder when they go to an output folder. The entry, and the staging folder (None when
    nothing is kept)."""
    from . import jobs, task

    if sandbox and output is None:  # the run's files go with its sandbox
        return task.solve({"model": path, "solver": solver, "sandbox": True}, None), None

    folder = os.path.dirname(os.path.abspath(path))
    staging = os.path.join(folder if not sandbox else tempfile.gettempdir(),
                           ".korvex-attempt-%s" % attempt_id)

    def keep_run(result: Entry, run_directory: str, started_at: float) -> None:
        try:
            os.mkdir(staging)
            results.keep_files(result, run_directory, started_at, True, staging)
        except OSError as error:
            raise jobs.JobFailed(Cause.OUTPUT_NOT_WRITTEN, "the files of %s were not kept (%s)"
                                 % (path, jobs.error_text(error)))

    entry = task.solve({"model": path, "solver": solver, "sandbox": True}, None, keep_run)
    entry["sandbox"] = None if not sandbox else entry.get("sandbox")
    entry.pop("output", None)
    return entry, staging if os.path.isdir(staging) else None


def refusal(path: str, output: Optional[str], allowed: Sequence[str]) -> Optional[str]:
    """Why the worker refuses a model: its file or its output folder lies outside the
    folders that its operator allowed (all, when none were named); None when it does not."""
    def inside(place: str) -> bool:
        place = os.path.normcase(os.path.realpath(place))
        for folder in allowed:
            try:
                if os.path.commonpath([place, folder]) == folder:
                    return True
            except ValueError:  # another drive
                pass
        return False

    if not allowed:
        return None
    for what, place in (("model", path), ("output folder", output)):
        if place is not None and not inside(place):
            return "the %s %s lies outside the folders that this worker may use (%s)" % (
                what, place, ", ".join(allowed))
    return None


def allowed_folders(folders: Sequence[str]) -> List[str]:
    """The folders of `worker --allow`, resolved; JobFailed for one that does not exist."""
    from .common import JobFailed

    for folder in folders:
        if not os.path.isdir(folder):
            raise JobFailed(Cause.INVALID_FOLDER, "the allowed folder %s does not exist" % folder)
    return [os.path.normcase(os.path.realpath(folder)) for folder in folders]
