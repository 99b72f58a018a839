"""The stand-in assemblies: their names, the namespace each holds and its classes.

An assembly file is a UTF-8 JSON object:

    {"Format": "Korvex stand-in assembly", "FormatVersion": 1,
     "Name": "Korvex.SDK", "Version": "24.1.0.0",
     "Namespaces": {"Korvex.SDK": ["KorvexApplication", ...]}}
"""

import json

FORMAT = "Korvex stand-in assembly"
FORMAT_VERSION = 1
VERSION = "24.1.0.0"

# assembly name -> (namespace, class names)
ASSEMBLIES = {
    "Korvex.SDK": ("Korvex.SDK", [
        "KorvexApplication", "SettingsController", "KorvexModule", "KorvexClassInspector"]),
    "Korvex.Helper": ("Korvex.Helper", ["StudyNames"]),
    "Korvex.Velmora.Core": ("Korvex.Velmora.Core", [
        "Model", "Layer", "LayerCollection", "PipingCode", "StructureCode", "PSLibrary",
        "Solution", "CustomCommand", "CommandController"]),
    "Korvex.Velmora.Project": ("Korvex.Velmora.Project", ["ProjectViewModel", "StudyModel"]),
    "Korvex.PipeStress.Core": ("Korvex.PipeStress.Core", ["PipeStressSolver", "AnalysisModel"]),
    "Korvex.Aster.Core": ("Korvex.Aster.Core", ["AsterSolver"]),
}

ASSEMBLY_FILES = tuple(name + ".dll" for name in ASSEMBLIES)

PSLIB_FILE = "Korvex.PipeStress.lib"
PSLIB_MAGIC = "KORVEX-PSLIB 1"


def assembly_document(name, classes=None):
    """The JSON object of a stand-in assembly file; ``classes`` narrows its classes."""
    namespace, all_classes = ASSEMBLIES[name]
    return {
        "Format": FORMAT,
        "FormatVersion": FORMAT_VERSION,
        "Name": name,
        "Version": VERSION,
        "Namespaces": {namespace: list(all_classes if classes is None else classes)},
    }


def write_assembly(path, name, classes=None):
    """Write the stand-in assembly ``name`` (e.g. "Korvex.SDK") to ``path``."""
    with open(path, "w", encoding="utf-8") as f:
        json.dump(assembly_document(name, classes), f, indent=2)


def read_assembly(path):
    """The parsed document of a stand-in assembly file, or None if ``path`` is not one."""
    try:
        with open(path, "r", encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(document, dict) or document.get("Format") != FORMAT:
        return None
    namespaces = document.get("Namespaces")
    if not isinstance(document.get("Name"), str) or not isinstance(namespaces, dict):
        return None
    for classes in namespaces.values():
        if not isinstance(classes, list) or not all(isinstance(c, str) for c in classes):
            return None
    return document


def full_name(name, version=VERSION):
    return "%s, Version=%s, Culture=neutral, PublicKeyToken=null" % (name, version)


# Where an installation keeps its application settings (relative to the installation).
APP_SETTINGS_PARTS = ("Settings", "Application.settings")


def assembly_of_namespace(namespace):
    for name, (ns, _) in ASSEMBLIES.items():
        if ns == namespace:
            return name
    return None
