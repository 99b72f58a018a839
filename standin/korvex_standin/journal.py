"""Journal of every call made into the stand-in platform, with fault knobs.

Each entry is ``Entry(member, args, thread_name, thread_ident)``.  Member names:

* methods and static methods: ``"Model.LoadFromFile"``, ``"PSLibrary.Initialize"``
* constructors: the class name, ``"Model"``
* property assignments: ``"PipeStressSolver.IgnoreWarnings="``
* bridge and COM calls: ``"clr.AddReference"``, ``"pythoncom.CoInitialize"``

Knobs change what a member does, for tests:

* ``fail(member, exc)`` raises ``exc`` (an exception instance or class, or a
  callable that is given the call's arguments and returns an exception);
* ``answer(member, value)`` returns ``value`` without doing the member's work.

Both take ``times=N`` to act on the next N calls only.  The call is journaled
either way.  ``reset()`` clears entries and knobs; loaded assemblies stay.
"""

import collections
import threading

Entry = collections.namedtuple("Entry", "member args thread_name thread_ident")

entries = []
_knobs = {}
_lock = threading.RLock()

_FAIL = "fail"
_ANSWER = "answer"


def reset():
    """Forget every entry and every knob."""
    with _lock:
        del entries[:]
        _knobs.clear()


def clear_knobs():
    with _lock:
        _knobs.clear()


def members():
    """Member names of all entries, in call order."""
    with _lock:
        return [e.member for e in entries]


def calls(member):
    """The argument tuples of every call of ``member``, in call order."""
    with _lock:
        return [e.args for e in entries if e.member == member]


def threads(member):
    """The thread idents of every call of ``member``, in call order."""
    with _lock:
        return [e.thread_ident for e in entries if e.member == member]


def fail(member, exception, times=None):
    """Make ``member`` raise ``exception`` (each time, or the next ``times`` calls)."""
    _set_knob(member, _FAIL, exception, times)


def answer(member, value, times=None):
    """Make ``member`` return ``value`` instead of doing its work."""
    _set_knob(member, _ANSWER, value, times)


def _set_knob(member, kind, payload, times):
    if times is not None and times < 1:
        raise ValueError("times must be at least 1")
    with _lock:
        _knobs[member] = [kind, payload, times]


def record(member, args):
    current = threading.current_thread()
    with _lock:
        entries.append(Entry(member, tuple(args), current.name, threading.get_ident()))


def _take_knob(member):
    with _lock:
        knob = _knobs.get(member)
        if knob is None:
            return None
        kind, payload, times = knob
        if times is not None:
            knob[2] = times - 1
            if knob[2] == 0:
                del _knobs[member]
        return kind, payload


def invoke(member, args, work):
    """Journal a call of ``member``, then apply its knob or run ``work()``."""
    record(member, args)
    knob = _take_knob(member)
    if knob is None:
        return work()
    kind, payload = knob
    if kind == _ANSWER:
        return payload
    raise _exception_from(payload, args)


def _exception_from(payload, args):
    if isinstance(payload, BaseException):
        return payload
    if isinstance(payload, type) and issubclass(payload, BaseException):
        return payload()
    exc = payload(*args)
    if not isinstance(exc, BaseException):
        raise TypeError("a fail() factory must return an exception, got %r" % (exc,))
    return exc
