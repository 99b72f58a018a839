# Shared by the demo and test commands: makes a virtual environment for one interpreter and
# installs the package into it, building the native module for that interpreter.
# Usage: prepare_runtime <interpreter> <venv dir>

# Installs Debian packages through apt (as root); otherwise says what to install and fails.
# Usage: apt_install <what, for the messages> <package>...
apt_install() {
    local what="$1"
    shift
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "== installing $what ($*)"
        apt-get -o DPkg::Lock::Timeout=600 update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@" >/dev/null
    else
        echo "$what is missing: install $*" >&2
        return 1
    fi
}

install_pypy_if_missing() {
    command -v pypy3 >/dev/null 2>&1 || apt_install PyPy pypy3 pypy3-dev pypy3-venv
}

# The servers of the job queue's tests: Debian's rabbitmq-server (the broker) and
# redis-server (the results store).
install_queue_servers_if_missing() {
    local missing=()
    [ -x /usr/lib/rabbitmq/bin/rabbitmq-server ] || missing+=(rabbitmq-server)
    command -v redis-server >/dev/null 2>&1 || missing+=(redis-server)
    [ ${#missing[@]} = 0 ] || apt_install "the job queue's servers" "${missing[@]}"
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
