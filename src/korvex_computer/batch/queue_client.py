"""The sending side of the job queue (``korvex_computer solve --broker``): one task per model,
followed in the results store until each has a result. See broker.py.

Batches take turns: a client keeps only a window of its models in the queue, twice the queue's
consumers (at least 2), and sends the next as answers come. The queue being first in, first
out, a model that another client sends meanwhile waits behind that window, not behind the
whole batch.
"""

from __future__ import annotations

import logging
import os
import getpass
import secrets
import socket
import threading
import time
import uuid
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .broker import (BATCH_KEY, CONNECT_SECONDS, DEFAULT_NO_WORKER_TIMEOUT, IN_FLIGHT_KEY,
                     IN_FLIGHT_SECONDS, LOST_SECONDS, NOTICE_KEY, QUEUE, RECONNECT_SECONDS,
                     RECORD_SECONDS, TASK, TASK_KEY, ClusterUnreachable, NoQueue,
                     HeldConnection, celery_app, check_url, connection_errors, queue_counts,
                     reachable_results, require_libraries, shown_url, without_password)
from .common import (BatchInterrupted, Cause, JobFailed, error_text, failed_entry,
                     stop_if_asked)
from .entries import Entry
from .progress import Progress, ProgressCallback, Reporter
from .records import ModelRecords, NoticeReader

LOG = logging.getLogger("korvex_computer.batch")

POLL_SECONDS = 0.1  # the longest wait for the batch's notices between other steps
WORKERS_POLL_SECONDS = 1.0
# Every model still open is looked up (a model that vanished, a notice that was lost) every
# RECONCILE_SECONDS, or less often for a big batch: no more than RECONCILED_PER_SECOND
# models a second on average (a 5,000-model batch: every 10 s).
RECONCILE_SECONDS = 2.0
RECONCILED_PER_SECOND = 500.0
SLEPT_SECONDS = 5.0  # a gap between two reads of the notices this long is a client that slept


