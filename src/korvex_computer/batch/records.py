"""The results store's records of one model sent to the farm, kept by one class for both sides:
the client (queue_client.py) that sent the model and the worker (attempt.py) that solves it.
Each step that reads and then writes runs in the store as one script, a single round trip
that nothing else can come between. See docs/farm.md for who writes which record when.
"""

from __future__ import annotations

import hmac
import json
from typing import Any, List, Optional, Tuple, cast

from .broker import (BATCH_KEY, FINISH_LOCK, NOTICE_KEY, RECORD_SECONDS, RESULT_KEY, RUNNING_KEY,
                     TASK_KEY, model_key, signature)
from .entries import Entry

# Counts the delivery and marks the attempt running, unless the batch ended or the model was
# closed or answered (the answer is given back: only the caller can check its signature, and
# it begins again with ARGV[6] set to an answer it found unsigned, which it may overwrite).
_BEGIN = """
if redis.call('EXISTS', KEYS[1]) == 1 or redis.call('HGET', KEYS[2], 'closed') then
  return {0}
end
local answer = redis.call('GET', KEYS[3])
if answer and answer ~= ARGV[6] then return {1, answer} end
local attempts = redis.call('HINCRBY', KEYS[2], 'attempts', 1)
redis.call('HSET', KEYS[2], 'worker', ARGV[1], 'attempt', ARGV[2])
redis.call('EXPIRE', KEYS[2], ARGV[4])
redis.call('SET', KEYS[4], ARGV[2], 'EX', ARGV[3])
redis.call('XADD', KEYS[5], '*', 'notice', ARGV[5])
redis.call('EXPIRE', KEYS[5], ARGV[4])
return {2, attempts}
"""

# Renews the attempt's running mark, and the answer's lock while the attempt holds it.
_RENEW = """
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
if redis.call('GET', KEYS[2]) == ARGV[1] then redis.call('EXPIRE', KEYS[2], ARGV[2]) end
return 1
"""

# Takes the answer's lock for the attempt unless another attempt holds it (a lock already
# under the attempt's own token is its own: a try whose reply was lost took it), and reads
# what decides whether the attempt may still answer: the batch's end, the model's closing, the
# stored answer.
_TAKE_LOCK = """
local holder = redis.call('GET', KEYS[1])
if holder and holder ~= ARGV[1] then return {0} end
if not holder then redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2]) end
return {1, redis.call('EXISTS', KEYS[2]), redis.call('HGET', KEYS[3], 'closed'),
        redis.call('GET', KEYS[4])}
"""

# Stores the answer with its notice (the notice never comes first), releases the lock and
# removes the running mark, if the attempt holds the lock. An attempt without it (one with no
# files to put in place takes none; one frozen past it lost it) stores only while no other
# attempt holds it, its batch did not end, the model is not closed, and the stored answer is
# none or the unsigned one it was shown (ARGV[5]). The task record names the attempt that
# answered: a try whose reply was lost finds the answer its own, even once its client read it
# and closed the model.
_STORE = """
if redis.call('HGET', KEYS[3], 'answered_by') == ARGV[1] then return {2} end
local holder = redis.call('GET', KEYS[1])
if holder ~= ARGV[1] then
  if holder or redis.call('HGET', KEYS[3], 'closed') then return {0} end
  if redis.call('EXISTS', KEYS[6]) == 1 then return {3} end
  local answer = redis.call('GET', KEYS[2])
  if answer and answer ~= ARGV[5] then return {1, answer} end
end
redis.call('SET', KEYS[2], ARGV[2], 'EX', ARGV[3])
redis.call('HSET', KEYS[3], 'answered_by', ARGV[1])
redis.call('XADD', KEYS[4], '*', 'notice', ARGV[4])
redis.call('EXPIRE', KEYS[4], ARGV[3])
if holder == ARGV[1] then redis.call('DEL', KEYS[1]) end
if redis.call('GET', KEYS[5]) == ARGV[1] then redis.call('DEL', KEYS[5]) end
return {2}
"""

_RELEASE = """
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
return 1
"""


class LockState(object):
    """What the attempt that took the answer's lock found."""

    def __init__(self, batch_ended: bool, closed: bool, answer: Optional[bytes]) -> None:
        self.batch_ended, self.closed, self.answer = batch_ended, closed, answer


