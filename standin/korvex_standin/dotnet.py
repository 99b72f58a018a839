"""The stand-in SDK as real .NET assemblies, for runs on the real bridge (pythonnet on Mono).

The C# sources in standin/dotnet/ implement the same classes, messages and file formats as the
Python stand-in.  ``compiled_assemblies()`` compiles them with Mono's C# compiler ``mcs``
(Debian package mono-devel) and returns the folder that holds the six assembly files.  The
result is kept in a cache folder named after a hash of the sources, so only the first
installation built from given sources pays for the compilation; KORVEX_DOTNET_CACHE names
another cache folder.
"""

import hashlib
import os
import shutil
import subprocess
import tempfile

SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "dotnet")

# A process on the real bridge puts this folder first on its module search path, in place of
# standin/ (whose clr.py would hide pythonnet's): it holds only the COM stand-in.
BRIDGE_PATH = os.path.join(SOURCE_DIR, "pythonpath")

# What such a process needs in its environment before the .NET runtime starts: Mono 6.8
# deadlocks when two Python threads call .NET at once unless threads are suspended
# preemptively; and pythonnet's warning about Mono versions before 6.12 is noise here.
RUNTIME_ENVIRONMENT = {
    "MONO_THREADS_SUSPEND": "preemptive",
    "PYTHONWARNINGS": "ignore:Hosting Mono versions before v6.12",
}

# assembly name -> (C# sources, assemblies it is compiled against), in build order
RECIPES = (
    ("Korvex.SDK", ("Korvex.SDK.cs", "Korvex.SDK.Shared.cs"), ()),
    ("Korvex.Helper", ("Korvex.Helper.cs",), ()),
    ("Korvex.Velmora.Core", ("Korvex.Velmora.Core.cs",), ("Korvex.SDK",)),
    ("Korvex.Velmora.Project", ("Korvex.Velmora.Project.cs",),
     ("Korvex.SDK", "Korvex.Helper", "Korvex.Velmora.Core", "WindowsBase")),
    ("Korvex.PipeStress.Core", ("Korvex.PipeStress.Core.cs",), ("Korvex.SDK", "Korvex.Velmora.Core")),
    ("Korvex.Aster.Core", ("Korvex.Aster.Core.cs",), ("Korvex.SDK", "Korvex.Velmora.Core")),
)

FRAMEWORK_REFERENCES = ("System.dll", "System.Core.dll")


class CompilerMissing(RuntimeError):
    pass


def _cache_root():
    configured = os.environ.get("KORVEX_DOTNET_CACHE")
    if configured:
        return configured
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    root = os.path.join(base, "korvex-standin")
    try:
        os.makedirs(root, exist_ok=True)
    except OSError:   # no writable home: the temporary directory serves
        root = os.path.join(tempfile.gettempdir(), "korvex-standin")
    return root


def _sources_key():
    digest = hashlib.sha256(repr(RECIPES).encode("utf-8"))
    for name in sorted(set(f for _, files, _ in RECIPES for f in files)):
        with open(os.path.join(SOURCE_DIR, name), "rb") as f:
            digest.update(name.encode("utf-8") + b"\0" + f.read())
    return digest.hexdigest()[:20]


def compiler():
    """The path of mcs; CompilerMissing when it is not installed."""
    path = shutil.which("mcs")
    if path is None:
        raise CompilerMissing("mcs, Mono's C# compiler, is not installed (Debian package mono-devel); "
                              "it builds the stand-in's .NET assemblies")
    return path


def _compile(target):
    mcs = compiler()
    for name, sources, references in RECIPES:
        command = [mcs, "-nologo", "-target:library", "-optimize+", "-out:" + os.path.join(target, name + ".dll")]
        command += ["-r:" + r for r in FRAMEWORK_REFERENCES]
        for reference in references:
            local = os.path.join(target, reference + ".dll")
            command.append("-r:" + (local if os.path.exists(local) else reference))
        command += [os.path.join(SOURCE_DIR, s) for s in sources]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        if done.returncode != 0:
            raise RuntimeError("mcs could not compile %s:\n%s" % (name, done.stdout))


def compiled_assemblies():
    """The folder holding the compiled assemblies (<name>.dll), compiling them when the cache
    has none for the current sources."""
    folder = os.path.join(_cache_root(), "dotnet-" + _sources_key())
    if os.path.isdir(folder):
        return folder
    os.makedirs(os.path.dirname(folder), exist_ok=True)
    staging = tempfile.mkdtemp(prefix="dotnet-build-", dir=os.path.dirname(folder))
    try:
        _compile(staging)
        try:
            os.rename(staging, folder)
        except OSError:
            if not os.path.isdir(folder):   # another process may have finished first
                raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return folder


def copy_assembly(file_name, target):
    """Copy the compiled assembly ``file_name`` (e.g. "Korvex.SDK.dll") to the path ``target``."""
    shutil.copyfile(os.path.join(compiled_assemblies(), file_name), target)
