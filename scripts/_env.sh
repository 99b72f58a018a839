# Shared by the demo and test commands: makes a virtual environment for one interpreter and
# installs the package into it, building the native module for that interpreter.
# Usage: prepare_runtime <interpreter> <venv dir>

install_pypy_if_missing() {
    command -v pypy3 >/dev/null 2>&1 && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "== installing PyPy (pypy3, pypy3-dev, pypy3-venv)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pypy3 pypy3-dev pypy3-venv >/dev/null
    else
        echo "PyPy is missing: install pypy3, pypy3-dev and pypy3-venv" >&2
        return 1
    fi
}

# The Redis server of the job queue's tests (Debian's redis-server).
install_redis_if_missing() {
    command -v redis-server >/dev/null 2>&1 && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "== installing Redis (redis-server)"
        apt-get -o DPkg::Lock::Timeout=600 update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq redis-server >/dev/null
    else
        echo "Redis is missing: install redis-server" >&2
        return 1
    fi
}

prepare_runtime() {
    local interpreter="$1" venv="$2"
    if [ ! -x "$venv/bin/python" ]; then
        echo "== creating $venv with $interpreter"
        "$interpreter" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest
    echo "== building and installing korvex_computer for $("$venv/bin/python" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])')"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[cli,cluster]"
}
