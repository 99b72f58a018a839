"""Solving models on several machines through a job queue: Celery, with a RabbitMQ broker
that holds the models to solve and a Redis server that holds their results
(``pip install "korvex_computer[cluster]"``). This module holds what the client
(queue_client.py) and the workers (keeper.py, queue_worker.py, attempt.py) share.

``korvex_computer worker`` runs on a machine with the application: a keeper process starts N
worker processes and replaces one that dies. Each binds to its installation once, then takes
one model at a time from the queue and solves it. ``korvex_computer solve ... --broker URL
--results URL`` sends one task per model and reads the results.

Nothing is lost with a worker. The queue is a quorum queue (durable, its messages persistent)
whose messages are acknowledged only once the model's result is stored: the broker hands the
model of a worker whose connection drops (a dead process, a machine switched off, missed
heartbeats) to another worker at once. Each delivery is an attempt with an id and a working
copy of its own (a sandbox, even for a model solved in place); the first attempt that finishes
stores the result, under a lock, and moves an in-place solve's files into the model's folder;
a later attempt's answer never replaces it. Past MAX_ATTEMPTS deliveries the model is answered
as a worker failure, and the broker's delivery limit bounds a model that kills every worker
even when that answer cannot be stored.

Who is trusted: only holders of the farm's broker credentials can send or take models (the
broker's permissions), and each batch gives each of its tasks a key of its own, derived from
the batch's secret, with which the worker signs the result: a result written into the store
by anyone else is refused.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import importlib
import json
import logging
import os
import re
import time
import urllib.parse
from typing import Any, Dict, Iterator, Mapping, Tuple, Type

from .common import CA_VARIABLE, Cause, JobFailed, error_text

QUEUE = "korvex_computer"
DEAD_LETTERS = "korvex_computer.dead"
TASK = "korvex_computer.solve"
# Keys in the results store.
RESULT_KEY = "korvex_computer:result:%s"  # the signed result of the attempt that finished
TASK_KEY = "korvex_computer:task:%s"  # the deliveries of one model, and whether it is closed
BATCH_KEY = "korvex_computer:batch:%s"  # "ended" by its client, or "cancelled" by an operator
# A batch in flight: who sent it, when, and its progress, renewed by its client.
IN_FLIGHT_KEY = "korvex_computer:in-flight:%s"
IN_FLIGHT_SECONDS = 30
# A worker process: where it runs, since when, and the model it solves; renewed while it lives.
WORKER_KEY = "korvex_computer:worker:%s"
WORKER_RENEWAL_SECONDS = 2.0
WORKER_SECONDS = 10
RUNNING_KEY = "korvex_computer:running:%s"  # renewed while a worker's attempt at it lives
NOTICE_KEY = "korvex_computer:notices:%s"  # a batch's list of "started"/"answered" task ids
FINISH_LOCK = "korvex_computer:finishing:%s"
RECORD_SECONDS = 24 * 3600  # what a client that went leaves behind expires after this long
RUNNING_RENEWAL_SECONDS = 1.0
# A model open in a batch that no worker is seen working on while the queue holds no model
# waiting for this long is gone: taken and dropped, dead-lettered, or its answer removed.
LOST_SECONDS = 15.0

MAX_ATTEMPTS = 3
DELIVERY_LIMIT = MAX_ATTEMPTS + 1  # the broker's: a model returned once more is dead-lettered
DEFAULT_HEARTBEAT = 10.0
DEFAULT_TIMEOUT = 6 * 3600.0
DEFAULT_NO_WORKER_TIMEOUT = 600.0
RECONNECT_SECONDS = 30.0  # how long the client waits for a server that went away
CONNECT_SECONDS = 3.0



class ClusterUnreachable(JobFailed):
    """The broker or the results store of the queue cannot be reached."""

    def __init__(self, url: str, error: BaseException, what: str = "broker") -> None:
        super().__init__(Cause.CLUSTER_UNREACHABLE, "cannot reach the %s at %s (%s)"
                         % (what, shown_url(url), without_password(error_text(error), url)))


_SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*://")


def _split_user_info(url: str) -> Tuple[str, str, str, str]:
    """Scheme, user, password and the rest ("@host..."), taking whatever lies between the
    scheme and the last "@" as user information, even a password that holds "/" or "@"."""
    url = url.strip()
    scheme, at = _SCHEME.match(url), url.rfind("@")
    if scheme is None or at < scheme.end() or ":" not in url[scheme.end():at]:
        return "", "", "", url
    user, password = url[scheme.end():at].split(":", 1)
    return scheme.group(0), user, password, url[at:]


def shown_url(url: str) -> str:
    """The URL without its password, for messages."""
    scheme, user, password, rest = _split_user_info(url)
    return "%s%s:***%s" % (scheme, user, rest) if scheme else rest


def without_password(text: str, url: str) -> str:
    """The text with the URL's password, as given and decoded, replaced by ***."""
    password = _split_user_info(url)[2]
    for form in sorted({password, urllib.parse.unquote(password)}, key=len, reverse=True):
        if form:
            text = text.replace(form, "***")
    return text


