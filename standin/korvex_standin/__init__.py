"""The stand-in platform: .NET bridge (``clr``), COM (``pythoncom``) and the Korvex SDK.

Put the folder that holds this package on ``sys.path``; then ``import clr`` and
``import pythoncom`` reach the stand-ins.  For tests:

* ``journal``: every bridge, COM and SDK call, and the fault knobs;
* ``build_installation(root, ...)``: an installation on disk;
* ``unload_assemblies()``: forget loaded assemblies (a real process cannot);
* ``thread_cultures()``, ``com_depths()``: per-thread .NET culture and COM counts.
"""

from . import journal
from .bridge import loaded_assemblies, unload_assemblies
from .catalog import ASSEMBLY_FILES, write_assembly
from .com import depths as com_depths
from .installation import DEFAULT_APP_SETTINGS, Installation, build_installation
from .system import thread_cultures

__all__ = ["journal", "loaded_assemblies", "unload_assemblies", "ASSEMBLY_FILES",
           "write_assembly", "com_depths", "DEFAULT_APP_SETTINGS", "Installation",
           "build_installation", "thread_cultures", "reset"]


def reset():
    """Start afresh: empty journal, no knobs, no assemblies, no COM counts, every thread back in the invariant culture."""
    from . import com, system
    journal.reset()
    unload_assemblies()
    com.forget()
    system.reset_threads()
