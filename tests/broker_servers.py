"""Private servers for the job queue's tests and benchmark: a RabbitMQ node and a Redis server,
each on free ports of 127.0.0.1 with its data in a folder of its own, stopped by pid.

The node runs the rabbitmq-server script of the package's own library folder (the one on the
system path switches user and logs to the system's folders), after an epmd of its own: a node
that finds none starts one as a daemon, which would outlive it."""

import os
import shutil
import signal
import socket
import subprocess
import time

RABBITMQ_SCRIPTS = "/usr/lib/rabbitmq/bin"
VHOST = "farm"  # the names of the README's recipe
WORKER_USER = "farm-worker"
CLIENT_USER = "farm-client"
OPERATOR_USER = "farm-operator"
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md")


def readme_recipe():
    """The rabbitmqctl commands of the README's recipe for a farm's node, as argument lists:
    the tests' node is set up by them, so that the README says what the tests try."""
    import shlex

    with open(README, encoding="utf-8") as f:
        return [shlex.split(line, comments=True)[1:] for line in f
                if line.strip().startswith("rabbitmqctl ")]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("the server ended with exit status %s" % process.returncode)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("the server did not listen on port %d within %d s" % (port, seconds))


def _clean_environment():
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # the memory checks' sanitizers are for the module alone
    return env


def rabbitmq_available():
    return os.path.exists(os.path.join(RABBITMQ_SCRIPTS, "rabbitmq-server")) and bool(
        shutil.which("epmd"))


def make_certificates(folder):
    """A CA, a server certificate for 127.0.0.1 that it signed, and another CA that signed
    nothing, made with openssl in `folder`; the folder."""
    os.makedirs(folder, exist_ok=True)

    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    for name in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=korvex test %s" % name, "-keyout", name + ".key",
                "-out", name + ".pem")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName = IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "server.ext", "-out", "server.pem")
    return folder


