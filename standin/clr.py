"""Stand-in of the .NET bridge.

``AddReference`` loads "mscorlib" (and a few other System assemblies) by name,
or a stand-in assembly file by its path.  Importing this module makes the .NET
namespaces importable: System ones at once, Korvex ones once their assembly is
loaded.
"""

from korvex_standin import bridge as _bridge

_bridge.install_finder()


def AddReference(name):
    return _bridge.add_reference(name)


def ListAssemblies(verbose=False):
    """Names of the loaded Korvex assemblies; full names when ``verbose``."""
    names = sorted(_bridge.loaded_assemblies())
    if verbose:
        return [_bridge.full_name(name) for name in names]
    return names
