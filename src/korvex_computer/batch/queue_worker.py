"""The workers of the job queue (``korvex_computer worker``): a keeper process that keeps N
worker processes running, each bound to its installation once and then solving one model at a
time from the queue. See broker.py for how a model outlives its worker.
"""

from __future__ import annotations

import hmac
import json
import logging
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
import uuid
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import results
from .broker import (BATCH_KEY, FINISH_LOCK, MAX_ATTEMPTS, NOTICE_KEY, QUEUE,
                     RECORD_SECONDS, RESULT_KEY, RUNNING_KEY,
                     RUNNING_RENEWAL_SECONDS, TASK, TASK_KEY, WORKER_KEY,
                     WORKER_RENEWAL_SECONDS, WORKER_SECONDS, running_seconds,
                     ClusterUnreachable, celery_app, check_broker, check_url, connection_errors,
                     declare_dead_letters, reachable_results, require_libraries, shown_url,
                     signature)
from .common import (BROKER_VARIABLE, Cause, DATA_SOURCES_VARIABLE, INSTALLATION_VARIABLE,
                     RESULTS_VARIABLE, SETTINGS_VARIABLE, Installation, error_text,
                     failed_entry)
from .processes import ProcessGroup

LOG = logging.getLogger("korvex_computer.worker")

RESPAWN_BACKOFF = (1.0, 60.0)  # first and longest wait before replacing a dead process
LOOP_WAKE_SECONDS = 0.01
STORE_BACKOFF = (0.5, 5.0)  # first and longest wait before trying the results store again
# How long a delivery whose start cannot be recorded is held before it goes back to the queue
# (each return counts towards the queue's delivery limit), and how long a finished attempt
# keeps trying to store its answer.
HOLD_SECONDS = 60.0
KEEP_ANSWER_SECONDS = 3600.0
TEMP_PREFIX = "korvex-worker-"  # of the temporary folder that a keeper makes for each process


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


class Presence(object):
    """The worker process's record in the results store, which `korvex_computer status`
    shows: its machine, process, since when, and the model it solves since when. Renewed
    while the process lives; it expires soon after."""

    def __init__(self, store: Any, name: str, machine: str) -> None:
        self.store = store
        self.key = WORKER_KEY % name
        self.fields: Dict[str, Any] = {"machine": machine, "process": os.getpid(),
                                       "since": time.time(), "model": "", "model_since": ""}
        self.ended = threading.Event()
        self.renewer = threading.Thread(target=self.renew, daemon=True,
                                        name="korvex worker record")

    def start(self) -> None:
        self.renewer.start()

    def solving(self, model: str) -> None:
        self.fields.update(model=model, model_since=time.time())
        self.write()

    def idle(self) -> None:
        self.fields.update(model="", model_since="")
        self.write()

    def write(self) -> None:
        try:
            with self.store.pipeline() as pipe:
                pipe.hset(self.key, mapping=dict(self.fields))
                pipe.expire(self.key, WORKER_SECONDS)
                pipe.execute()
        except connection_errors():
            pass  # the store is down: the record shows again once it is back

    def renew(self) -> None:
        self.write()
        while not self.ended.wait(WORKER_RENEWAL_SECONDS):
            self.write()

    def end(self) -> None:
        self.ended.set()
        if self.renewer.is_alive():
            self.renewer.join()
        try:
            self.store.delete(self.key)
        except connection_errors():
            pass  # it expires


