"""Build a stand-in installation of the application on disk.

    root/
      Program Files/Korvex/Velmora 2024.1/      the installation directory
        Extensions/                             the assemblies and Korvex.PipeStress.lib
        Solvers/pipestress_solver.py            the PipeStress program
        Solvers/aster_solver.py                 the Aster program
        Settings/Application.settings           application settings (JSON, by section)
      ProgramData/Korvex/Velmora/Settings/
        Velmora.settings                        machine settings: the solver paths
        DataSources.settings                    the current data and projects directories
      Users/Public/Korvex/Data, .../Projects    the data and projects directories
"""

import copy
import json
import os
import shutil

from . import catalog, dotnet

_PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "programs")

DEFAULT_APP_SETTINGS = {
    "PIPESTRESS": {
        "MAX FIELD LENGTH": "80",
        "ROTATION UNITS": "Degrees",
        "GENERATE RESTRAINTS INLINE": "1",
        "GENERATE DLCS INLINE": "1",
        "GENERATE INDI INLINE": "0",
    },
    "VELMORA": {
        "USE IMPERIAL NOTATION": "0",
        "LANGUAGE": "en-US",
    },
}


class Installation(object):
    """Paths of a stand-in installation made by ``build_installation``."""

    def __init__(self, root, directory):
        self.root = root
        self.directory = directory
        self.extensions = os.path.join(directory, "Extensions")
        self.pslib_path = os.path.join(self.extensions, catalog.PSLIB_FILE)
        self.solvers_dir = os.path.join(directory, "Solvers")
        self.pipestress_solver = os.path.join(self.solvers_dir, "pipestress_solver.py")
        self.aster_solver = os.path.join(self.solvers_dir, "aster_solver.py")
        self.app_settings_path = os.path.join(directory, *catalog.APP_SETTINGS_PARTS)
        self.settings_dir = os.path.join(root, "ProgramData", "Korvex", "Velmora", "Settings")
        self.settings_path = os.path.join(self.settings_dir, "Velmora.settings")
        self.data_sources_path = os.path.join(self.settings_dir, "DataSources.settings")
        public = os.path.join(root, "Users", "Public", "Korvex")
        self.data_dir = os.path.join(public, "Data")
        self.projects_dir = os.path.join(public, "Projects")

    def assembly_path(self, file_name):
        return os.path.join(self.extensions, file_name)

    def read_app_settings(self):
        with open(self.app_settings_path, "r", encoding="utf-8") as f:
            return json.load(f)

    def write_app_settings(self, settings):
        """Replace the whole application settings file (a dict of sections)."""
        os.makedirs(os.path.dirname(self.app_settings_path), exist_ok=True)
        with open(self.app_settings_path, "w", encoding="utf-8") as f:
            json.dump(settings, f, indent=2)

    def set_app_setting(self, section, key, value):
        """Set one application setting; ``value`` is written as given (text or number)."""
        settings = self.read_app_settings()
        settings.setdefault(section, {})[key] = value
        self.write_app_settings(settings)

    def remove_app_setting(self, section, key=None):
        """Remove one setting, or a whole section when ``key`` is None."""
        settings = self.read_app_settings()
        if key is None:
            settings.pop(section, None)
        else:
            settings.get(section, {}).pop(key, None)
        self.write_app_settings(settings)

    def __repr__(self):
        return "<Installation %s>" % self.directory


