"""Checks that the module builds for its target, 64-bit Windows, and uses only C API that
PyPy 3.11 provides. Run by scripts/check_windows, which installs the tools first.

1. No source includes a POSIX header that Windows' own compiler does not have.
2. Every C++ source cross-compiles for x86_64 Windows with mingw-w64, warnings as errors,
   against the CPython 3.11 headers with a 64-bit Windows pyconfig.h (windows/pyconfig.h).
3. The objects link into korvex_core.cp311-win_amd64.pyd against an import library of
   python311.dll made from the PyAPI_FUNC / PyAPI_DATA declarations of those headers.
4. The .pyd imports only python311.dll and Windows' own DLLs, and exports only its init function.
5. Under Wine, a small Windows program loads the .pyd beside a stand-in python311.dll and finds
   the init function.
6. Every C-API name the PyPy build needs is implemented, or a macro, in PyPy 3.11
   (pypy-3.11-c-api.tsv): the undefined symbols of the module built with PyPy's headers, and
   the names used in the sources where PyPy 3.11 compiles them.
7. cibuildwheel, as pyproject.toml configures it, would build exactly the two Windows wheels
   cp311-win_amd64 and pp311-win_amd64 (its listing works offline).

Work files go to build/windows-check/.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SOURCE_DIR = ROOT / "src" / "korvex_computer"
PLATFORM_DIR = Path(__file__).resolve().parent
WORK = ROOT / "build" / "windows-check"

CPYTHON_HEADERS = Path("/usr/include/python3.11")
TARGET = "x86_64-w64-mingw32"
MODULE = "korvex_core"
PYD_NAME = f"{MODULE}.cp311-win_amd64.pyd"
INIT_FUNCTION = f"PyInit_{MODULE}"
WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Wconversion", "-Wsign-conversion", "-Wshadow"]
WINDOWS_FLAGS = ["-std=c++17", "-O2", "-DMS_WIN64", *WARNINGS, "-Werror"]

# Headers that mingw-w64 or GCC offer but Windows' own compiler does not: POSIX and GCC-only.
POSIX_HEADERS = {
    "unistd.h", "dirent.h", "pthread.h", "sched.h", "semaphore.h", "strings.h", "libgen.h",
    "getopt.h", "ftw.h", "dlfcn.h", "fnmatch.h", "glob.h", "poll.h", "pwd.h", "grp.h",
    "termios.h", "syslog.h", "netdb.h", "spawn.h", "utime.h", "regex.h", "iconv.h",
    "langinfo.h", "pty.h", "utmp.h", "cxxabi.h", "x86intrin.h",
}
POSIX_HEADER_FOLDERS = ("netinet/", "arpa/", "bits/", "ext/")
# The sys/ headers that Windows' C library has.
WINDOWS_SYS_HEADERS = {"sys/stat.h", "sys/types.h", "sys/timeb.h", "sys/utime.h", "sys/locking.h"}
# A conditional on these is true only with GCC's C++ library or a POSIX system.
GCC_ONLY_CONDITION = re.compile(r"\b(__GLIBCXX__|__GNUC__|__linux__|__unix__|__APPLE__)\b")

# DLLs that every Windows has: the module may import from these and from python311.dll only.
SYSTEM_DLL = re.compile(
    r"(kernel32|user32|advapi32|shell32|ole32|oleaut32|ws2_32|bcrypt|ntdll|msvcrt|ucrtbase"
    r"|api-ms-win-[a-z0-9-]+)\.dll",
    re.IGNORECASE,
)

# How PyPy 3.11's list words a name the module may not use.
NOT_PROVIDED = {
    "stub": "as a stub only, not implemented",
    "declared": "declared only, with no implementation",
    "missing": "nowhere in its C API",
}

# What the sources' preprocessor conditions see when PyPy 3.11 builds the module on Windows:
# the macros defined there (with their values in #if expressions), and some that are not.
PYPY_311_WINDOWS = {
    "PYPY_VERSION": 1, "PY_VERSION_HEX": 0x030B0FF0, "PY_MAJOR_VERSION": 3,
    "PY_MINOR_VERSION": 11, "_WIN32": 1, "_WIN64": 1, "MS_WINDOWS": 1, "MS_WIN32": 1,
    "MS_WIN64": 1, "__cplusplus": 201703,
}
PYPY_311_WINDOWS_UNDEFINED = {"Py_LIMITED_API", "Py_DEBUG", "__linux__", "__APPLE__",
                              "__unix__", "_MSC_VER"}


class CheckFailed(Exception):
    pass


def run(command: list[str | Path], **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(part) for part in command], text=True, capture_output=True,
                          **kwargs)


def tool(name: str) -> str:
    """The mingw-w64 tool of that name, the posix-threads variant of the compilers."""
    for candidate in (f"{TARGET}-{name}-posix", f"{TARGET}-{name}"):
        if shutil.which(candidate):
            return candidate
    raise CheckFailed(f"{TARGET}-{name} is missing: install g++-mingw-w64-x86-64-posix")


def module_sources() -> list[Path]:
    return sorted(SOURCE_DIR.rglob("*.cpp"))


def relative(path: Path) -> str:
    return str(path.relative_to(ROOT))


# --- 1. POSIX headers -----------------------------------------------------------------------

def check_includes() -> list[str]:
    """Any include of a header that Windows' own compiler lacks, named with its place. mingw-w64
    ships unistd.h, dirent.h, pthread.h and more, so the cross-compile alone would not notice."""
    problems = []
    files = sorted([*SOURCE_DIR.rglob("*.cpp"), *SOURCE_DIR.rglob("*.h")])
    for path in files:
        # One entry per open conditional: whether its current branch is compiled only where
        # GCC's C++ library is (an include there never reaches Windows' own compiler).
        gcc_only_branches: list[bool] = []
        for number, line in enumerate(path.read_text().splitlines(), 1):
            directive = re.match(r"\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)", line)
            if directive:
                keyword, condition = directive.groups()
                if keyword in ("if", "ifdef"):
                    gcc_only_branches.append(bool(GCC_ONLY_CONDITION.search(condition))
                                             and "!" not in condition)
                elif keyword == "ifndef":
                    gcc_only_branches.append(False)
                elif keyword in ("elif", "else") and gcc_only_branches:
                    gcc_only_branches[-1] = False
                elif keyword == "endif" and gcc_only_branches:
                    gcc_only_branches.pop()
                continue
            match = re.match(r"\s*#\s*include\s*[<\"]([^>\"]+)[>\"]", line)
            if not match or any(gcc_only_branches):
                continue
            header = match.group(1).strip()
            posix_only = (header in POSIX_HEADERS or header.startswith(POSIX_HEADER_FOLDERS)
                          or (header.startswith("sys/") and header not in WINDOWS_SYS_HEADERS))
            if posix_only:
                problems.append(f"{relative(path)}:{number}: <{header}> is a POSIX or GCC-only "
                                "header that Windows' own compiler does not have")
    return problems


# --- 2. The cross-compile -------------------------------------------------------------------

def prepare_windows_headers() -> Path:
    """CPython 3.11's headers with the Windows pyconfig.h in place of Debian's: a copy, since
    Python.h includes "pyconfig.h" from its own folder first."""
    if not (CPYTHON_HEADERS / "Python.h").exists():
        raise CheckFailed(f"{CPYTHON_HEADERS}/Python.h is missing: install libpython3.11-dev")
    include = WORK / "include"
    shutil.rmtree(include, ignore_errors=True)
    shutil.copytree(CPYTHON_HEADERS, include, ignore=shutil.ignore_patterns("internal"))
    shutil.copy(PLATFORM_DIR / "windows" / "pyconfig.h", include / "pyconfig.h")
    return include


def compile_all(compiler: str, flags: list[str], sources: list[Path], out_dir: Path) -> list[Path]:
    """Compiles each source to an object, two at a time; fails with the compiler's messages."""
    shutil.rmtree(out_dir, ignore_errors=True)
    out_dir.mkdir(parents=True)

    def compile_one(source: Path) -> tuple[Path, subprocess.CompletedProcess[str]]:
        name = str(source.relative_to(SOURCE_DIR).with_suffix(".o")).replace(os.sep, "_")
        target = out_dir / name
        result = run([compiler, *flags, "-I", SOURCE_DIR, "-c", source, "-o", target], cwd=ROOT)
        return target, result

    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(compile_one, sources))
    messages = "".join(result.stderr for _, result in results)
    failed = [relative(source) for source, (_, result) in zip(sources, results)
              if result.returncode != 0]
    sys.stdout.write(messages)
    if failed:
        raise CheckFailed(f"{len(failed)} of {len(sources)} sources failed to compile: "
                          + ", ".join(failed))
    return [target for target, _ in results]


