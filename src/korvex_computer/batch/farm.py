"""What a farm's operator does besides running workers: `korvex_computer cancel BATCH` (and
`korvex_computer status`), with the client's credentials; `korvex_computer dead-letters`, with
the operator's. See broker.py.
"""

from __future__ import annotations

import calendar
import datetime
import json
import re
import time
from typing import Any, Dict, List, Optional

from .broker import (BATCH_KEY, CONNECT_SECONDS, DEAD_LETTERS, DELIVERY_LIMIT, IN_FLIGHT_KEY, QUEUE,
                     RECORD_SECONDS, WORKER_KEY, ClusterUnreachable, NoQueue, broker_connection,
                     celery_app, check_url, connection_errors, queue_counts, reachable_results,
                     require_libraries, shown_url, without_password)
from .common import Cause, JobFailed, error_text

BATCH_ID = re.compile(r"^[0-9a-f]{32}$")


def cancel_batch(results_url: str, batch: str) -> str:
    """Writes the mark that cancels a batch in flight: its workers skip its models still
    waiting and store nothing of those they are solving, and its client ends, reporting its
    open models cancelled. What was done, in a line; JobFailed for a batch not in flight."""
    require_libraries()
    check_url(results_url, "results store")
    store = reachable_results(results_url)
    with store.pipeline() as pipe:
        pipe.exists(IN_FLIGHT_KEY % batch).get(BATCH_KEY % batch)
        in_flight, mark = pipe.execute()
    if mark is not None:
        raise JobFailed(Cause.BATCH_ENDED, "batch %s was %s already" % (
            batch, "cancelled" if mark == b"cancelled" else "ended by its client"))
    if not in_flight:
        raise JobFailed(Cause.NO_SUCH_BATCH, "the results store at %s has no batch %s in flight"
                        % (shown_url(results_url), batch))
    store.set(BATCH_KEY % batch, "cancelled", ex=RECORD_SECONDS)
    return ("batch %s cancelled: its waiting models are withdrawn, its running ones stop "
            "at their next step" % batch)


def farm_status(broker: Optional[str], results_url: str) -> Dict[str, Any]:
    """What the farm does, as the client's credentials show it: the queue (as the broker
    counts it), the worker processes and the batches in flight (from their records in the
    results store)."""
    require_libraries()
    check_url(results_url, "results store")
    store = reachable_results(results_url)
    now = time.time()
    queue, workers = queue_status(broker), worker_records(store, now)
    if "error" not in queue:  # each worker process takes one model at a time
        queue["being_solved"] = sum(1 for worker in workers if worker["model"])
    return {"queue": queue, "workers": workers, "batches": batch_records(store, now)}


def queue_status(broker: Optional[str]) -> Dict[str, Any]:
    """The models waiting in the queue, its consumers and its dead letters; what could not be
    read, said."""
    status: Dict[str, Any] = {"name": QUEUE}
    if not broker:
        return dict(status, error="no broker given (--broker URL or KORVEX_BROKER)")
    check_url(broker, "broker")
    try:
        with broker_connection(celery_app(broker)) as connection:
            waiting, consumers = queue_counts(connection)
            try:
                dead, _ = queue_counts(connection, DEAD_LETTERS)
            except NoQueue:
                dead = 0
    except NoQueue as failure:
        return dict(status, error=failure.message)
    except Exception as error:  # unreachable, or a user that may not read it
        return dict(status, error="the broker at %s did not say (%s)" % (
            shown_url(broker), without_password(error_text(error), broker)))
    return dict(status, waiting=waiting, consumers=consumers, dead_letters=dead)


def records(store: Any, pattern: str) -> List[Dict[str, str]]:
    """The hashes of the keys that match `pattern`, with the key's last part as "id"."""
    keys = sorted(store.scan_iter(match=pattern % "*", count=500))
    with store.pipeline(transaction=False) as pipe:
        for key in keys:
            pipe.hgetall(key)
        found = pipe.execute()
    return [dict({name.decode(): value.decode("utf-8", "replace")
                  for name, value in fields.items()},
                 id=key.decode().rsplit(":", 1)[1])
            for key, fields in zip(keys, found) if fields]  # expired meanwhile: gone


def worker_records(store: Any, now: float) -> List[Dict[str, Any]]:
    workers = []
    for record in records(store, WORKER_KEY):
        solving = record.get("model") or None
        workers.append({
            "name": record["id"], "machine": record.get("machine"),
            "process": int(record.get("process", 0)), "since": float(record.get("since", 0)),
            "model": solving,
            "solving_for": (round(now - float(record["model_since"]), 1) if solving
                            else None)})
    return workers