class Attempt(object):
    """One delivery of a model to this worker. It solves the model in a sandbox of its own and
    keeps the run's files in a staging folder; then, if no other attempt finished first, it
    puts the files in their place (the model's folder for a model solved in place, the output
    folder), writes the model's record and stores the signed result, all under one lock."""

    def __init__(self, store: Any, task_id: str, batch: str, key: str,
                 heartbeat: float) -> None:
        self.store = store
        self.task_id = task_id
        self.batch = batch
        self.key = key  # the model's own, which signs its answer
        self.id = uuid.uuid4().hex[:12]
        self.running_seconds = running_seconds(heartbeat)
        self.ended = threading.Event()
        self.renewer: Optional[threading.Thread] = None
        self.lock: Any = None  # the lock of the answer, while the attempt holds it

    def begin(self, worker: str) -> Optional[int]:
        """Counts the delivery and marks the attempt running (see renew_the_mark); its
        number, or None when the model needs no solving: its client ended its batch, or it was
        answered or given up."""
        key = TASK_KEY % self.task_id
        with self.store.pipeline() as pipe:
            pipe.exists(BATCH_KEY % self.batch).hget(key, "closed")
            pipe.get(RESULT_KEY % self.task_id)
            batch_ended, closed, answer = pipe.execute()
        if batch_ended or closed or self.signed(answer):
            return None
        with self.store.pipeline() as pipe:
            pipe.hincrby(key, "attempts", 1)
            pipe.hset(key, mapping={"worker": worker, "attempt": self.id})
            pipe.expire(key, RECORD_SECONDS)
            pipe.set(RUNNING_KEY % self.task_id, self.id, ex=int(self.running_seconds))
            self.notify(pipe, "started")
            attempts = pipe.execute()[0]
        if self.renewer is None:
            self.renewer = threading.Thread(target=self.renew_the_mark, daemon=True,
                                            name="korvex attempt %s" % self.id)
            self.renewer.start()
        return int(attempts)

    def notify(self, pipe: Any, what: str) -> None:
        """Adds to the batch's notices, which its client reads rather than asking for every
        model it waits for."""
        pipe.rpush(NOTICE_KEY % self.batch, "%s %s" % (what, self.task_id))
        pipe.expire(NOTICE_KEY % self.batch, RECORD_SECONDS)

    def renew_the_mark(self) -> None:
        """Renews the mark that the attempt lives until it ends: a client that sees neither
        the mark nor a model waiting in the queue knows that its model is gone. So too the
        lock of the answer while the attempt holds it, which outlives an attempt that died
        no longer than the mark."""
        from redis.exceptions import LockError

        while not self.ended.wait(RUNNING_RENEWAL_SECONDS):
            try:
                self.store.set(RUNNING_KEY % self.task_id, self.id,
                               ex=int(self.running_seconds))
                lock = self.lock
                if lock is not None:
                    lock.reacquire()
            except connection_errors():
                pass  # the store is down; the attempt waits for it too
            except LockError:
                pass  # released meanwhile, or lost: store_answer() sees it

    def end(self) -> None:
        """Ends the renewal of the mark and removes it."""
        self.ended.set()
        if self.renewer is None:
            return  # the attempt never began
        self.renewer.join()
        try:
            self.store.delete(RUNNING_KEY % self.task_id)
        except connection_errors():
            pass  # it expires

    def signed(self, answer: Optional[bytes]) -> bool:
        """Whether a stored answer is one of this batch's workers' (anything else is
        overwritten: whoever wrote it cannot make a model's real result be dropped)."""
        try:
            stored = json.loads(answer) if answer else None
            return stored is not None and hmac.compare_digest(
                stored["signature"], signature(self.key, self.task_id, stored["entry"]))
        except (ValueError, KeyError, TypeError):
            return False

    def finish(self, entry: Dict[str, Any], staged: Optional[str], in_place: bool,
               output: Optional[str]) -> bool:
        """Stores the entry unless another attempt finished first; whether it did. While the
        results store is out of reach the attempt keeps its answer and tries again; StoreDown
        when it stayed away for KEEP_ANSWER_SECONDS."""
        from redis.exceptions import LockError

        # The lock expires as the attempt's mark does, renewed with it: the model of an attempt
        # that died while it held the lock (a machine lost while it copied the files) waits
        # that long for another attempt, not ten minutes.
        lock = self.store.lock(FINISH_LOCK % self.task_id, timeout=int(self.running_seconds),
                               blocking_timeout=600, thread_local=False)
        token = self.id.encode()

        def take_the_lock() -> bool:
            # A try whose reply was lost (the store killed after its write, or slower than the
            # socket's timeout) may have taken the lock: under the attempt's own token it is
            # this attempt's, not one to wait for until it expires.
            if self.store.get(FINISH_LOCK % self.task_id) == token:
                lock.local.token = token
                return True
            return bool(lock.acquire(token=token))

        if not retrying(take_the_lock, KEEP_ANSWER_SECONDS,
                        "waiting for the lock of the answer of %s" % entry["model"]):
            raise StoreDown("another attempt held the lock of the answer for 600 s")
        self.lock = lock
        try:
            # The checks come first in settle(), everything else is local: a try cut short
            # by the store can be made again.
            finished, record = retrying(lambda: self.settle(entry, staged, in_place, output),
                                        KEEP_ANSWER_SECONDS,
                                        "checking the answer of %s" % entry["model"])
            if record is None:
                return bool(finished)
            return bool(retrying(lambda: self.store_answer(record), KEEP_ANSWER_SECONDS,
                                 "storing the answer of %s" % entry["model"]))
        finally:
            self.lock = None
            try:
                lock.release()
            except (LockError,) + connection_errors():
                pass  # it expires

    def store_answer(self, record: Dict[str, Any]) -> bool:
        """Stores the answer and its notice at once (the notice never comes first); whether it
        did. An attempt that lost the lock of the answer, which expired while the attempt was
        frozen (a machine that hung) or the store was away, stores it only if no other attempt
        holds the lock or has answered since."""
        keys = [FINISH_LOCK % self.task_id, RESULT_KEY % self.task_id, TASK_KEY % self.task_id]
        stored: List[bool] = []

        def store(pipe: Any) -> None:
            del stored[:]  # made again when another client changed a key meanwhile
            holder = pipe.get(keys[0])
            if holder != self.id.encode() and (
                    holder is not None or self.signed(pipe.get(keys[1])) or
                    pipe.hget(keys[2], "closed")):
                return
            pipe.multi()
            pipe.set(keys[1], json.dumps(record), ex=RECORD_SECONDS)
            self.notify(pipe, "answered")
            stored.append(True)

        self.store.transaction(store, *keys)
        return bool(stored)

    def settle(self, entry: Dict[str, Any], staged: Optional[str], in_place: bool,
               output: Optional[str]) -> Tuple[bool, Optional[Dict[str, Any]]]:
        """Under the answer's lock: whether this attempt finishes the model (no other attempt
        did, and it was not given up), having put the files in place and written the model's
        record; and then the signed record to store (none when its batch ended)."""
        with self.store.pipeline() as pipe:
            pipe.exists(BATCH_KEY % self.batch).hget(TASK_KEY % self.task_id, "closed")
            pipe.get(RESULT_KEY % self.task_id)
            batch_ended, closed, answer = pipe.execute()
        if self.signed(answer) or closed:
            # Answered by another attempt (its client closes the model once it read the
            # answer), or given up by its client: this attempt changes nothing but the note
            # of it in the record of the attempt that finished, when there is one.
            if output is not None:
                note_superseded(output, entry, self.id)
            return False, None
        entry = dict(entry, attempt_id=self.id)
        if staged is not None:
            try:
                place_files(entry, staged, in_place, output)
            except OSError as error:
                entry.update(ok=False, cause=Cause.OUTPUT_NOT_WRITTEN, message="the files of "
                             "%s were not put in place (%s)" % (entry["model"],
                                                               error_text(error)))
        if output is not None:
            from . import task as task_body

            entry["output"] = output
            task_body.keep_record(output, entry)
        if batch_ended:  # by its client: the record in the output folder stays
            return True, None
        return True, {"entry": entry, "signature": signature(self.key, self.task_id, entry)}