class ModelRecords(object):
    """The records of one model: its task record (deliveries, the attempt, closed), its signed
    answer, the running mark of the attempt at it, the answer's lock, and its batch's notices
    and end mark. The answer is signed with the model's own key."""

    def __init__(self, store: Any, batch: str, task_id: str, key: str) -> None:
        self.store = store
        self.batch = batch
        self.task_id = task_id
        self.key = key
        self.task = TASK_KEY % task_id
        self.result = RESULT_KEY % task_id
        self.running = RUNNING_KEY % task_id
        self.lock = FINISH_LOCK % task_id
        self.notices = NOTICE_KEY % batch
        self.batch_mark = BATCH_KEY % batch

    @classmethod
    def of_batch(cls, store: Any, batch: str, secret: str, task_id: str) -> "ModelRecords":
        """The records of a model as its client knows them, from the batch's secret."""
        return cls(store, batch, task_id, model_key(secret, task_id))

    def _run(self, script: str, keys: List[str], args: List[Any]) -> Any:
        # redis-py sends the script's digest, and the script itself once the store lacks it.
        return self.store.register_script(script)(keys=keys, args=args)

    # What both sides share: the seal of an answer.

    def sealed(self, entry: Entry) -> str:
        return json.dumps({"entry": entry, "signature": signature(self.key, self.task_id,
                                                                   entry)})

    def opened(self, answer: Optional[bytes]) -> Optional[Entry]:
        """The entry of a stored answer if it bears the model's seal, else None."""
        try:
            stored = json.loads(answer) if answer else None
            if stored is None:
                return None
            entry, seal = stored["entry"], stored["signature"]
            if isinstance(entry, dict) and isinstance(seal, str) and hmac.compare_digest(
                    seal, signature(self.key, self.task_id, entry)):
                return cast(Entry, entry)  # sealed by a worker of the batch: its entry
        except (ValueError, KeyError, TypeError):
            pass
        return None

    def notice(self, what: str) -> str:
        return "%s %s" % (what, self.task_id)

    # The worker's steps.

    def begin(self, worker: str, attempt_id: str, running_seconds: float) -> Optional[int]:
        """Counts a delivery and marks the attempt running, with the notice "started"; the
        attempt's number, or None when the model needs no solving (its batch ended, or it
        was closed or answered)."""
        unsigned = b""
        while True:
            reply = self._run(_BEGIN, [self.batch_mark, self.task, self.result, self.running,
                                       self.notices],
                              [worker, attempt_id, int(running_seconds), RECORD_SECONDS,
                               self.notice("started"), unsigned])
            if reply[0] == 0 or (reply[0] == 1 and self.opened(reply[1]) is not None):
                return None
            if reply[0] == 2:
                return int(reply[1])
            unsigned = reply[1]  # written by someone without the key: not an answer

    def renew(self, attempt_id: str, seconds: float) -> None:
        self._run(_RENEW, [self.running, self.lock], [attempt_id, int(seconds)])

    def take_lock(self, attempt_id: str, seconds: float) -> Optional[LockState]:
        """Takes the answer's lock for `seconds` (renewed with the running mark); what the
        attempt then found, or None while another attempt holds it."""
        reply = self._run(_TAKE_LOCK, [self.lock, self.batch_mark, self.task, self.result],
                          [attempt_id, int(seconds)])
        if reply[0] == 0:
            return None
        return LockState(bool(reply[1]), bool(reply[2]), reply[3])

    def store_answer(self, attempt_id: str, entry: Entry) -> Optional[bool]:
        """Stores the sealed answer and its notice "answered", releasing the lock: True when
        it did; False when another attempt holds the lock or answered, or the model was
        closed; None when, without the lock, it found the batch ended. The entry names the
        attempt (`attempt_id`), which finds its own answer stored by a try whose reply was
        lost."""
        answer, unsigned = self.sealed(entry), b""
        while True:
            reply = self._run(_STORE, [self.lock, self.result, self.task, self.notices,
                                       self.running, self.batch_mark],
                              [attempt_id, answer, RECORD_SECONDS, self.notice("answered"),
                               unsigned])
            if reply[0] == 2:
                return True
            if reply[0] == 3:
                return None
            if reply[0] == 0:
                return False
            found = self.opened(reply[1])
            if found is not None:  # its own, when a try whose reply was lost stored it
                return found.get("attempt_id") == attempt_id
            unsigned = reply[1]

    def release_lock(self, attempt_id: str) -> None:
        self._run(_RELEASE, [self.lock], [attempt_id])

    def end(self, attempt_id: str) -> None:
        """Removes the attempt's running mark (the answer removed it already, if stored)."""
        self._run(_RELEASE, [self.running], [attempt_id])

    # The client's steps, added to a pipeline of many models.

    def read(self, pipe: Any) -> None:
        """Adds the reads of the model's answer, its deliveries and its running mark."""
        pipe.get(self.result).hget(self.task, "attempts").exists(self.running)

    def close(self, pipe: Any) -> None:
        """Adds the closing of the model: its workers leave it as it is, and its answer,
        read, goes."""
        pipe.hset(self.task, "closed", 1).expire(self.task, RECORD_SECONDS)
        pipe.delete(self.result)


class NoticeReader(object):
    """A batch's notices ("started ID", "answered ID"), a stream that the workers add to and
    its client reads in order from where its last read ended, without removing anything: a
    read that is lost on the way is made again."""

    def __init__(self, store: Any, batch: str) -> None:
        self.store = store
        self.key = NOTICE_KEY % batch
        self.last = "0-0"

    def read(self, wait: float) -> List[Tuple[str, str]]:
        """The notices since the last read, as (what, task id); waits up to `wait` seconds
        for the first one."""
        reply = self.store.xread({self.key: self.last},
                                 block=max(1, int(wait * 1000)) if wait else None)
        read = []
        for _, entries in reply or []:
            for notice_id, fields in entries:
                self.last = notice_id
                text = fields.get(b"notice", b"").decode("utf-8", "replace")
                what, _, task_id = text.partition(" ")
                read.append((what, task_id))
        return read