def _write_json(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(value, f, indent=2)


def machine_settings(aster_path, pipestress_path):
    """The document of Velmora.settings naming the two solver programs."""
    def family(name, sub_families):
        return {"Name": name, "SubFamilies": sub_families}

    def sub_family(name, settings):
        return {"Name": name, "Settings": [{"Name": n, "Value": v} for n, v in settings]}
    return {"Families": [
        family("GENERAL", [sub_family("UNITS", [("SYSTEM", "SI")])]),
        family("ASTER", [sub_family("PATH", [("WINDOWS SOLVER PATH", aster_path),
                                             ("LINUX SOLVER PATH", "")])]),
        family("PIPESTRESS", [sub_family("PATH", [("SOLVER PATH", pipestress_path)]),
                              sub_family("OUTPUT", [("KEEP LOG", "1")])]),
    ]}


def _merge(defaults, overrides):
    merged = copy.deepcopy(defaults)
    for section, values in (overrides or {}).items():
        if values is None:
            merged.pop(section, None)
        else:
            merged.setdefault(section, {}).update(values)
    return merged


BRIDGES = ("python", "dotnet")


def build_installation(root, *, name="Velmora 2024.1", bridge="python", extensions=True,
                       assemblies=catalog.ASSEMBLY_FILES, pipestress_lib=True,
                       aster_solver=True, pipestress_solver=True, app_settings=None,
                       aster_setting=None, pipestress_setting=None):
    """Make a stand-in installation under ``root`` and return its ``Installation``.

    bridge: "python" writes the assemblies of the Python stand-in bridge (standin/clr.py);
        "dotnet" puts real .NET assemblies there, compiled from standin/dotnet/ (see
        korvex_standin.dotnet), for the real bridge (pythonnet).
    extensions: make the Extensions directory at all.
    assemblies: the assembly files to put there (file names, e.g. "Korvex.SDK.dll").
    pipestress_lib: put Korvex.PipeStress.lib there.
    aster_solver, pipestress_solver: True installs the stand-in program, False leaves
        it out (the settings still name it), a text installs that source as the program.
    app_settings: {section: {key: value}} merged over DEFAULT_APP_SETTINGS
        (a section given as None is left out).
    aster_setting, pipestress_setting: the value written in Velmora.settings for the
        solver path instead of the program's path (e.g. "" for "not configured").
    """
    if bridge not in BRIDGES:
        raise ValueError("bridge must be one of %s, not %r" % (", ".join(BRIDGES), bridge))
    root = os.path.abspath(root)
    installation = Installation(root, os.path.join(root, "Program Files", "Korvex", name))
    os.makedirs(installation.directory, exist_ok=True)

    if extensions:
        os.makedirs(installation.extensions, exist_ok=True)
        for file_name in assemblies:
            assembly = file_name[:-len(".dll")] if file_name.endswith(".dll") else file_name
            if bridge == "dotnet":
                dotnet.copy_assembly(assembly + ".dll", installation.assembly_path(assembly + ".dll"))
            else:
                catalog.write_assembly(installation.assembly_path(assembly + ".dll"), assembly)
        if pipestress_lib:
            with open(installation.pslib_path, "w", encoding="utf-8") as f:
                f.write(catalog.PSLIB_MAGIC + "\nnative PipeStress routines (stand-in)\n")

    os.makedirs(installation.solvers_dir, exist_ok=True)
    for wanted, target, source in ((aster_solver, installation.aster_solver, "aster_solver.py"),
                                   (pipestress_solver, installation.pipestress_solver,
                                    "pipestress_solver.py")):
        if wanted is True:
            shutil.copyfile(os.path.join(_PROGRAMS, source), target)
        elif isinstance(wanted, str):
            with open(target, "w", encoding="utf-8") as f:
                f.write(wanted)

    installation.write_app_settings(_merge(DEFAULT_APP_SETTINGS, app_settings))
    _write_json(installation.settings_path, machine_settings(
        installation.aster_solver if aster_setting is None else aster_setting,
        installation.pipestress_solver if pipestress_setting is None else pipestress_setting))
    os.makedirs(installation.data_dir, exist_ok=True)
    os.makedirs(installation.projects_dir, exist_ok=True)
    _write_json(installation.data_sources_path, {
        "CurrentDatasDirectory": installation.data_dir,
        "CurrentProjectsDirectory": installation.projects_dir,
        "RecentProjects": [],
    })
    return installation