def check_url(url: str, what: str) -> None:
    """JobFailed for a URL that cannot be read, saying so without its password."""
    try:
        urllib.parse.urlsplit(url.strip()).port  # reading the port checks the URL
    except ValueError:
        raise JobFailed(Cause.INVALID_URL, "the %s URL %s cannot be read: a user name or password "
                        "that holds \"/\", \"@\" or \":\" must be percent-encoded "
                        "(%%2F, %%40, %%3A)" % (what, shown_url(url)))


def warn_of_an_open_results_store(url: str) -> None:
    """Logs a warning for a results store on another machine reached without a password:
    whoever reaches it could then make clients wait (results are signed, so not lie)."""
    parts = urllib.parse.urlsplit(url.strip())
    if not parts.password and parts.hostname not in (None, "localhost", "127.0.0.1", "::1"):
        logging.getLogger("korvex_computer.batch").warning(
            "the results store at %s is reached without a password: anyone on the network "
            "can change what it holds", shown_url(url))


def require_libraries() -> None:
    """JobFailed unless the queue's libraries are installed."""
    try:
        import celery  # type: ignore[import-untyped]  # noqa: F401
        import redis  # noqa: F401
    except ImportError as error:
        raise JobFailed(Cause.MISSING_CLUSTER_LIBRARIES, "%s; install them with pip install "
                        "\"korvex_computer[cluster]\"" % error_text(error))


def connection_errors() -> Tuple[Type[BaseException], ...]:
    import amqp.exceptions  # type: ignore[import-untyped]
    import kombu.exceptions
    import redis.exceptions

    return (OSError, redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
            kombu.exceptions.OperationalError, amqp.exceptions.ConnectionError)