class Follower(object):
    """The models sent to the queue, followed in the results store until each has a
    result."""

    def __init__(self, app: Any, store: Any, paths: Sequence[str], solver: str,
                 timeout: float, no_worker_timeout: float,
                 outputs: Sequence[Optional[str]]) -> None:
        self.app = app
        self.connection = HeldConnection(app)
        self.store = store
        self.paths = [os.path.abspath(path) for path in paths]
        self.outputs = list(outputs)
        self.solver = solver
        self.timeout = timeout
        self.no_worker_timeout = no_worker_timeout
        self.batch = uuid.uuid4().hex
        self.secret = secrets.token_hex(16)
        self.task_ids = [str(uuid.uuid4()) for _ in paths]
        self.notices = NoticeReader(store, self.batch)
        self.records = [ModelRecords.of_batch(store, self.batch, self.secret, task_id)
                        for task_id in self.task_ids]
        self.index_of = {task_id: index for index, task_id in enumerate(self.task_ids)}
        self.sent = 0  # the models that the broker confirmed, the first ones
        self.in_queue = 0  # the models sent without a result yet: waiting or being solved
        self.results = Results(len(paths))
        self.first_open = 0
        # When each model being solved was first seen started (by this client's clock).
        self.started: Dict[int, float] = {}
        self.workers: Optional[int] = None
        self.queued: Optional[int] = None  # the models waiting in the queue, of any batch
        # Since when each open model was seen neither being worked on nor possibly queued.
        self.unseen: Dict[int, float] = {}
        self.last_tick = time.monotonic()
        self.last_worker_seen = time.monotonic()
        self.refused = 0
        self.unclosed: List[int] = []  # models with a result, not closed in the store yet
        self.lock = threading.Lock()
        self.sender = "%s@%s, process %d" % (user_name(), socket.gethostname(), os.getpid())
        self.sent_at = time.time()

    def report_progress(self) -> None:
        """Renews the batch's record in flight, which `korvex_computer status` shows, and ends
        the batch when an operator cancelled it (`korvex_computer cancel`)."""
        done, failed, running, waiting = self.progress()
        key = IN_FLIGHT_KEY % self.batch
        closing = self.take_closings()
        try:
            with self.store.pipeline() as pipe:
                for index in closing:
                    self.records[index].close(pipe)
                pipe.hset(key, mapping={"sender": self.sender, "sent_at": self.sent_at,
                                        "solver": self.solver, "models": len(self.paths),
                                        "done": done, "failed": failed, "running": running,
                                        "waiting": waiting})
                pipe.expire(key, IN_FLIGHT_SECONDS)
                pipe.get(BATCH_KEY % self.batch)
                mark = pipe.execute()[-1]
        except BaseException:
            with self.lock:
                self.unclosed.extend(closing)  # closed at the next try
            raise
        if mark == b"cancelled":
            self.cancel()

    def cancel(self) -> None:
        """Answers for the models without a result, the batch cancelled by an operator: its
        workers skip those waiting, and store nothing of those they are solving."""
        LOG.warning("batch %s cancelled by an operator", self.batch)
        with self.lock:
            for index in self.waiting():
                where = ("stopped at its worker's next step" if index in self.started
                         else "withdrawn from the queue" if index < self.sent
                         else "never sent")
                self.results[index] = failed_entry(
                    self.paths[index], self.solver, Cause.CANCELLED,
                    "the batch was cancelled (korvex_computer cancel): %s" % where)
            self.started.clear()

    def window(self) -> int:
        """How many models of the batch the queue may hold at once (those being solved
        included): twice its consumers as last counted, at least 2."""
        with self.lock:
            return max(2, 2 * (self.workers or 0))

    def has_room(self) -> bool:
        """Whether a model is left to send and the batch's window has room for it."""
        return self.sent < len(self.paths) and self.in_queue < self.window()

    def send(self, sandbox: bool) -> None:
        """Sends the next models, as many as the window has room for, each confirmed by the
        broker. One sent again after a connection that failed before its confirmation may be
        in the queue twice, under the same task: its second delivery finds it answered, or
        its attempt loses to the first."""
        with self.connection.use() as connection:
            if not self.sent:  # the client may not declare it; its consumers size the window
                self.saw_the_queue(*queue_counts(connection))
            while self.has_room():
                index = self.sent
                self.app.send_task(TASK, args=[self.paths[index], self.solver, sandbox,
                                               self.outputs[index], self.batch,
                                               self.records[index].key],
                                   task_id=self.task_ids[index], connection=connection,
                                   queue=QUEUE, declare=[], retry=False,
                                   timeout=CONNECT_SECONDS * 3,
                                   confirm_timeout=CONNECT_SECONDS * 3)
                with self.lock:
                    self.sent += 1
                    self.in_queue += 1

    def waiting(self) -> List[int]:
        return [index for index, entry in enumerate(self.results) if entry is None]

    def any_open(self) -> bool:
        """Whether a model has no result yet, at the cost of a look or so whatever the batch's
        size (the loop asks several times a tick): a model's result never goes back to
        none, so the first open model is only ever further on."""
        while self.first_open < len(self.results) and \
                self.results[self.first_open] is not None:
            self.first_open += 1
        return self.first_open < len(self.results)

    def count_workers(self) -> None:
        """The consumers of the queue, as the broker counts them."""
        with self.connection.use() as connection:
            try:
                queued, consumers = queue_counts(connection)
            except NoQueue:  # deleted: what it held is gone, and nobody listens
                queued, consumers = 0, 0
        self.saw_the_queue(queued, consumers)

    def saw_the_queue(self, queued: int, consumers: int) -> None:
        with self.lock:
            self.workers, self.queued = consumers, queued
        if consumers:
            self.last_worker_seen = time.monotonic()

    def read_notices(self, wait: float = 0.0) -> None:
        """Reads what the workers noticed since the last time: models started, models
        answered (whose answers it then reads); waits up to `wait` seconds for the first
        notice, so that an answer is read (and the next model sent) as soon as it comes."""
        notices = self.notices.read(wait)
        now = time.monotonic()
        if now - self.last_tick > SLEPT_SECONDS + wait:
            self.unseen.clear()  # this client slept: what it saw before is no evidence
        self.last_tick = now
        answered = []
        for what, task_id in notices:
            index = self.index_of.get(task_id)
            if index is None or self.results[index] is not None:
                continue
            if what == "answered":
                answered.append(index)
            elif what == "started":
                self.saw_started(index, now)
        if answered:
            with self.store.pipeline(transaction=False) as pipe:
                for index in answered:
                    pipe.get(self.records[index].result)
                answers = pipe.execute()
            ended = []
            for index, answer in zip(answered, answers):
                entry = self.verified(index, answer)
                if entry is not None:
                    ended.append((index, entry))
            self.close_all(ended)

    def saw_started(self, index: int, now: float) -> None:
        if index not in self.started:
            with self.lock:
                self.started[index] = now
            LOG.debug("%s: taken by a worker", self.paths[index])

    def reconcile_interval(self) -> float:
        return max(RECONCILE_SECONDS, len(self.waiting()) / RECONCILED_PER_SECOND)

    def poll(self) -> None:
        """Looks up every model sent and still open: its answer, whether it started, whether
        a worker is solving it; a model that none is, while the queue holds no model, for
        LOST_SECONDS is lost."""
        open_models = [index for index in self.waiting() if index < self.sent]
        with self.store.pipeline(transaction=False) as pipe:
            for index in open_models:
                self.records[index].read(pipe)
            answers = pipe.execute()
        now = time.monotonic()
        ended = []
        for position, index in enumerate(open_models):
            record, attempts, running = answers[3 * position:3 * position + 3]
            entry = self.verified(index, record)
            if entry is not None:
                ended.append((index, entry))
                continue
            if attempts is not None:
                self.saw_started(index, now)
            if running or self.queued != 0:
                self.unseen.pop(index, None)
            elif now - self.unseen.setdefault(index, now) > LOST_SECONDS:
                ended.append((index, failed_entry(
                    self.paths[index], self.solver, Cause.LOST,
                    "no worker was solving it and the queue held no model for %g s: it left "
                    "the queue without an answer (dropped, or its answer removed from the "
                    "results store); with --output, --resume solves it again" % LOST_SECONDS)))
                continue
            if index in self.started and now - self.started[index] > self.timeout:
                ended.append((index, failed_entry(
                    self.paths[index], self.solver, Cause.TIMED_OUT,
                    "no result within %g s of its start" % self.timeout)))
        self.close_all(ended)
        if now - self.last_worker_seen > self.no_worker_timeout:
            self.close_all([(index, failed_entry(
                self.paths[index], self.solver, Cause.NOT_STARTED,
                "no worker listened for %g s" % self.no_worker_timeout))
                for index in self.waiting()])

    def verified(self, index: int, record: Optional[bytes]) -> Optional[Entry]:
        """The entry of a stored result, if a worker of this batch signed it."""
        if record is None:
            return None
        entry = self.records[index].opened(record)
        if entry is not None:
            entry["model"] = self.paths[index]
            return entry
        self.refused += 1
        LOG.warning("refused a result of %s that no worker of this batch signed",
                    self.paths[index])
        self.store.delete(self.records[index].result)
        return None

    def close_all(self, ended: Sequence[Tuple[int, Entry]]) -> None:
        """Keeps the models' results; the workers are told not to solve them again at the
        next report of the batch's progress, within a second, in the same round trip (a
        later attempt at an answered model finds its answer meanwhile). The results are kept
        first: the store may apply the closing, which removes the answers, and fail to reply
        (killed just after its write)."""
        with self.lock:
            for index, entry in ended:
                if self.results[index] is None and index < self.sent:
                    self.in_queue -= 1
                self.results[index] = entry
                self.started.pop(index, None)
                self.unseen.pop(index, None)
                self.unclosed.append(index)

    def take_closings(self) -> List[int]:
        with self.lock:
            closing, self.unclosed = self.unclosed, []
        return closing

    def give_up(self, reason: str) -> None:
        """Ends the models still open as of unknown outcome (those not sent: "not started")
        for `reason`, without reaching the servers."""
        with self.lock:
            for index in self.waiting():
                if index < self.sent:
                    entry = failed_entry(self.paths[index], self.solver, Cause.UNKNOWN_OUTCOME,
                                         reason + ": the model may have been solved")
                else:
                    entry = failed_entry(self.paths[index], self.solver, Cause.NOT_STARTED,
                                         "not sent: " + reason)
                self.results[index] = entry
            self.started.clear()

    def interrupt(self) -> None:
        """Answers for the models without a result: those that a worker is solving are left
        to it (with an output folder, the worker keeps their record there); the others are
        withdrawn (their workers skip them, the batch being gone)."""
        with self.lock:
            for index in self.waiting():
                if index in self.started:
                    kept = ("its record goes to %s" % self.outputs[index] if self.outputs[index]
                            else "its result is not kept")
                    self.results[index] = failed_entry(
                        self.paths[index], self.solver, Cause.INTERRUPTED,
                        "left to its worker when the batch was interrupted; %s" % kept)
                else:
                    self.results[index] = failed_entry(
                        self.paths[index], self.solver, Cause.NEVER_STARTED,
                        "withdrawn from the queue when the batch was interrupted"
                        if index < self.sent else "not sent: the batch was interrupted "
                        "before its turn")
            self.started.clear()

    def end(self) -> None:
        """Ends the batch: a mark that its workers see and skip the models it left, expiring in
        a day, and the records of those models removed. A model with a result keeps a mark
        that it is closed, expiring in a day, so that an attempt that ends later (a machine
        that woke up) leaves it as it is."""
        self.connection.close()
        closing = self.take_closings()
        with self.lock:
            open_models = [task_id for task_id, entry in zip(self.task_ids, self.results)
                           if entry is None
                           or entry.get("cause") in (Cause.INTERRUPTED, Cause.NEVER_STARTED,
                                                     Cause.CANCELLED)]
        for _ in range(2):  # once more on a connection cut short by the interruption
            try:
                with self.store.pipeline() as pipe:
                    for index in closing:
                        self.records[index].close(pipe)
                    # An operator's cancel mark stays what it says.
                    pipe.set(BATCH_KEY % self.batch, "ended", ex=RECORD_SECONDS, nx=True)
                    pipe.delete(NOTICE_KEY % self.batch, IN_FLIGHT_KEY % self.batch)
                    if open_models:
                        pipe.delete(*[TASK_KEY % task_id for task_id in open_models])
                    pipe.execute()
                return
            except Exception:
                pass

    def progress(self) -> Tuple[int, int, int, int]:
        """The models done, failed, being solved and waiting, from the counts kept."""
        with self.lock:
            done, failed, running = self.results.done, self.results.failed, len(self.started)
        return done, failed, running, len(self.results) - done - failed - running

    def progress_at(self, elapsed: float) -> Progress:
        done, failed, running, waiting = self.progress()
        with self.lock:
            workers = self.workers
        return Progress(self.solver, done, failed, running, waiting, len(self.results),
                        elapsed, workers, through_queue=True)


