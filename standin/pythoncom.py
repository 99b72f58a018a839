"""Stand-in of the Windows COM bridge: CoInitialize / CoUninitialize with a
per-thread count that tests can read."""

from korvex_standin import com as _com

COINIT_MULTITHREADED = _com.COINIT_MULTITHREADED
COINIT_APARTMENTTHREADED = _com.COINIT_APARTMENTTHREADED


def CoInitialize():
    _com.co_initialize()


def CoInitializeEx(flags):
    _com.co_initialize_ex(flags)


def CoUninitialize():
    _com.co_uninitialize()


def _apartment_depth(ident=None):
    """COM count of the calling thread (or of the thread ``ident``)."""
    return _com.depth(ident)


def _apartment_depths():
    """{thread ident: (thread name, count)} of every thread that called into COM."""
    return _com.depths()
