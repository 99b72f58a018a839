"""What a farm's operator does besides running workers: `korvex_computer cancel BATCH` (and
`korvex_computer status`), with the client's credentials. See broker.py.
"""

from __future__ import annotations

import re

from .broker import (BATCH_KEY, IN_FLIGHT_KEY, RECORD_SECONDS, check_url, reachable_results,
                     require_libraries, shown_url)
from .common import JobFailed

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
        raise JobFailed("batch ended", "batch %s was %s already" % (
            batch, "cancelled" if mark == b"cancelled" else "ended by its client"))
    if not in_flight:
        raise JobFailed("no such batch", "the results store at %s has no batch %s in flight"
                        % (shown_url(results_url), batch))
    store.set(BATCH_KEY % batch, "cancelled", ex=RECORD_SECONDS)
    return ("batch %s cancelled: its waiting models are withdrawn, its running ones stop "
            "at their next step" % batch)
