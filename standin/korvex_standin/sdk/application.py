"""Korvex.SDK: the application object, its settings, the module enum and the inspector."""

import inspect
import json
import os

from .. import bridge, catalog, system
from ..netbase import NetEnum, NetObject, create


class KorvexModule(NetEnum):
    """The application modules: Velmora (piping) and Norvane (structure)."""

    __module__ = "Korvex.SDK"
    _namespace = "Korvex.SDK"


KorvexModule._define(Velmora=0, Norvane=1)


def installation_directory():
    """The installation that holds the loaded Korvex.SDK assembly."""
    location = bridge.assembly_location("Korvex.SDK")
    if location is None:
        raise system.InvalidOperationException("The Korvex.SDK assembly is not loaded.")
    return os.path.dirname(os.path.dirname(location))


class KorvexApplication(NetObject, namespace="Korvex.SDK"):
    """The application; it finds its installation from the Korvex.SDK assembly."""

    def __init__(self):
        self._directory = installation_directory()

    @property
    def InstallationDirectory(self):
        return self._directory

    @property
    def ExtensionsDirectory(self):
        return os.path.join(self._directory, "Extensions")

    @property
    def SettingsFile(self):
        return os.path.join(self._directory, *catalog.APP_SETTINGS_PARTS)

    def GetSettingsController(self):
        return create(SettingsController, self.SettingsFile)


class SettingsController(NetObject, namespace="Korvex.SDK"):
    """Answers settings from the application settings file, read afresh at each call."""

    def __init__(self, path: str):
        self._path = path

    @property
    def SettingsFile(self):
        return self._path

    def GetSettingValue(self, section: str, key: str):
        if section is None or key is None:
            raise system.ArgumentNullException(
                "Value cannot be null. (Parameter '%s')" % ("section" if section is None else "key"))
        settings = self._read()
        values = settings.get(section)
        if not isinstance(values, dict):
            raise system.ArgumentException("Unknown settings section '%s'." % section)
        if key not in values:
            raise system.ArgumentException("Unknown setting '%s' in section '%s'." % (key, section))
        return values[key]

    def _read(self):
        try:
            with open(self._path, "r", encoding="utf-8") as f:
                settings = json.load(f)
        except FileNotFoundError:
            raise system.FileNotFoundException("Could not find file '%s'." % self._path)
        except ValueError as error:
            raise system.InvalidDataException(
                "The settings file '%s' is not valid: %s" % (self._path, error))
        if not isinstance(settings, dict):
            raise system.InvalidDataException(
                "The settings file '%s' does not hold sections." % self._path)
        return settings


# --- introspection ------------------------------------------------------------

_SIMPLE = (str, int, float, bool, type(None))


def _namespace_of(cls):
    return getattr(cls, "_namespace", None) or cls.__module__


def _assembly_of(namespace):
    name = catalog.assembly_of_namespace(namespace)
    if name is not None:
        return name
    if namespace == "System.Windows":
        return "WindowsBase"
    if namespace == "System" or namespace.startswith("System."):
        return "mscorlib"
    return None


def _value_text(value):
    if isinstance(value, _SIMPLE):
        return value
    if isinstance(value, NetEnum):
        return str(value)
    return "%s.%s" % (_namespace_of(type(value)), type(value).__name__)


def _parameters(func):
    try:
        params = list(inspect.signature(func).parameters)
    except (TypeError, ValueError):
        return []
    return [p for p in params if p != "self"]


def describe(target):
    """A description of a class (or of the class of an instance) as a dict."""
    is_class = isinstance(target, type)
    cls = target if is_class else type(target)
    namespace = _namespace_of(cls)
    properties, methods = [], []
    for name in sorted(dir(cls)):
        if name.startswith("_"):
            continue
        raw = inspect.getattr_static(cls, name)
        if isinstance(raw, property) or isinstance(raw, system._StaticProperty):
            static = isinstance(raw, system._StaticProperty)
            entry = {"Name": name, "CanRead": True,
                     "CanWrite": bool(getattr(raw, "fset", None)), "Static": static}
            if not is_class and not static:
                try:
                    entry["Value"] = _value_text(getattr(target, name))
                except Exception as error:  # a disposed object reports why
                    entry["Value"] = "<%s>" % type(error).__name__
            properties.append(entry)
        elif isinstance(raw, (staticmethod, classmethod)) or inspect.isfunction(raw):
            methods.append({"Name": name,
                            "Static": isinstance(raw, (staticmethod, classmethod)),
                            "Parameters": _parameters(getattr(cls, name))})
    description = {
        "Name": cls.__name__,
        "FullName": "%s.%s" % (namespace, cls.__name__) if namespace else cls.__name__,
        "Namespace": namespace,
        "Assembly": _assembly_of(namespace) if namespace else None,
        "IsInstance": not is_class,
        "Properties": properties,
        "Methods": methods,
    }
    if issubclass(cls, NetEnum):
        description["Members"] = [{"Name": str(m), "Value": int(m)} for m in cls._members]
    return description


class KorvexClassInspector(NetObject, namespace="Korvex.SDK"):

    @staticmethod
    def ExportObjectToJson(instance, indent: bool):
        if instance is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'instance')")
        description = describe(instance)
        if indent:
            return json.dumps(description, indent=2)
        return json.dumps(description, separators=(",", ":"))

    @staticmethod
    def FindNamespaceAndAssemblyFromClassName(directory: str, className: str):
        if directory is None or className is None:
            raise system.ArgumentNullException(
                "Value cannot be null. (Parameter '%s')" % ("directory" if directory is None else "className"))
        if not os.path.isdir(directory):
            raise system.DirectoryNotFoundException("Could not find a part of the path '%s'." % directory)
        for entry in sorted(os.listdir(directory)):
            if not entry.lower().endswith(".dll"):
                continue
            document = catalog.read_assembly(os.path.join(directory, entry))
            if document is None:
                continue
            for namespace, classes in sorted(document["Namespaces"].items()):
                for name in classes:
                    if className in (name, namespace + "." + name):
                        return system.Tuple(namespace, document["Name"])
        return None