def batch_records(store: Any, now: float) -> List[Dict[str, Any]]:
    batches = []
    for record in records(store, IN_FLIGHT_KEY):
        batch: Dict[str, Any] = {"id": record["id"], "sender": record.get("sender"),
                                 "sent_at": float(record.get("sent_at", 0)),
                                 "solver": record.get("solver")}
        for count in ("models", "done", "failed", "running", "waiting"):
            batch[count] = int(record.get(count, 0))
        batches.append(batch)
    return batches


# What the broker says of a message that it dead-lettered (its x-death header), for people.
DEATHS = {
    "delivery_limit": "given to workers %d times without an answer stored (the queue's "
                      "delivery limit): its workers ended on it, or could not store its "
                      "answer" % (DELIVERY_LIMIT + 1),
    "rejected": "refused by a worker, which could not take it",
    "expired": "expired in the queue",
}


def dead_letters(broker: str, action: Optional[str] = None,
                 batch: Optional[str] = None) -> List[Dict[str, Any]]:
    """The messages of the dead-letter queue (those of one batch, when given), read and left
    where they are; with `action` "put back", each is sent to the queue again, then removed
    from the dead letters; with "drop", removed. The messages read (of the batch), each as a
    letter (see dead_letter). Needs the operator's user: one that may read the dead letters
    and send to the queue."""
    import amqp  # type: ignore[import-untyped]

    require_libraries()
    check_url(broker, "broker")
    try:
        with broker_connection(celery_app(broker)) as connection:
            if action == "put back":
                queue_counts(connection)  # else the broker would drop what is put back
            waiting, _ = queue_counts(connection, DEAD_LETTERS)
            letters = []
            channel = connection.channel()
            # Those that the dead letters hold now, each taken unacknowledged: the ones
            # left go back in their places when the channel closes.
            for _ in range(waiting):
                message = channel.basic_get(DEAD_LETTERS)
                if message is None:
                    break
                letter = dead_letter(message)
                if batch is not None and letter["batch"] != batch:
                    continue
                if action == "put back":  # sent again (and confirmed) before it is removed
                    channel.basic_publish_confirm(
                        amqp.Message(message.body, **message.properties), exchange="",
                        routing_key=QUEUE, confirm_timeout=CONNECT_SECONDS * 3)
                if action is not None:
                    channel.basic_ack(message.delivery_tag)
                letters.append(letter)
            channel.close()
    except JobFailed:
        raise
    except connection_errors() as error:
        raise ClusterUnreachable(broker, error)
    except (amqp.exceptions.AMQPError, amqp.exceptions.MessageNacked) as error:
        # a user without the operator's rights
        raise JobFailed(Cause.BROKER_REFUSED, "the broker at %s refused (%s): the dead letters "
                        "need the operator's user of the README's recipe" % (
                            shown_url(broker), without_password(error_text(error), broker)))
    return letters


def dead_letter(message: Any) -> Dict[str, Any]:
    """What a dead-lettered message says: its task, model and batch (None where it does not
    say, or cannot be read), how many times workers were given it, and why and when the
    broker last dead-lettered it (its x-death header, the latest death first)."""
    headers = message.headers if isinstance(message.headers, dict) else {}
    try:
        arguments = json.loads(message.body)[0]
        model, batch = arguments[0], arguments[4]
    except (ValueError, TypeError, LookupError):
        model = batch = None
    deaths = headers.get("x-death")
    deaths = [death for death in deaths if isinstance(death, dict)] if isinstance(
        deaths, list) else []
    deliveries = 0
    for death in deaths:
        count = death.get("count")
        deliveries += (count if isinstance(count, int) else 1) * (
            DELIVERY_LIMIT + 1 if death.get("reason") == "delivery_limit" else 1)
    last = deaths[0] if deaths else {"reason": "sent to the dead letters as it is (it has no "
                                               "x-death header)"}
    when = last.get("time")
    return {"task": headers.get("id"),
            "model": model if isinstance(model, str) else None,
            "batch": batch if isinstance(batch, str) else None,
            "deliveries": deliveries,
            "last_error": DEATHS.get(str(last.get("reason")), str(last.get("reason"))),
            "dead_since": (calendar.timegm(when.utctimetuple())
                           if isinstance(when, datetime.datetime) else None)}
