# Shared by the demo and test commands: what the real .NET bridge needs. Mono from Debian's
# mono-devel (it alone ships the netstandard facade that pythonnet cannot start without, and
# brings the runtime and mcs, the C# compiler of the stand-in SDK's assemblies), and pythonnet
# from PyPI in the CPython environment. pythonnet does not run on PyPy.
# Usage: prepare_dotnet_bridge <CPython venv dir>

install_mono_if_missing() {
    command -v mcs >/dev/null 2>&1 && [ -e /usr/lib/mono/4.5/Facades/netstandard.dll ] && return 0
    apt_install Mono mono-devel
}

prepare_dotnet_bridge() {
    local venv="$1"
    install_mono_if_missing || return 1
    echo "== installing pythonnet, the real .NET bridge, into $venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check pythonnet
}