class Results(object):
    """The models' results, in the order of the batch, None while a model is open; with the
    counts of those done and failed kept as results are set, so that the progress costs the
    same whatever the batch's size."""

    def __init__(self, total: int) -> None:
        self.entries: List[Optional[Entry]] = [None] * total
        self.done = self.failed = 0

    def __len__(self) -> int:
        return len(self.entries)

    def __iter__(self) -> Iterator[Optional[Entry]]:
        return iter(self.entries)

    def __getitem__(self, index: int) -> Optional[Entry]:
        return self.entries[index]

    def __setitem__(self, index: int, entry: Entry) -> None:
        self.count(self.entries[index], -1)
        self.entries[index] = entry
        self.count(entry, 1)

    def count(self, entry: Optional[Entry], step: int) -> None:
        if entry is None:
            return
        if entry["ok"]:
            self.done += step
        else:
            self.failed += step


def user_name() -> str:
    try:
        return getpass.getuser()
    except Exception:  # no user name in the environment or the password database
        return "?"


def solve_all(broker: str, results: str, paths: Sequence[str], solver: str, sandbox: bool,
              timeout: float, progress: Optional[ProgressCallback] = None,
              outputs: Optional[Sequence[Optional[str]]] = None,
              no_worker_timeout: float = DEFAULT_NO_WORKER_TIMEOUT) -> List[Entry]:
    """Solves every model through the queue, the worker keeping the model's files and record
    in `outputs[i]` when given; one result per model, in the order given. Raises
    ClusterUnreachable when the broker or the results store cannot be reached at the start,
    and BatchInterrupted when interrupted. When a server goes away later for longer than
    RECONNECT_SECONDS, the models still open end with the cause "unknown outcome".

    `progress` is called from this thread once the first models are sent, as models start and
    end, at least REPORTS_PER_SECOND times a second while the loop is not held up by a server,
    and once more with the final counts. What it raises ends the batch as any error does (the
    models not started are withdrawn, those being solved left to their workers), and is then
    raised as it is."""
    require_libraries()
    check_url(broker, "broker")
    check_url(results, "results store")
    reconnect_window = min(RECONNECT_SECONDS, timeout)
    store = reachable_results(results, reconnect_window)
    app = celery_app(broker)
    follower = Follower(app, store, paths, solver, timeout, no_worker_timeout,
                        outputs or [None] * len(paths))
    errors = connection_errors()
    import amqp.exceptions  # type: ignore[import-untyped]

    unreachable_since: Dict[str, float] = {}

    def attempt(what: str, action: Callable[[], None]) -> bool:
        """Whether the action was done; a server unreachable for longer than the reconnect
        window ends the models still open."""
        started = time.monotonic()
        try:
            action()
            unreachable_since.pop(what, None)
            return True
        except errors as error:
            since = unreachable_since.setdefault(what, started)  # from the first try that failed
            if time.monotonic() - since > reconnect_window:
                url = broker if what == "broker" else results
                if what == "broker" and not follower.sent:
                    raise ClusterUnreachable(broker, error)
                follower.give_up("the %s at %s was unreachable for %g s (%s)" % (
                    what, shown_url(url), reconnect_window,
                    without_password(error_text(error), url)))
            with follower.lock:
                if what == "broker":
                    follower.workers = follower.queued = None
            return False

    def send() -> None:
        sent = follower.sent
        try:
            follower.send(sandbox)
        finally:
            if follower.sent > sent:  # a broker that takes models is not unreachable
                unreachable_since.pop("broker", None)

    def refused(error: BaseException) -> str:  # a user without the right to send models
        return "the broker at %s refused the models (%s)" % (
            shown_url(broker), without_password(error_text(error), broker))

    try:
        attempt("results store", follower.report_progress)  # in flight from the first send
        LOG.info("batch %s (korvex_computer cancel %s ends it)", follower.batch,
                 follower.batch)
        try:
            # A broker that went away has as long to come back during the send as later, and
            # a farm starting as long to declare its queue.
            sending_since = time.monotonic()
            while True:
                try:
                    if attempt("broker", send) or not follower.any_open():
                        break
                except NoQueue:
                    if time.monotonic() - sending_since > reconnect_window:
                        raise
                time.sleep(1.0)
        except amqp.exceptions.AMQPError as error:
            raise JobFailed(Cause.BROKER_REFUSED, refused(error))
        if follower.sent == len(paths):
            LOG.info("the %d models are in the queue; waiting for their results", len(paths))
        elif follower.sent:
            LOG.info("the first %d of the %d models are in the queue; the others follow as "
                     "answers come", follower.sent, len(paths))
        report = Reporter(progress, follower.progress_at)
        report()
        next_count = next_reconcile = 0.0
        while follower.any_open():
            stop_if_asked()
            if time.monotonic() >= next_count:
                attempt("broker", follower.count_workers)
                attempt("results store", follower.report_progress)
                next_count = time.monotonic() + WORKERS_POLL_SECONDS
            read = False
            if follower.any_open():
                read = attempt("results store",
                               lambda: follower.read_notices(wait=POLL_SECONDS))
            if follower.any_open() and time.monotonic() >= next_reconcile:
                attempt("results store", follower.poll)
                next_reconcile = time.monotonic() + follower.reconcile_interval()
            if follower.any_open() and follower.has_room():
                try:
                    attempt("broker", send)
                except amqp.exceptions.AMQPError as error:
                    follower.give_up(refused(error))
            if not read:  # the store did not wait: out of reach
                time.sleep(POLL_SECONDS)
            report()
        report(always=True)
    except KeyboardInterrupt:
        try:  # the answers that came before the interruption
            follower.poll()
        except (Exception, KeyboardInterrupt):
            pass
        follower.interrupt()
        raise BatchInterrupted([entry for entry in follower.results if entry is not None])
    finally:
        follower.end()
    return [entry for entry in follower.results if entry is not None]