def note_superseded(output: str, entry: Dict[str, Any], attempt_id: str) -> None:
    """Adds a late attempt's outcome to the model's record, which it does not replace."""
    record = results.read_record(output)
    if record is None or record.get("attempt_id") in (None, attempt_id):
        return
    record.setdefault("superseded_attempts", []).append(
        {"attempt_id": attempt_id, "machine": entry.get("machine"), "ok": entry["ok"],
         "cause": entry.get("cause"), "elapsed": entry.get("elapsed")})
    results.write_record(output, record)


def place_files(entry: Dict[str, Any], staged: str, in_place: bool,
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
                  attempt_id: str) -> Tuple[Dict[str, Any], Optional[str]]:
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

    def keep_run(result: Dict[str, Any], run_directory: str, started_at: float) -> None:
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


def solve_task(store: Any, worker_name: str, machine: str, heartbeat: float,
               allowed: Sequence[str] = (),
               presence: Optional[Presence] = None) -> Callable[..., Any]:
    """The body of the task that solves one model on a worker, which solves and writes only
    under the `allowed` folders (anywhere, when there are none)."""

    def run(task: Any, path: str, solver: str, sandbox: bool, output: Optional[str],
            batch: str, key: str) -> None:
        attempt = Attempt(store, task.request.id, batch, key, heartbeat)
        if presence is not None:
            presence.solving(path)
        try:
            solve_one(attempt, path, solver, sandbox, output)
        finally:
            attempt.end()
            if presence is not None:
                presence.idle()

    def solve_one(attempt: Attempt, path: str, solver: str, sandbox: bool,
                  output: Optional[str]) -> None:
        from celery.exceptions import Reject  # type: ignore[import-untyped]

        try:
            number = retrying(lambda: attempt.begin(worker_name), HOLD_SECONDS,
                              "recording the start of %s" % path)
        except StoreDown as error:
            LOG.warning("%s: back to the queue: %s", path, error)
            raise Reject(str(error), requeue=True)
        if number is None:
            LOG.info("%s: skipped, answered already or its batch ended (by its client, or "
                     "cancelled)", path)
            return
        staged = None
        refused = refusal(path, output, allowed)
        if refused is not None:
            entry = failed_entry(path, solver, Cause.NOT_ALLOWED, refused)
            output = None  # nothing is written there
        elif number > MAX_ATTEMPTS:
            entry = failed_entry(path, solver, Cause.WORKER_FAILURE,
                                 "%d workers ended before they finished this model"
                                 % MAX_ATTEMPTS)
        else:
            entry, staged = solve_attempt(path, solver, sandbox, output, attempt.id)
        entry.update(machine=machine, attempt=number)
        try:
            stored = attempt.finish(entry, staged, not sandbox, output)
        except StoreDown as error:
            LOG.warning("%s: back to the queue, its answer was not stored: %s", path, error)
            raise Reject(str(error), requeue=True)
        finally:
            if staged is not None:
                shutil.rmtree(staged, ignore_errors=True)
        if stored:
            LOG.info("%s %s (%s)", "solved" if entry["ok"] else "failed", path,
                     entry.get("cause") or "%.1f s" % entry["elapsed"])
        else:
            LOG.info("%s: another attempt finished first or the batch ended; this attempt's "
                     "result is not kept", path)

    return run


