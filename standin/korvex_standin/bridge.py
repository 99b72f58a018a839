"""The stand-in .NET bridge: assembly loading and .NET namespaces as Python modules.

System namespaces are importable as soon as the finder is installed (``import
clr`` does it).  A Korvex namespace is importable only while an assembly that
declares it is loaded, and it exposes only the classes that the loaded
assembly files declare.
"""

import importlib.abc
import importlib.machinery
import os
import sys
import threading
import types

from . import catalog, journal, system

SYSTEM_ASSEMBLIES = ("mscorlib", "System", "System.Core", "System.Runtime",
                     "WindowsBase", "PresentationCore", "PresentationFramework")

_lock = threading.RLock()
_loaded = {}          # assembly name -> Assembly
_unload_hooks = []


class Assembly(object):
    """What AddReference returns: the loaded assembly."""

    __module__ = "System.Reflection"

    def __init__(self, name, location, namespaces, version=catalog.VERSION):
        self._name = name
        self.Location = location
        self.FullName = catalog.full_name(name, version)
        self._namespaces = namespaces

    def GetName(self):
        return self._name

    def __repr__(self):
        return "<Assembly %s>" % self.FullName

    def ToString(self):
        return self.FullName


def _implementations():
    from . import sdk
    return sdk.NAMESPACES


def _looks_like_path(name):
    return (os.sep in name or "/" in name or "\\" in name
            or name.lower().endswith((".dll", ".exe")))


def add_reference(name):
    """clr.AddReference: load an assembly by name or by the full path of its file."""
    return journal.invoke("clr.AddReference", (name,), lambda: _add_reference(name))


def _add_reference(name):
    if not isinstance(name, str):
        raise TypeError("AddReference expects the name or the path of an assembly, not %s"
                        % type(name).__name__)
    if name in SYSTEM_ASSEMBLIES:
        return Assembly(name, "", {}, version="4.0.0.0")
    if _looks_like_path(name):
        return _load_file(os.path.abspath(name))
    with _lock:
        if name in _loaded:
            return _loaded[name]
    for directory in sys.path:
        candidate = os.path.join(directory or os.curdir, name + ".dll")
        if os.path.isfile(candidate):
            return _load_file(os.path.abspath(candidate))
    raise system.FileNotFoundException("Unable to find assembly '%s'." % name)


def _load_file(path):
    if not os.path.isfile(path):
        raise system.FileNotFoundException(
            "Could not load file or assembly '%s'. The system cannot find the file specified." % path)
    document = catalog.read_assembly(path)
    if document is None:
        raise system.BadImageFormatException(
            "Could not load file or assembly '%s'. An attempt was made to load a program "
            "with an incorrect format." % path)
    implementations = _implementations()
    namespaces = {}
    for namespace, class_names in document["Namespaces"].items():
        provided = implementations.get(namespace, {})
        for class_name in class_names:
            if class_name not in provided:
                raise system.BadImageFormatException(
                    "Could not load type '%s.%s' from assembly '%s'." % (namespace, class_name, path))
        namespaces[namespace] = dict((c, provided[c]) for c in class_names)
    with _lock:
        # An assembly loaded again, even from another file, is the one loaded first: the bridge
        # hands that one back and its location stays.
        if document["Name"] in _loaded:
            return _loaded[document["Name"]]
        assembly = Assembly(document["Name"], path, namespaces,
                            document.get("Version", catalog.VERSION))
        _loaded[document["Name"]] = assembly
        _refresh_modules()
    return assembly


def loaded_assemblies():
    """{assembly name: file path} of every assembly loaded so far."""
    with _lock:
        return dict((name, a.Location) for name, a in _loaded.items())


def full_name(name):
    with _lock:
        return _loaded[name].FullName


def assembly_location(name):
    with _lock:
        assembly = _loaded.get(name)
        return assembly.Location if assembly is not None else None


def require_assembly(name):
    """Raise the bridge's error when a dependency assembly has not been loaded."""
    if assembly_location(name) is None:
        raise system.FileNotFoundException(
            "Could not load file or assembly '%s'. The system cannot find the file specified."
            % catalog.full_name(name))


def unload_assemblies():
    """Forget every loaded assembly and drop the Korvex namespaces from sys.modules.

    A real process cannot unload assemblies; tests use this to start afresh.
    """
    with _lock:
        _loaded.clear()
        for name in [n for n in sys.modules if n == "Korvex" or n.startswith("Korvex.")]:
            del sys.modules[name]
    for hook in _unload_hooks:
        hook()


def on_unload(hook):
    _unload_hooks.append(hook)
    return hook


# --- namespaces -----------------------------------------------------------------

def _korvex_namespaces():
    merged = {}
    for assembly in _loaded.values():
        for namespace, classes in assembly._namespaces.items():
            merged.setdefault(namespace, {}).update(classes)
    return merged


def _classes_of(fullname):
    """The classes of namespace ``fullname``, or None if it is not importable now."""
    if fullname in system.NAMESPACES:
        return system.NAMESPACES[fullname]
    with _lock:
        namespaces = _korvex_namespaces()
    if fullname in namespaces:
        return namespaces[fullname]
    prefix = fullname + "."
    if any(n.startswith(prefix) for n in list(namespaces) + list(system.NAMESPACES)):
        return {}
    return None


def _refresh_modules():
    for name, module in list(sys.modules.items()):
        if isinstance(module, NamespaceModule):
            classes = _classes_of(name) or {}
            for old in list(module.__dict__.get("_net_classes", ())):
                if old not in classes:
                    delattr(module, old)
            module.__dict__.update(classes)
            module._net_classes = tuple(classes)


class NamespaceModule(types.ModuleType):
    """A .NET namespace seen as a Python package."""

    def __getattr__(self, name):
        # Sub-namespaces are reachable as attributes, as with the real bridge.
        if not name.startswith("__") and _classes_of(self.__name__ + "." + name) is not None:
            return importlib.import_module(self.__name__ + "." + name)
        raise AttributeError("module '%s' has no attribute '%s'" % (self.__name__, name))

    def __repr__(self):
        return "<module '%s' (.NET namespace)>" % self.__name__


class NamespaceFinder(importlib.abc.MetaPathFinder, importlib.abc.Loader):

    def find_spec(self, fullname, path, target=None):
        if _classes_of(fullname) is None:
            return None
        return importlib.machinery.ModuleSpec(fullname, self, is_package=True)

    def create_module(self, spec):
        return NamespaceModule(spec.name)

    def exec_module(self, module):
        module.__path__ = []
        classes = _classes_of(module.__name__)
        if classes is None:
            raise ImportError("No module named '%s'" % module.__name__, name=module.__name__)
        module.__dict__.update(classes)
        module._net_classes = tuple(classes)


_finder = NamespaceFinder()


def install_finder():
    if _finder not in sys.meta_path:
        sys.meta_path.append(_finder)