class RabbitNode(object):
    """A RabbitMQ node set up as the README tells: a vhost of its own, no guest, a worker user,
    a client user that can send models but neither consume nor control workers, and an
    operator user that can also read the dead letters."""

    def __init__(self, folder, heartbeat=None):
        self.folder = str(folder)
        os.makedirs(self.folder, exist_ok=True)
        self.port, self.dist_port, self.epmd_port = free_port(), free_port(), free_port()
        self.tls_port = free_port()
        self.tls = make_certificates(os.path.join(self.folder, "tls"))
        self.passwords = {WORKER_USER: "w0rk/er:%d" % self.port,
                          CLIENT_USER: "cl!ent@%d" % self.port,
                          OPERATOR_USER: "0per@tor/%d" % self.port}
        home = os.path.join(self.folder, "home")
        os.makedirs(home, exist_ok=True)
        config = os.path.join(self.folder, "rabbitmq.conf")
        with open(config, "w") as f:
            f.write("listeners.tcp.1 = 127.0.0.1:%d\n" % self.port)
            f.write("loopback_users = none\n")
            f.write("listeners.ssl.1 = 127.0.0.1:%d\n" % self.tls_port)
            for key, name in (("cacertfile", "ca.pem"), ("certfile", "server.pem"),
                              ("keyfile", "server.key")):
                f.write("ssl_options.%s = %s\n" % (key, os.path.join(self.tls, name)))
            f.write("ssl_options.versions.1 = tlsv1.3\nssl_options.versions.2 = tlsv1.2\n")
            if heartbeat:
                f.write("heartbeat = %d\n" % heartbeat)
        plugins = os.path.join(self.folder, "enabled_plugins")
        with open(plugins, "w") as f:
            f.write("[].\n")
        conf_env = os.path.join(self.folder, "rabbitmq-env.conf")
        open(conf_env, "w").close()
        self.env = dict(
            _clean_environment(), HOME=home, RABBITMQ_CONF_ENV_FILE=conf_env,
            RABBITMQ_NODENAME="korvex%d@localhost" % self.port,
            RABBITMQ_NODE_IP_ADDRESS="127.0.0.1", RABBITMQ_NODE_PORT=str(self.port),
            RABBITMQ_DIST_PORT=str(self.dist_port), ERL_EPMD_PORT=str(self.epmd_port),
            ERL_EPMD_ADDRESS="127.0.0.1",
            RABBITMQ_MNESIA_BASE=os.path.join(self.folder, "mnesia"),
            RABBITMQ_LOG_BASE=os.path.join(self.folder, "log"), RABBITMQ_CONFIG_FILE=config,
            RABBITMQ_ENABLED_PLUGINS_FILE=plugins,
            RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}")
        self.epmd = subprocess.Popen(["epmd", "-port", str(self.epmd_port), "-address",
                                      "127.0.0.1"], env=self.env)
        self.process = None
        try:
            self.prepare()
        except BaseException:
            self.stop()
            raise

    def prepare(self):
        self.start()
        for arguments in readme_recipe():
            user = arguments[1] if arguments[0] == "add_user" else None
            self.ctl(*arguments, password=self.passwords.get(user))

    def start(self):
        with open(os.path.join(self.folder, "node.out"), "ab") as out:
            self.process = subprocess.Popen(
                [os.path.join(RABBITMQ_SCRIPTS, "rabbitmq-server")], env=self.env,
                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 120
        while True:  # until the node has registered and booted (the port alone is not enough)
            wait_for_port(self.port, self.process, 120)
            try:
                self.ctl("await_startup")
                return
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)

    def ctl(self, *arguments, password=None):
        command = [os.path.join(RABBITMQ_SCRIPTS, "rabbitmqctl"), "-q", *arguments]
        # A password is read from standard input, never given on the command line.
        result = subprocess.run(command, env=self.env, input=password,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                universal_newlines=True, timeout=120)
        if result.returncode:
            raise RuntimeError("rabbitmqctl %s: %s" % (arguments[0], result.stdout))
        return result.stdout

    def url(self, user=WORKER_USER, tls=False):
        from urllib.parse import quote

        return "%s://%s:%s@127.0.0.1:%d/%s" % (
            "amqps" if tls else "amqp", user, quote(self.passwords[user], safe=""),
            self.tls_port if tls else self.port, VHOST)

    def kill(self):
        """Kills the node at once, as a crash would (its whole process group: the script,
        the Erlang VM and its helpers)."""
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        for _ in range(600):  # until the Erlang VM, which dies apart from the script, is gone
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                time.sleep(0.05)
            except OSError:
                break

    def signal(self, signum):
        os.killpg(self.process.pid, signum)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.kill()
        self.epmd.terminate()
        self.epmd.wait()


class RedisServer(object):
    """A Redis server that keeps its data in an append-only file written at every change, so
    that it can be killed and started again on its data."""

    def __init__(self, folder):
        self.folder = str(folder)
        os.makedirs(self.folder, exist_ok=True)
        self.port = free_port()
        self.password = "re/dis:%d" % self.port
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "yes", "--appendfsync", "always", "--dir", self.folder,
             "--requirepass", self.password],
            stdout=subprocess.DEVNULL, env=_clean_environment())
        wait_for_port(self.port, self.process, 30)

    def url(self):
        from urllib.parse import quote

        return "redis://:%s@127.0.0.1:%d/0" % (quote(self.password, safe=""), self.port)

    def kill(self):
        """Kills the server at once, as a crash would."""
        self.process.kill()
        self.process.wait(timeout=30)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def serve(folder):
    """Starts a node and a Redis server in `folder`, writes the lines that export their URLs
    (the worker's, the client's and the results store's) to folder/urls.sh, and stops them
    on SIGTERM or SIGINT."""
    node = RabbitNode(os.path.join(folder, "rabbitmq"))
    store = None
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    try:
        store = RedisServer(os.path.join(folder, "redis"))
        with open(os.path.join(folder, "urls.sh.tmp"), "w") as f:
            f.write("WORKER_BROKER='%s'\nCLIENT_BROKER='%s'\nRESULTS='%s'\n"
                    % (node.url(), node.url(CLIENT_USER), store.url()))
        os.replace(os.path.join(folder, "urls.sh.tmp"), os.path.join(folder, "urls.sh"))
        while not stopping:
            time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    finally:
        node.stop()
        if store is not None:
            store.stop()


if __name__ == "__main__":
    import sys

    serve(sys.argv[1])