def wake_the_event_loop(app: Any) -> None:
    """Before kombu 5.7 (the latest on PyPy 3.9 is 5.6), work that a pool thread hands to the
    worker's event loop, a task's acknowledgement among it, waits until the loop wakes for its
    own reasons, seconds later; kombu 5.7 wakes it at once. A timer that wakes it every few
    milliseconds bounds that wait."""
    import kombu
    from celery import bootsteps  # type: ignore[import-untyped]

    if tuple(int(part) for part in kombu.VERSION[:2]) >= (5, 7):
        return

    def start(step: Any, worker: Any) -> None:
        if worker.hub is not None:
            worker.hub.call_repeatedly(LOOP_WAKE_SECONDS, _nothing)

    # Made with type() rather than a class statement: a class local to a function is an
    # object that the type checker's comparison of stubs with the package cannot find.
    wake_loop = type("WakeLoop", (bootsteps.StartStopStep,),
                     {"requires": {"celery.worker.components:Hub"}, "start": start})
    app.steps["worker"].add(wake_loop)


def _nothing() -> None:
    pass


def _nothing_to_set_up(**_: Any) -> None:
    pass


def end_with_the_keeper() -> Callable[[], None]:
    """Stops this worker process (its model finished first) when the keeper that started it
    is gone, killed without the chance to stop it. The function returned ends the watch: a
    thread still running when the interpreter exits leaves its memory behind; and removes the
    process's temporary folder, which the keeper made and would have removed, when the
    keeper is gone."""
    keeper = os.getppid()
    ended = threading.Event()

    def watch() -> None:
        while not ended.wait(1.0):
            if os.getppid() != keeper:
                LOG.warning("the worker's keeper (process %d) is gone: stopping", keeper)
                os.kill(os.getpid(), signal.SIGTERM)
                return

    watcher = threading.Thread(target=watch, name="korvex keeper watch", daemon=True)
    watcher.start()

    def end() -> None:
        ended.set()
        watcher.join()
        own_folder = tempfile.gettempdir()
        if os.getppid() != keeper and os.path.basename(own_folder).startswith(TEMP_PREFIX):
            shutil.rmtree(own_folder, ignore_errors=True)

    return end


