"""Solving models on several machines through a job queue: Celery, with one Redis server as
its broker and its result backend (``pip install "korvex_computer[cluster]"``).

``korvex_computer worker --broker URL`` runs a worker on a machine with the application: it
binds to its installation once, then takes one model at a time from the queue (Celery's
``solo`` pool: the module holds one solution per process), solves it as a worker of the local
pool does, and answers with the same result. ``korvex_computer solve ... --broker URL`` sends
one task per model and follows them in the result backend.

A model is never lost with its worker. A task is acknowledged only once its result is stored
(late acknowledgement), so until then its message stays claimed in Redis; while the worker
lives, a thread of it renews that claim every few seconds. The same thread of every worker
hands back to the queue the messages whose claim was not renewed for ``redeliver_after``
seconds, those of workers that died, and another worker then solves the model again, in a
fresh sandbox. Each delivery of a model is counted: past MAX_ATTEMPTS it is answered as a
worker failure instead of being solved once more. The thread also keeps a key that says the
worker is listening, which the command line counts for its status line.
"""

from __future__ import annotations

import urllib.parse
from typing import Any, Tuple, Type

from .common import JobFailed, error_text

QUEUE = "korvex_computer"
TASK = "korvex_computer.solve"
# Keys of the command line's own beside Celery's, on the same Redis server.
WORKER_KEY = "korvex_computer:worker:%s"  # one per listening worker, expiring
TASK_KEY = "korvex_computer:task:%s"  # the deliveries of one model, and whether it is closed
TASK_KEY_SECONDS = 7 * 24 * 3600

MAX_ATTEMPTS = 3
DEFAULT_REDELIVER_AFTER = 60.0
DEFAULT_TIMEOUT = 6 * 3600.0
CONNECT_SECONDS = 3.0


class ClusterUnreachable(JobFailed):
    """The Redis server of the queue cannot be reached."""

    def __init__(self, broker: str, error: BaseException) -> None:
        super().__init__("cluster unreachable", "cannot reach the broker at %s (%s)"
                         % (shown_url(broker), error_text(error)))


def shown_url(url: str) -> str:
    """The URL without its password, for messages."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    host = parts.netloc.rsplit("@", 1)[-1]
    user = parts.username or ""
    return urllib.parse.urlunsplit(parts._replace(netloc="%s:***@%s" % (user, host)))


def require_libraries() -> None:
    """JobFailed unless the queue's libraries are installed."""
    try:
        import celery  # type: ignore[import-untyped]  # noqa: F401
        import redis  # noqa: F401
    except ImportError as error:
        raise JobFailed("missing cluster libraries", "%s; install them with pip install "
                        "\"korvex_computer[cluster]\"" % error_text(error))


def connection_errors() -> Tuple[Type[BaseException], ...]:
    import kombu.exceptions
    import redis.exceptions

    return (OSError, redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
            kombu.exceptions.OperationalError)


def redis_client(broker: str) -> Any:
    """A client of the broker's Redis server that gives up at once on a server it cannot
    reach, instead of trying again (the command line says so within seconds)."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    return redis.Redis.from_url(broker, socket_connect_timeout=CONNECT_SECONDS,
                                socket_timeout=3 * CONNECT_SECONDS, retry=Retry(NoBackoff(), 0))


def reachable_client(broker: str) -> Any:
    """A client of the broker's Redis server, once it answered; else ClusterUnreachable."""
    try:
        client = redis_client(broker)
        client.ping()
        return client
    except ImportError:
        raise
    except Exception as error:  # a bad URL included
        raise ClusterUnreachable(broker, error)


def celery_app(broker: str, redeliver_after: float = DEFAULT_REDELIVER_AFTER) -> Any:
    from celery import Celery

    app = Celery("korvex_computer", broker=broker, backend=broker, set_as_current=False)
    app.conf.update(
        task_default_queue=QUEUE,
        task_serializer="json", result_serializer="json", accept_content=["json"],
        # A task is acknowledged once its result is stored: a worker that dies before leaves
        # its message to be delivered again.
        task_acks_late=True, task_reject_on_worker_lost=True, task_track_started=True,
        worker_prefetch_multiplier=1,
        result_expires=TASK_KEY_SECONDS,
        broker_connection_timeout=CONNECT_SECONDS,
        broker_transport_options={"visibility_timeout": redeliver_after,
                                  "unacked_mutex_expire": max(10, int(redeliver_after))},
        task_publish_retry_policy={"max_retries": 1, "interval_start": 0,
                                   "interval_step": 1, "interval_max": 1},
        worker_hijack_root_logger=False, worker_redirect_stdouts=False,
    )
    return app
