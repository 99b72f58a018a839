"""The type stubs shipped beside the module, and the reference page written from them.

mypy's stubtest (scripts/check_types) checks the stubs' names and types against the built
module; what it cannot read from a native function, its parameter names and its docstring,
and the enumeration's values, are compared here, on both runtimes.
"""

import ast
import importlib.util
import os
import subprocess
import sys

import pytest

import korvex_computer.korvex_core as korvex_core
from module_helpers import ROOT

STUB = os.path.join(os.path.dirname(korvex_core.__file__), "korvex_core.pyi")
FUNCTIONS = [name for name, value in vars(korvex_core).items()
             if callable(value) and not isinstance(value, type)
             and getattr(value, "__module__", None) == korvex_core.__name__]


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read())


def stub_functions():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def test_stubs_ship_beside_the_module_with_the_typed_marker():
    package = os.path.dirname(korvex_core.__file__)
    assert sorted(f for f in os.listdir(package) if f.endswith(".pyi") or f == "py.typed") == [
        "__init__.pyi", "korvex_core.pyi", "py.typed"]
    assert sorted(stub_functions()) == sorted(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_parameters_and_docstring_are_the_function_s(name):
    function = getattr(korvex_core, name)
    node = stub_functions()[name]
    documented = function.__doc__.split("\n")[0][len(name) + 1:-1]
    assert [a.arg for a in node.args.args] == [p for p in documented.split(", ") if p]
    arguments = node.args
    assert not (arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs
                or arguments.kwarg or arguments.defaults)
    assert ast.get_docstring(node, clean=False) == function.__doc__


def test_stub_enumeration_has_the_module_s_members():
    (node,) = [n for n in stub_tree().body
               if isinstance(n, ast.ClassDef) and n.name == "KorvexModule"]
    declared = [(item.targets[0].id, ast.literal_eval(item.value)) for item in node.body]
    assert declared == [(member.name, member.value) for member in korvex_core.KorvexModule]


def load_script(name):
    spec = importlib.util.spec_from_file_location(
        name, os.path.join(str(ROOT), "scripts", name + ".py"))
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    return script


def test_reference_page_is_up_to_date():
    reference = load_script("make_reference")
    stub = reference.Stub(reference.STUB)
    assert reference.check_coverage(stub) == []
    assert reference.messages_not_in_sources() == []
    with open(reference.PAGE, encoding="utf-8") as f:
        assert f.read() == reference.render(stub), "run: python scripts/make_reference.py"


def test_generated_parts_of_the_function_descriptions_are_up_to_date():
    command = [sys.executable, os.path.join(str(ROOT), "scripts", "make_function_table.py"),
               "--check"]
    checked = subprocess.run(command, capture_output=True, text=True)
    assert (checked.returncode, checked.stderr) == (0, "")


def with_new_function(rows):
    last = rows[-1]
    after = (last.guard or (last.first_line,))[-1] + 1
    return rows + [last._replace(name="copyStudy", first_line=after, guard=None)]


# A changed row, and what the check says of it.
@pytest.mark.parametrize("change, message", [
    (lambda rows: [rows[0]._replace(doc="Changed.")] + rows[1:],
     "out of date: src/korvex_computer/binding/function_table.h, "
     "src/korvex_computer/korvex_core.pyi: run python scripts/make_function_table.py"),
    (with_new_function,
     "out of date: src/korvex_computer/binding/function_table.h, "
     "src/korvex_computer/binding/functions.h, src/korvex_computer/korvex_core.pyi, "
     "src/korvex_computer/__init__.pyi: run"),
    (lambda rows: [r._replace(folder="models") if r.name == "solve" else r for r in rows],
     "out of date: src/korvex_computer/binding/functions.h: run"),
    (lambda rows: [rows[1], rows[0]] + rows[2:],
     "load_dll: its lines must come before setup_korvex_computer's first line"),
    (lambda rows: [rows[0]._replace(signature="(directory: str = '') -> bool")] + rows[1:],
     "setup_korvex_computer: every parameter must be positional-or-keyword, required and typed"),
])
def test_function_descriptions_check_names_what_is_out_of_date(change, message, monkeypatch,
                                                                capsys):
    monkeypatch.setattr(sys, "path", list(sys.path))
    generator = load_script("make_function_table")
    assert generator.main(["--check"], change(list(generator.FUNCTIONS))) == 1
    assert message in capsys.readouterr().err