def run_worker(installation: Installation, broker: str, results_url: str,
               heartbeat: float, allowed: Sequence[str] = ()) -> int:
    """One worker process: binds, then solves the queue's models until it is stopped.
    Raises JobFailed when it cannot bind or reach the broker or the results store."""
    from . import jobs

    require_libraries()
    check_url(broker, "broker")
    check_url(results_url, "results store")
    store = reachable_results(results_url)
    app = celery_app(broker, heartbeat)
    check_broker(app, broker)
    try:
        declare_dead_letters(app)
    except Exception as error:
        raise ClusterUnreachable(broker, error)
    jobs.bind(installation)
    machine = socket.gethostname()
    name = "korvex-%d@%s" % (os.getpid(), machine)
    presence = Presence(store, name, machine)
    app.task(name=TASK, bind=True)(solve_task(store, name, machine, heartbeat,
                                              allowed_folders(allowed), presence))
    wake_the_event_loop(app)

    from celery.signals import setup_logging, worker_ready  # type: ignore[import-untyped]

    # The command line set up the logging, one format for every line: Celery leaves it.
    setup_logging.connect(_nothing_to_set_up, weak=False)
    # Celery's advice to a superuser names an option of its own command; the keeper gives
    # this command's.
    from celery.exceptions import SecurityWarning

    warnings.filterwarnings("ignore", category=SecurityWarning)

    def ready(**_: Any) -> None:
        # A solve goes on when the broker's connection drops: its attempt may still finish
        # first, and the broker hands the model to another worker anyway. Filtered once
        # Celery's logging is set up, which shows its own deprecation warnings always.
        warnings.filterwarnings("ignore",
                                message="(?s).*worker_cancel_long_running_tasks_on_conn")
        LOG.info("worker %s ready: %s (%s), models from %s", name, installation.directory,
                 installation.module, shown_url(broker))

    worker_ready.connect(ready, weak=False)
    end_watch = end_with_the_keeper()
    presence.start()
    for logger in ("celery.worker.request", "celery.worker.consumer.consumer"):
        logging.getLogger(logger).addFilter(LostConnection())
    # Celery prepares delayed delivery for quorum queues, with exchanges of its own that a
    # farm's worker user may not make; the tasks here never wait for a time.
    logging.getLogger("celery.worker.consumer.delayed_delivery").disabled = True
    # A pool of one thread: the solve runs beside the event loop, which keeps the broker's
    # heartbeats going however long the solve takes (Celery's solo pool would stop them).
    celery_worker = app.Worker(hostname=name, pool="threads", concurrency=1, queues=[QUEUE],
                               loglevel="WARNING", quiet=True, without_gossip=True,
                               without_mingle=True, without_heartbeat=True)
    try:
        celery_worker.start()
    finally:
        presence.end()
        end_watch()
    return int(celery_worker.exitcode or 0)


