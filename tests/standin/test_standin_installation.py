"""The installation builder."""

import json
import os

import pytest

import korvex_standin


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def solver_paths(settings):
    paths = {}
    for family in settings["Families"]:
        for sub in family["SubFamilies"]:
            for setting in sub["Settings"]:
                paths[(family["Name"], sub["Name"], setting["Name"])] = setting["Value"]
    return paths[("ASTER", "PATH", "WINDOWS SOLVER PATH")], paths[("PIPESTRESS", "PATH", "SOLVER PATH")]


def test_complete_installation(inst):
    assert sorted(os.listdir(inst.extensions)) == sorted(
        list(korvex_standin.ASSEMBLY_FILES) + ["Korvex.PipeStress.lib"])
    assert os.path.dirname(inst.extensions) == inst.directory
    assert solver_paths(read_json(inst.settings_path)) == (inst.aster_solver, inst.pipestress_solver)
    assert os.path.isfile(inst.aster_solver) and os.path.isfile(inst.pipestress_solver)
    sources = read_json(inst.data_sources_path)
    assert (sources["CurrentDatasDirectory"], sources["CurrentProjectsDirectory"]) == (
        inst.data_dir, inst.projects_dir)
    assert os.path.isdir(inst.data_dir) and os.path.isdir(inst.projects_dir)
    assert read_json(inst.app_settings_path)["PIPESTRESS"]["MAX FIELD LENGTH"] == "80"
    assert not inst.settings_path.startswith(inst.directory)


def test_partial_installation(tmp_path):
    inst = korvex_standin.build_installation(
        str(tmp_path), assemblies=["Korvex.SDK.dll"], pipestress_lib=False, aster_solver=False,
        pipestress_solver="import sys\nsys.exit(3)\n", app_settings={"VELMORA": None,
                                                                     "PIPESTRESS": {"ROTATION UNITS": "Radians"}},
        aster_setting="")
    assert os.listdir(inst.extensions) == ["Korvex.SDK.dll"]
    assert not os.path.exists(inst.aster_solver)
    with open(inst.pipestress_solver) as f:
        assert "sys.exit(3)" in f.read()
    assert solver_paths(read_json(inst.settings_path)) == ("", inst.pipestress_solver)
    settings = read_json(inst.app_settings_path)
    assert "VELMORA" not in settings
    assert settings["PIPESTRESS"]["ROTATION UNITS"] == "Radians"
    assert settings["PIPESTRESS"]["MAX FIELD LENGTH"] == "80"


def test_installation_without_extensions(tmp_path):
    inst = korvex_standin.build_installation(str(tmp_path), extensions=False)
    assert os.path.isdir(inst.directory) and not os.path.exists(inst.extensions)
    assert os.path.isfile(inst.settings_path) and os.path.isfile(inst.data_sources_path)


@pytest.mark.parametrize("key,value", [("MAX FIELD LENGTH", 60), ("GENERATE INDI INLINE", "1")])
def test_app_setting_helpers(inst, key, value):
    inst.set_app_setting("PIPESTRESS", key, value)
    assert read_json(inst.app_settings_path)["PIPESTRESS"][key] == value
    inst.remove_app_setting("PIPESTRESS", key)
    assert key not in read_json(inst.app_settings_path)["PIPESTRESS"]
    inst.remove_app_setting("PIPESTRESS")
    assert "PIPESTRESS" not in read_json(inst.app_settings_path)