# --- 3. The import library and the link -----------------------------------------------------

def strip_comments(text: str) -> str:
    return re.sub(r"/\*.*?\*/|//[^\n]*", " ", text, flags=re.S)


def without_directives(text: str) -> str:
    """The text without preprocessor lines (continuations included)."""
    return re.sub(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", "", text, flags=re.M)


def declared_api(include: Path = CPYTHON_HEADERS) -> dict[str, str]:
    """Every function and data object the headers declare with PyAPI_FUNC or PyAPI_DATA, by
    name: 'function' or 'data'. This is what python311.dll exports to extension modules."""
    declaration = re.compile(r"PyAPI_(FUNC|DATA)\s*\((?:[^()]|\([^()]*\))*\)\s*([^;]*);")
    api: dict[str, str] = {}
    for header in sorted([*include.glob("*.h"), *include.glob("cpython/*.h")]):
        text = without_directives(strip_comments(header.read_text(errors="replace")))
        for kind, declarator in declaration.findall(text):
            declarator = re.sub(r"\b(_Py_NO_RETURN|const)\b", " ", declarator).lstrip(" *\n\t")
            # A pointer to a function is named in parentheses: (*PyOS_InputHook)(void).
            name = re.match(r"\(\s*\*\s*(\w+)|(\w+)", declarator)
            if name:
                api[name.group(1) or name.group(2)] = "function" if kind == "FUNC" else "data"
    return api


def write_def(path: Path, api: dict[str, str], alias: bool = False) -> None:
    """A module-definition file of python311.dll's exports; aliased to the stand-in's two
    symbols for the stand-in DLL."""
    lines = ["LIBRARY python311.dll", "EXPORTS"]
    for name, kind in sorted(api.items()):
        if kind == "data":
            lines.append(f"    {name} = standin_data DATA" if alias else f"    {name} DATA")
        else:
            lines.append(f"    {name} = standin_function" if alias else f"    {name}")
    path.write_text("\n".join(lines) + "\n")


def make_import_library(api: dict[str, str]) -> Path:
    definition = WORK / "python311.def"
    write_def(definition, api)
    library = WORK / "libpython311.dll.a"
    result = run([f"{TARGET}-dlltool", "--input-def", definition, "--dllname", "python311.dll",
                  "--output-lib", library])
    if result.returncode != 0:
        raise CheckFailed("dlltool failed:\n" + result.stderr)
    return library


def link(objects: list[Path], import_library: Path) -> Path:
    """Links the .pyd statically, so that it needs no mingw-w64 runtime DLL beside it."""
    pyd = WORK / "package" / PYD_NAME
    pyd.parent.mkdir(parents=True, exist_ok=True)
    result = run([tool("g++"), "-shared", "-static", "-s", "-o", pyd, *objects, import_library])
    if result.returncode != 0:
        raise CheckFailed("the link failed (an import missing from python311.dll's API?):\n"
                          + result.stdout + result.stderr)
    return pyd


# --- 4. Imports and exports -----------------------------------------------------------------

def check_imports_and_exports(pyd: Path) -> list[str]:
    result = run([f"{TARGET}-objdump", "-p", pyd])
    if result.returncode != 0:
        raise CheckFailed("objdump failed:\n" + result.stderr)
    dlls = re.findall(r"^\s*DLL Name:\s*(\S+)", result.stdout, flags=re.M)
    # The export table lists "[ordinal] name" rows under "[Ordinal/Name Pointer] Table".
    table = result.stdout.split("[Ordinal/Name Pointer] Table", 1)
    exports = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", table[1], flags=re.M) if len(table) > 1 else []
    print(f"   imports: {', '.join(dlls)}; exports: {', '.join(exports) or 'nothing'}")
    problems = [f"{PYD_NAME} imports {dll}, which Windows does not have beside the interpreter"
                for dll in dlls if dll.lower() != "python311.dll" and not SYSTEM_DLL.fullmatch(dll)]
    if "python311.dll" not in [dll.lower() for dll in dlls]:
        problems.append(f"{PYD_NAME} does not import python311.dll")
    if exports != [INIT_FUNCTION]:
        problems.append(f"{PYD_NAME} exports {exports}, not just {INIT_FUNCTION}")
    return problems


# --- 5. The load under Wine -----------------------------------------------------------------

def wine_command() -> str:
    for candidate in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise CheckFailed("Wine is missing: install wine64")


def load_under_wine(pyd: Path, api: dict[str, str]) -> None:
    """A program in an interpreter-like folder, beside a stand-in python311.dll, loads the .pyd
    from its package folder and finds the init function."""
    program_dir = WORK / "interpreter"
    program_dir.mkdir(parents=True, exist_ok=True)
    definition = WORK / "python311-standin.def"
    write_def(definition, api, alias=True)
    gcc = tool("gcc")
    for command in (
        [gcc, "-shared", "-s", "-o", program_dir / "python311.dll",
         PLATFORM_DIR / "windows" / "python_standin.c", definition],
        [gcc, "-O2", "-Wall", "-Werror", "-s", "-o", program_dir / "load_module.exe",
         PLATFORM_DIR / "windows" / "load_module.c"],
    ):
        result = run(command)
        if result.returncode != 0:
            raise CheckFailed("building the load check failed:\n" + result.stderr)
    environment = dict(os.environ, WINEPREFIX=str(WORK / "wine"), WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
    pyd_in_windows = "Z:" + str(pyd).replace("/", "\\")
    wine = wine_command()
    try:
        result = run([wine, program_dir / "load_module.exe", pyd_in_windows, INIT_FUNCTION],
                     env=environment, timeout=300, stdin=subprocess.DEVNULL)
    finally:
        # Ends this prefix's Wine server and its helper processes now rather than seconds later.
        for server in (Path(wine).with_name("wineserver64"), shutil.which("wineserver")):
            if server and os.access(server, os.X_OK):
                run([server, "-k"], env=environment)
                break
    output = (result.stdout + result.stderr).strip()
    if result.returncode != 0 or "loaded" not in result.stdout:
        raise CheckFailed(f"Wine could not load {PYD_NAME} (exit {result.returncode}):\n{output}")
    print("   " + result.stdout.strip())


# --- 6. PyPy 3.11's C API -------------------------------------------------------------------

def read_pypy_api() -> dict[str, str]:
    table = PLATFORM_DIR / "pypy-3.11-c-api.tsv"
    provided = {}
    for line in table.read_text().splitlines():
        if line and not line.startswith("#"):
            name, how = line.split("\t")[:2]
            provided[name] = how
    return provided


def pypy_build() -> tuple[list[Path], list[str]]:
    """The PyPy build of the module and the nm options that list its undefined symbols: the one
    ./scripts/test installed in .venv-pypy when it is newer than every source, else objects
    compiled here with the headers of the PyPy on this machine."""
    newest_source = max(path.stat().st_mtime for path in SOURCE_DIR.rglob("*")
                        if path.suffix in (".cpp", ".h"))
    installed = [path for path in ROOT.glob(".venv-pypy/lib/pypy*/site-packages/korvex_computer/"
                                            f"{MODULE}.*.so")
                 if path.stat().st_mtime > newest_source]
    if installed:
        print(f"   the PyPy build: {relative(installed[0])}")
        return installed[:1], ["--dynamic"]
    pypy = shutil.which("pypy3")
    if not pypy:
        raise CheckFailed("pypy3 is missing: install pypy3 and pypy3-dev")
    include = run([pypy, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"])
    include_dir = Path(include.stdout.strip())
    if not (include_dir / "Python.h").exists():
        raise CheckFailed(f"{include_dir}/Python.h is missing: install pypy3-dev")
    print(f"   the PyPy build: the sources compiled with {include_dir}")
    objects = compile_all("g++", ["-std=c++17", "-O2", "-DNDEBUG", "-I", str(include_dir)],
                          module_sources(), WORK / "pypy")
    return objects, []


def pypy_symbols_needed() -> set[str]:
    """The C-API names behind the undefined symbols of the PyPy build (PyPy's headers name every
    function and data object PyPy*)."""
    files, options = pypy_build()
    result = run(["nm", *options, "--undefined-only", "--format=just-symbols", *files])
    if result.returncode != 0:
        raise CheckFailed("nm failed:\n" + result.stderr)
    names = set()
    for symbol in result.stdout.split():
        if symbol.startswith(("PyPy", "_PyPy")):
            names.add(symbol.replace("PyPy", "Py", 1))
        elif symbol.startswith(("Py", "_Py")):
            names.add(symbol)
    return names


def evaluate_condition(expression: str) -> bool | None:
    """The value of an #if expression for PyPy 3.11 on Windows; None when it depends on a macro
    not known here."""
    expression = strip_comments(expression)

    def defined(match: re.Match[str]) -> str:
        name = match.group(1) or match.group(2)
        if name in PYPY_311_WINDOWS:
            return " 1 "
        if name in PYPY_311_WINDOWS_UNDEFINED:
            return " 0 "
        return f" {name}__defined "  # unknown: fails below
    expression = re.sub(r"defined\s*\(\s*(\w+)\s*\)|defined\s+(\w+)", defined, expression)
    expression = re.sub(r"\b(0[xX][0-9a-fA-F]+|\d+)[uUlL]*\b", r"\1", expression)
    expression = (expression.replace("&&", " and ").replace("||", " or ")
                  .replace("!=", " __ne__ ").replace("!", " not ").replace(" __ne__ ", " != "))
    values = dict(PYPY_311_WINDOWS, **{name: 0 for name in PYPY_311_WINDOWS_UNDEFINED})
    try:
        return bool(eval(expression, {"__builtins__": {}}, values))  # noqa: S307 - own sources
    except Exception:
        return None


class Branch:
    """One open #if chain, followed branch by branch."""

    def __init__(self, compiled: bool | None) -> None:
        self.compiled = compiled
        self.taken = compiled is True  # an earlier branch surely compiled
        self.maybe_taken = compiled is None

    def next_branch(self, condition: bool | None) -> None:
        if self.taken:
            self.compiled = False
        elif self.maybe_taken and condition is not False:
            self.compiled = None
        else:
            self.compiled = condition
        self.taken = self.taken or self.compiled is True
        self.maybe_taken = self.maybe_taken or self.compiled is None


def names_in_pypy_code(known_api: set[str]) -> dict[str, list[str]]:
    """The C-API names used in the sources where PyPy 3.11 on Windows compiles them: outside
    any branch that its conditions rule out (a branch whose condition is not known counts as
    compiled). Found by name in the known C-API names, so types and fields are left out."""
    used: dict[str, list[str]] = {}
    files = sorted([*SOURCE_DIR.rglob("*.cpp"), *SOURCE_DIR.rglob("*.h")])
    for path in files:
        text = strip_comments(path.read_text())
        text = re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)  # string literals
        # One entry per open #if: whether its current branch is compiled (None: not known),
        # and whether an earlier branch was surely or maybe compiled.
        stack: list[Branch] = []
        for number, line in enumerate(text.splitlines(), 1):
            directive = re.match(r"\s*#\s*(\w+)\s*(.*)", line)
            if directive:
                keyword, rest = directive.groups()
                if keyword == "ifdef":
                    stack.append(Branch(evaluate_condition(f"defined({rest.split()[0]})")))
                elif keyword == "ifndef":
                    stack.append(Branch(evaluate_condition(f"!defined({rest.split()[0]})")))
                elif keyword == "if":
                    stack.append(Branch(evaluate_condition(rest)))
                elif keyword == "elif" and stack:
                    stack[-1].next_branch(evaluate_condition(rest))
                elif keyword == "else" and stack:
                    stack[-1].next_branch(True)
                elif keyword == "endif" and stack:
                    stack.pop()
                continue
            if any(branch.compiled is False for branch in stack):
                continue
            for name in re.findall(r"\b_?Py[A-Za-z0-9_]*", line):
                if name in known_api:
                    used.setdefault(name, []).append(f"{relative(path)}:{number}")
    return used


def cpython_api_names(include: Path = CPYTHON_HEADERS) -> set[str]:
    """The C-API names of CPython 3.11's headers: declared functions and data, macros and
    inline functions (types are left out)."""
    names = set(declared_api(include))
    for header in [*include.glob("*.h"), *include.glob("cpython/*.h")]:
        text = header.read_text(errors="replace")
        names.update(re.findall(r"^\s*#\s*define\s+(_?Py\w*)", text, flags=re.M))
        names.update(re.findall(r"static\s+inline\s+[^;{(]*?\b(_?Py\w*)\s*\(", text))
    return names


def check_pypy_api() -> tuple[list[str], dict[str, str]]:
    provided = read_pypy_api()
    problems = []
    needed: dict[str, str] = {}
    try:
        needed = {name: "an undefined symbol of the PyPy build" for name in pypy_symbols_needed()}
    except CheckFailed as failure:
        problems.append(str(failure))
    for name, places in names_in_pypy_code(cpython_api_names() | set(provided)).items():
        needed.setdefault(name, "used at " + places[0])
    for name in sorted(needed):
        how = provided.get(name, "missing")
        if how not in ("implemented", "macro"):
            problems.append(f"{name} ({needed[name]}): PyPy 3.11 has it {NOT_PROVIDED[how]}")
    by_kind: dict[str, list[str]] = {}
    for name in sorted(needed):
        by_kind.setdefault(provided.get(name, "missing"), []).append(name)
    return problems, {kind: " ".join(names) for kind, names in by_kind.items()}


# --- 7. The Windows wheels -----------------------------------------------------------------

CIBUILDWHEEL = "cibuildwheel==4.2.1"  # its PyPy 3.11 is release 7.3.23, the target
WINDOWS_WHEELS = ["cp311-win_amd64", "pp311-win_amd64"]


def check_wheel_configuration() -> list[str]:
    venv = WORK / "cibuildwheel-venv"
    if not (venv / "bin" / "python").exists():
        result = run([sys.executable, "-m", "venv", venv])
        if result.returncode != 0:
            raise CheckFailed("cannot make a virtual environment for cibuildwheel:\n"
                              + result.stderr)
    result = run([venv / "bin" / "python", "-m", "pip", "install", "-q",
                  "--disable-pip-version-check", CIBUILDWHEEL])
    if result.returncode != 0:
        raise CheckFailed(f"cannot install {CIBUILDWHEEL}:\n" + result.stdout + result.stderr)
    result = run([venv / "bin" / "cibuildwheel", "--print-build-identifiers", "--platform",
                  "windows"], cwd=ROOT)
    if result.returncode != 0:
        raise CheckFailed("cibuildwheel cannot list its builds:\n" + result.stderr)
    identifiers = result.stdout.split()
    print(f"   {' '.join(identifiers)}")
    if identifiers != WINDOWS_WHEELS:
        return [f"cibuildwheel would build {identifiers} on Windows, not {WINDOWS_WHEELS}"]
    return []


# --- The whole check ------------------------------------------------------------------------

def main() -> int:
    started = time.monotonic()
    WORK.mkdir(parents=True, exist_ok=True)
    sources = module_sources()
    problems: list[str] = []

    print("== Windows check: headers the target's compiler lacks")
    problems += check_includes()

    try:
        include = prepare_windows_headers()
        print(f"== Windows check: cross-compiling {len(sources)} sources for x86_64 Windows "
              "(CPython 3.11 headers, warnings as errors)")
        objects = compile_all(tool("g++"), [*WINDOWS_FLAGS, "-I", str(include)], sources,
                              WORK / "objects")
        api = declared_api()
        print(f"== Windows check: linking {PYD_NAME} against python311.dll "
              f"({len(api)} declared names)")
        pyd = link(objects, make_import_library(api))
        print("== Windows check: imports and exports of the .pyd")
        problems += check_imports_and_exports(pyd)
        print("== Windows check: loading the .pyd under Wine")
        load_under_wine(pyd, api)
    except CheckFailed as failure:
        problems.append(str(failure))

    print("== PyPy 3.11 C-API check")
    try:
        api_problems, by_kind = check_pypy_api()
        problems += api_problems
        for kind, names in sorted(by_kind.items()):
            print(f"   {kind} ({len(names.split())}): {names}")
    except CheckFailed as failure:
        problems.append(str(failure))

    print("== Windows wheels: the builds cibuildwheel would make")
    try:
        problems += check_wheel_configuration()
    except CheckFailed as failure:
        problems.append(str(failure))

    elapsed = time.monotonic() - started
    if problems:
        print(f"== Windows check FAILED ({elapsed:.1f} s):")
        for problem in problems:
            print("   " + problem.replace("\n", "\n   "))
        return 1
    print(f"== Windows check passed ({elapsed:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