class LostConnection(logging.Filter):
    """Celery and kombu report what follows a connection the broker closed (missed heartbeats,
    a broker restarted) with tracebacks: the loss itself (Celery 5.6), and an acknowledgement
    that failed (as a critical error). Nothing is lost then: the worker connects again, the
    broker delivers the model again, and the attempt that finished first stays its answer.
    One line each says so."""

    def filter(self, record: logging.LogRecord) -> bool:
        if record.msg == "Couldn't ack %r, reason:%r":
            record.msg = ("delivery %r not acknowledged (%r): the broker closed its connection "
                          "and delivers the model again; the attempt that finished first stays "
                          "its answer")
            record.levelno, record.levelname = logging.WARNING, "WARNING"
            record.exc_info, record.exc_text = None, None
        elif str(record.msg).startswith("consumer: Connection to broker lost") and \
                record.exc_info and record.exc_info[1] is not None:
            record.msg, record.args = "%s (%r)", (record.getMessage(), record.exc_info[1])
            record.exc_info, record.exc_text = None, None
        return True


class Keeper(object):
    """Keeps `count` worker processes running: one that dies is replaced, after a wait that
    doubles while they keep dying early. SIGINT or SIGTERM asks each to finish its model and
    end; a second one kills them at once (their models go back to the queue). The worker
    processes run in process groups of their own, so that the terminal's Ctrl-C reaches
    neither them nor the solver programs that they start. Each has a temporary folder of its
    own, where its sandboxes go: what a process that died leaves, the solver program that it
    ran and its sandboxes, the keeper ends and removes."""

    def __init__(self, command: Sequence[str], env: Dict[str, str], count: int) -> None:
        self.command = list(command)
        self.env = env
        self.temp_dirs: List[Optional[str]] = [None] * count
        self.processes: List[Optional[ProcessGroup]] = [None] * count
        self.started = [0.0] * count
        self.backoff = [RESPAWN_BACKOFF[0]] * count
        self.due = [0.0] * count
        self.ever_ready = False
        self.stopping = threading.Event()
        self.stopping_cold = threading.Event()

    def spawn(self, slot: int) -> None:
        temp_dir = self.temp_dirs[slot] = tempfile.mkdtemp(prefix=TEMP_PREFIX)
        env = dict(self.env, TMPDIR=temp_dir, TEMP=temp_dir, TMP=temp_dir)
        self.processes[slot] = ProcessGroup(self.command, env=env)
        self.started[slot] = time.monotonic()

    def clean_up(self, slot: int) -> Optional[int]:
        """Ends what the process of `slot` left, once it ended: the programs of its process
        group (a solver that would run on for nothing) and its temporary folder with its
        sandboxes; its exit status."""
        process, self.processes[slot] = self.processes[slot], None
        status = process.bury() if process is not None else None
        if self.temp_dirs[slot] is not None:
            shutil.rmtree(self.temp_dirs[slot], ignore_errors=True)  # type: ignore[arg-type]
            self.temp_dirs[slot] = None
        return status

    def run(self) -> int:
        def stop(signum: int, _: Any) -> None:
            if self.stopping.is_set():
                self.stopping_cold.set()
            self.stopping.set()

        previous = {signum: signal.signal(signum, stop)
                    for signum in (signal.SIGINT, signal.SIGTERM)}
        try:
            for slot in range(len(self.processes)):
                self.spawn(slot)
            while not self.stopping.wait(0.2):
                if not self.replace_ended():
                    self.finish()
                    return 1
            LOG.warning("stopping: the worker processes finish their models (stop again to "
                        "end them at once)")
            return self.finish()
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)

    def replace_ended(self) -> bool:
        """Starts the processes that are due and schedules the replacement of those that
        ended; False when every process failed to start (each said why), as a worker that
        cannot bind or reach the servers would, again and again."""
        now = time.monotonic()
        for slot, process in enumerate(self.processes):
            if process is None:
                if now >= self.due[slot]:
                    self.spawn(slot)
                continue
            status = process.exit_status()
            if status is None:
                if now - self.started[slot] > 30:
                    self.ever_ready = True
                continue
            lived = now - self.started[slot]
            if status == 1 and not self.ever_ready and all(
                    other is not None and other.exit_status() == 1 for other in self.processes):
                return False
            if lived > RESPAWN_BACKOFF[1]:
                self.backoff[slot] = RESPAWN_BACKOFF[0]
            wait = self.backoff[slot]
            self.backoff[slot] = min(wait * 2, RESPAWN_BACKOFF[1])
            self.clean_up(slot)
            LOG.warning("worker process %d ended (exit status %s) after %.1f s; another "
                        "starts in %g s", process.pid, status, lived, wait)
            self.due[slot] = now + wait
        return True

    def finish(self) -> int:
        """Asks every process to finish its model and end, waits for them (killing them all
        at a second stop), and ends what they left; 0 when each ended as asked."""
        for process in self.processes:
            if process is not None:
                process.ask_to_finish()
        killed = False
        while any(process is not None and process.exit_status() is None
                  for process in self.processes):
            if self.stopping_cold.is_set() and not killed:
                LOG.warning("stopped again: the worker processes are killed, and their models "
                            "go back to the queue")
                for process in self.processes:
                    if process is not None:
                        process.kill()
                killed = True
            time.sleep(0.1)
        statuses = [self.clean_up(slot) for slot in range(len(self.processes))]
        return 0 if all(status in (None, 0, -signal.SIGTERM) for status in statuses) \
            and not killed else 1