def results_client(url: str) -> Any:
    """A client of the results store that gives up at once on a server it cannot reach,
    instead of trying again (the caller decides how long to keep trying)."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    return redis.Redis.from_url(url, socket_connect_timeout=CONNECT_SECONDS,
                                socket_timeout=CONNECT_SECONDS, retry=Retry(NoBackoff(), 0))


def reachable_results(url: str, seconds: float = 0.0) -> Any:
    """A client of the results store, once it answered, asked every second for `seconds`
    while it cannot be reached; else ClusterUnreachable (at once for a bad URL or password)."""
    import redis.exceptions

    warn_of_an_open_results_store(url)
    try:
        client = results_client(url)
    except ImportError:
        raise
    except Exception as error:  # a bad URL
        raise ClusterUnreachable(url, error, "results store")
    deadline = time.monotonic() + seconds
    while True:
        try:
            client.ping()
            return client
        except Exception as error:
            refused = isinstance(error, (redis.exceptions.AuthenticationError,
                                         redis.exceptions.AuthorizationError))
            if refused or not isinstance(error, connection_errors()) or \
                    time.monotonic() >= deadline:
                raise ClusterUnreachable(url, error, "results store")
            time.sleep(1.0)


ANSWER_SECONDS = CONNECT_SECONDS  # the longest one waits for one answer of the broker


def open_broker_connection(app: Any) -> Any:
    """A connection to the broker on which every wait for an answer ends within
    ANSWER_SECONDS (socket.timeout, an OSError): a broker that hangs, a stopped process or a
    network partition, would otherwise hold the client or a starting worker until TCP gives up,
    hours later, even while it closes the connection."""
    connection = app.connection_for_write()
    try:
        connection.ensure_connection(max_retries=1, timeout=CONNECT_SECONDS)
        # py-amqp waits on a blocking socket; its own waits with a timeout set one and put
        # this one back.
        connection.connection.transport.sock.settimeout(ANSWER_SECONDS)
    except BaseException:
        connection.collect()
        raise
    return connection


@contextlib.contextmanager
def broker_connection(app: Any) -> Iterator[Any]:
    """A connection to the broker (see open_broker_connection) for the block. One that failed
    is dropped without the closing handshake, which would wait as long again."""
    connection = open_broker_connection(app)
    try:
        yield connection
    except BaseException:
        connection.collect()
        raise
    connection.release()


class HeldConnection(object):
    """A client's connection to the broker, opened as broker_connection() opens one and kept
    between its uses (each turn of the client's window, each count of the queue): one that
    failed is dropped and opened again at the next use. It has no heartbeats, so one left
    idle for IDLE_SECONDS, which something on the way may have dropped unseen, is opened
    again rather than trusted."""

    IDLE_SECONDS = 20.0

    def __init__(self, app: Any) -> None:
        self.app = app
        self.connection: Any = None
        self.last_used = 0.0

    @contextlib.contextmanager
    def use(self) -> Iterator[Any]:
        if self.connection is not None and \
                time.monotonic() - self.last_used > self.IDLE_SECONDS:
            self.close()
        if self.connection is None:
            self.connection = open_broker_connection(self.app)
        try:
            yield self.connection
        except BaseException:
            connection, self.connection = self.connection, None
            _drop(connection)
            raise
        self.last_used = time.monotonic()

    def close(self) -> None:
        if self.connection is not None:
            connection, self.connection = self.connection, None
            try:
                connection.release()
            except Exception:
                _drop(connection)  # gone already: nothing to hand back


def _drop(connection: Any) -> None:
    """Drops a connection without the closing handshake. A use cut short (Ctrl-C while a
    channel was being opened) can leave it half made, which the dropping may trip on: the
    error that cut it short is the one to raise."""
    try:
        connection.collect()
    except Exception:
        pass


class NoQueue(JobFailed):
    """The broker has no queue of the farm (no worker started yet)."""


def queue_counts(connection: Any, queue: str = QUEUE) -> Tuple[int, int]:
    """The messages waiting in a queue of the farm and its consumers, as the broker counts
    them, read by a passive declare, which any user of the farm may make; NoQueue when there
    is no such queue (the workers declare them)."""
    import amqp.exceptions

    channel = connection.channel()
    try:
        _, waiting, consumers = channel.queue_declare(queue, passive=True)
    except amqp.exceptions.NotFound:
        raise NoQueue(Cause.NO_QUEUE, "the broker at %s has no queue %s yet: a worker declares it "
                      "when it starts" % (shown_url(connection.as_uri()), queue))
    finally:
        if channel.is_open:
            channel.close()
    return waiting, consumers


def check_broker(app: Any, url: str) -> None:
    """ClusterUnreachable unless the broker accepts the connection."""
    try:
        with broker_connection(app):
            pass
    except Exception as error:
        raise ClusterUnreachable(url, error)


def _kombu_entities() -> Tuple[Any, Any]:
    """kombu's Exchange and Queue classes (untyped)."""
    kombu: Any = importlib.import_module("kombu")
    return kombu.Exchange, kombu.Queue


def task_queues() -> Any:
    Exchange, Queue = _kombu_entities()

    # A quorum queue (durable, its messages persistent) whose broker counts the deliveries of
    # each message and drops a model delivered past the limit, or hands it to the dead letters
    # when the broker's policy names them (a dead-letter exchange given here would need the
    # right to read the queue of everyone who declares it, the clients included).
    # Models go through the broker's default exchange, which routes by queue name: the
    # clients need no right to bind anything.
    return [Queue(QUEUE, Exchange(""), routing_key=QUEUE, queue_arguments={
        "x-queue-type": "quorum", "x-delivery-limit": DELIVERY_LIMIT})]


def declare_dead_letters(app: Any) -> None:
    """The exchange and queue of the models delivered past the limit, kept a week."""
    Exchange, Queue = _kombu_entities()
    with broker_connection(app) as connection:
        Queue(DEAD_LETTERS, Exchange(DEAD_LETTERS, type="fanout"), durable=True,
              queue_arguments={"x-message-ttl": 7 * 24 * 3600 * 1000}
              )(connection.default_channel).declare()


def running_seconds(heartbeat: float) -> float:
    """How long a worker's mark of an attempt that lives outlasts its last renewal: longer
    than the broker takes to give the model of a worker that hangs to another one (about two
    heartbeats), so that a model is always seen either in the queue or being worked on."""
    return 3 * heartbeat + 5


def celery_app(broker: str, heartbeat: float = DEFAULT_HEARTBEAT) -> Any:
    from celery import Celery

    app = Celery("korvex_computer", broker=broker, set_as_current=False)
    app.conf.update(
        task_queues=task_queues(), task_default_queue=QUEUE,
        task_default_exchange="", task_default_routing_key=QUEUE,
        task_serializer="json", accept_content=["json"], task_ignore_result=True,
        # A task is acknowledged once its result is stored: the broker gives the model of a
        # worker that went before to another one.
        task_acks_late=True, task_reject_on_worker_lost=True, worker_prefetch_multiplier=1,
        broker_heartbeat=heartbeat, broker_connection_timeout=CONNECT_SECONDS,
        broker_connection_retry_on_startup=False, broker_connection_max_retries=None,
        broker_transport_options={"confirm_publish": True},
        # Nobody steers the workers through the broker, and they send no events.
        worker_enable_remote_control=False, worker_send_task_events=False,
        task_send_sent_event=False,
        worker_hijack_root_logger=False, worker_redirect_stdouts=False,
    )
    if broker.strip().lower().startswith("amqps://"):
        app.conf.broker_use_ssl = tls_options(broker)
    return app


def tls_options(broker: str) -> Dict[str, Any]:
    """TLS for an amqps:// broker: its certificate checked against the CA file of
    $KORVEX_BROKER_CA (else the system's), and its name against the URL's host."""
    import ssl

    ca_file = os.environ.get(CA_VARIABLE) or ssl.get_default_verify_paths().cafile
    if ca_file and not os.path.isfile(ca_file):
        raise JobFailed(Cause.INVALID_URL, "the broker's CA file %s does not exist" % ca_file)
    return {"ca_certs": ca_file, "cert_reqs": ssl.CERT_REQUIRED,
            "server_hostname": urllib.parse.urlsplit(broker.strip()).hostname}


def model_key(secret: str, task_id: str) -> str:
    """The key that signs the answer of one model, derived from its batch's secret: a model's
    message carries its own key, so whoever reads one message learns the key of that model
    alone, never the batch's secret."""
    return hmac.new(secret.encode("utf-8"), ("model\n" + task_id).encode("utf-8"),
                    hashlib.sha256).hexdigest()


def signature(secret: str, task_id: str, entry: Mapping[str, Any]) -> str:
    text = json.dumps(entry, sort_keys=True)
    return hmac.new(secret.encode("utf-8"), (task_id + "\n" + text).encode("utf-8"),
                    hashlib.sha256).hexdigest()
