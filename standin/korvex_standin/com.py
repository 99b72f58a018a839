"""COM apartments of the stand-in: a per-thread initialisation count."""

import threading

from . import journal

_lock = threading.Lock()
_depths = {}   # thread ident -> (thread name, count)

COINIT_MULTITHREADED = 0
COINIT_APARTMENTTHREADED = 2


def _change(delta):
    ident = threading.get_ident()
    with _lock:
        _, depth = _depths.get(ident, (None, 0))
        _depths[ident] = (threading.current_thread().name, depth + delta)


def co_initialize():
    journal.invoke("pythoncom.CoInitialize", (), lambda: _change(+1))


def co_initialize_ex(flags):
    journal.invoke("pythoncom.CoInitializeEx", (flags,), lambda: _change(+1))


def co_uninitialize():
    # An unbalanced CoUninitialize shows as a negative count.
    journal.invoke("pythoncom.CoUninitialize", (), lambda: _change(-1))


def depth(ident=None):
    """The COM initialisation count of a thread (the calling one by default)."""
    with _lock:
        return _depths.get(threading.get_ident() if ident is None else ident, (None, 0))[1]


def depths():
    """{thread ident: (thread name, count)} of every thread that called into COM."""
    with _lock:
        return dict(_depths)


def forget():
    with _lock:
        _depths.clear()