def run_workers(installation: Installation, broker: str, results_url: str, heartbeat: float,
                count: int, verbosity: Sequence[str] = (), allowed: Sequence[str] = (),
                logfile: Optional[str] = None) -> int:
    """The worker command: `count` worker processes, kept running until SIGINT or SIGTERM,
    solving models and writing output only under the `allowed` folders (when there are
    any). The URLs reach them through the environment, never on a command line."""
    allowed = allowed_folders(allowed)
    if not allowed:
        LOG.warning("no --allow: the workers solve models and write output wherever this "
                    "user can")
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        LOG.warning("running as root: the workers solve whatever models they are sent with "
                    "every right; run them as a user of their own")
    require_libraries()
    check_url(broker, "broker")
    check_url(results_url, "results store")
    reachable_results(results_url)
    check_broker(celery_app(broker, heartbeat), broker)
    env = dict(os.environ)
    env.update({BROKER_VARIABLE: broker, RESULTS_VARIABLE: results_url,
                INSTALLATION_VARIABLE: installation.directory})
    if installation.settings_path:
        env[SETTINGS_VARIABLE] = installation.settings_path
    if installation.data_sources_path:
        env[DATA_SOURCES_VARIABLE] = installation.data_sources_path
    command = [sys.executable, "-m", "korvex_computer", *verbosity, "--module",
               installation.module, "worker", "--heartbeat", "%g" % heartbeat, "--one-process"]
    for folder in allowed:
        command += ["--allow", folder]
    if logfile:
        command += ["--logfile", os.path.abspath(logfile)]
    return Keeper(command, env, count).run()
