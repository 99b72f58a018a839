"""Drive an installed Velmora application from Python scripts, without its user interface.

Every name of the native module ``korvex_computer.korvex_core`` is available here too, so
``import korvex_computer as cc; cc.setup_korvex_computer(...)`` works. The names are looked up
on the native module at each access: a global that the module changes later (for example
``_Solution_`` or ``_validSetup_``) reads the same here as there.
"""

from . import korvex_core

__all__ = [name for name in dir(korvex_core) if not name.startswith("__")]


def __getattr__(name):
    try:
        return getattr(korvex_core, name)
    except AttributeError:
        raise AttributeError(
            "module 'korvex_computer' has no attribute %r" % (name,)) from None


def __dir__():
    return sorted(set(globals()) | set(dir(korvex_core)))
