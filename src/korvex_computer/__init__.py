"""Drive an installed Velmora application from Python scripts, without its user interface.

Every name of the native module ``korvex_computer.korvex_core`` is available here too, so
``import korvex_computer as cc; cc.setup_korvex_computer(...)`` works. The names are looked up
on the native module at each access: a global that the module changes later (for example
``_Solution_`` or ``_validSetup_``) reads the same here as there; and a global set here, such
as ``cc._settingsPath_``, is set on the module.
"""


def _starting_the_command_line():
    """Whether this import is the start of the command line (``python -m korvex_computer``,
    whose package is imported while the first argument still reads "-m", or the installed
    ``korvex_computer`` command), which prints its help, reports usage errors and names a
    missing platform itself."""
    import os
    import sys

    program = sys.argv[0] if sys.argv else ""
    name = os.path.basename(program)
    for ending in ("-script.pyw", "-script.py", ".exe"):
        if name.endswith(ending):
            name = name[:-len(ending)]
    return program == "-m" or name == "korvex_computer"


try:
    from . import korvex_core
except ImportError as error:
    if not _starting_the_command_line():
        raise
    # The command line goes on without the platform; any name of the module asked for here
    # raises the import error again.
    _platform_error = error
    __all__ = []

    def __getattr__(name):
        # The command line's modules that need no platform are imported as usual.
        if name.startswith("__") or name in ("batch", "cli"):
            raise AttributeError(name)
        raise _platform_error
else:
    __all__ = [name for name in dir(korvex_core) if not name.startswith("__")]

    def __getattr__(name):
        try:
            return getattr(korvex_core, name)
        except AttributeError:
            raise AttributeError(
                "module 'korvex_computer' has no attribute %r" % (name,)) from None

    def __dir__():
        return sorted(set(globals()) | set(dir(korvex_core)))

    def _pass_globals_on():
        """A name of the native module set here is set there, where its functions read it
        (`cc._settingsPath_ = path` is then what `korvex_core._settingsPath_ = path` is);
        a name shaped as a module global that the module lacks, a misspelling most likely,
        raises AttributeError instead of being kept here, where nothing would read it."""
        import sys
        import types

        class Package(types.ModuleType):
            def __setattr__(self, name, value):
                if name.startswith("__"):
                    pass
                elif name in vars(korvex_core):
                    setattr(korvex_core, name, value)
                    return
                elif len(name) > 2 and name.startswith("_") and name.endswith("_"):
                    raise AttributeError(
                        "module 'korvex_computer.korvex_core' has no global %r to set "
                        "(the package passes the module's globals on to it)" % (name,))
                super().__setattr__(name, value)

        sys.modules[__name__].__class__ = Package

    _pass_globals_on()
    del _pass_globals_on

del _starting_the_command_line
