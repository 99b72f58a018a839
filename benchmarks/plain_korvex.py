"""The measured module functions written as plain Python, as the interpreter runs them.

Each function does what the module's function of the same name does on the paths the
benchmarks take, with the same globals looked up at every use and the same messages; the
benchmarks set the globals of this module exactly as they set the module's.
"""

import os

_validSetup_ = False
_dllPath_ = None
_exePath_ = None
_dlls_ = []
clr = None  # the .NET bridge, which set-up imports; the benchmarks never reach it

_SETUP_MESSAGE = ("Invalid setup! Please call 'from korvex_computer import setup_korvex_computer'"
                  " and set up with Velmora installation directory.")


def load_dll(dllname):
    if not _validSetup_:
        raise OSError(_SETUP_MESSAGE)
    if dllname in _dlls_:
        return
    path = os.path.join(_dllPath_, dllname)
    if os.path.exists(path):
        clr.AddReference(path)
        _dlls_.append(dllname)
    else:
        path = os.path.join(_exePath_, dllname)
        if not os.path.exists(path):
            raise FileNotFoundError("DLL '" + dllname + "' not found.")
        clr.AddReference(path)
        _dlls_.append(dllname)
    print(dllname + " loaded")


def getQuarl(directory):
    if not _validSetup_:
        raise OSError(_SETUP_MESSAGE)
    return find_first_file(directory, ".quarl")


def FindSolverPaths(settings):
    aster = None
    for family in settings["Families"]:
        if family["Name"] == "ASTER":
            for sub_family in family["SubFamilies"]:
                if sub_family["Name"] == "PATH":
                    for setting in sub_family["Settings"]:
                        if setting["Name"] == "WINDOWS SOLVER PATH":
                            aster = setting["Value"]
    pipestress = None
    for family in settings["Families"]:
        if family["Name"] == "PIPESTRESS":
            for sub_family in family["SubFamilies"]:
                if sub_family["Name"] == "PATH":
                    for setting in sub_family["Settings"]:
                        if setting["Name"] == "SOLVER PATH":
                            pipestress = setting["Value"]
    if aster == "":
        aster = None
    if pipestress == "":
        pipestress = None
    return aster, pipestress


def find_first_file(directory, ext):
    return next((os.path.join(directory, f) for f in os.listdir(directory)
                 if f.lower().endswith(ext) and os.path.isfile(os.path.join(directory, f))), "")
