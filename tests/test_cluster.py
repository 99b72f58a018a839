"""The job queue with real processes: a Redis server of each test's own on 127.0.0.1, worker
processes of the command line (``korvex_computer worker``) on the stand-in installation, and
``korvex_computer solve --broker`` or ``solve_many`` sending them the models."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

from test_cli import (assert_each_solved_from_its_own_model, environment,
                      installation_killing_workers, model, models_of_one_folder, on_a_terminal,
                      run_cli, wait_for)

pytest.importorskip("celery", reason="the job queue needs korvex_computer[cluster]")
REDELIVER_AFTER = "2"  # seconds before the model of a dead worker goes to another


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    """The URL of a Redis server for the session's tests."""
    server = shutil.which("redis-server")
    if server is None and sys.platform == "win32":
        pytest.skip("Redis is not built for Windows; the queue's tests run where it is")
    if server is None:
        (pytest.fail if os.environ.get("CI") else pytest.skip)("redis-server is not installed")
    port = free_port()
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # the memory checks' sanitizers are for the module alone
    process = subprocess.Popen([server, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                                "--appendonly", "no", "--dir",
                                str(tmp_path_factory.mktemp("redis"))],
                               stdout=subprocess.DEVNULL, env=env)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)
    yield "redis://127.0.0.1:%d/0" % port
    process.terminate()
    process.wait(timeout=30)


@pytest.fixture
def broker(redis_server):
    """The session's Redis server, emptied for the test."""
    import redis

    redis.Redis.from_url(redis_server).flushall()
    return redis_server


@pytest.fixture
def start_worker(tmp_path, broker):
    """Starts `korvex_computer worker` processes, each with its own temporary folder; stops
    them after the test."""
    started = []

    def start(installation, name, *arguments, **env):
        temp_dir = tmp_path / ("temp-" + name)
        temp_dir.mkdir()
        with open(str(tmp_path / (name + ".log")), "w") as log:
            process = subprocess.Popen(
                [sys.executable, "-m", "korvex_computer", "worker", "--broker", broker,
                 "--redeliver-after", REDELIVER_AFTER, *arguments],
                env=dict(environment(installation, temp_dir), **env), stdout=log, stderr=log)
        started.append(process)
        return process, temp_dir

    yield start
    for process in started:
        process.terminate()
    for process in started:
        try:
            process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def test_a_batch_through_the_queue_with_one_failing_model(installation, tmp_path, broker,
                                                            start_worker):
    from korvex_computer.batch import solve_many

    _, worker_temp = start_worker(installation, "pair", "--concurrency", "2")
    good = [model(tmp_path / name, name) for name in ("A", "B", "C")]
    unreadable = str(tmp_path / "Unreadable.quarl")
    with open(unreadable, "w") as f:
        f.write("not a model\n")
    models = [good[0], unreadable, good[1], good[2]]
    result = run_cli(["solve", *models, "--solver", "PipeStress", "--sandbox", "--broker", broker,
                      "--json"], environment(None, tmp_path))
    assert result.returncode == 1
    assert result.stderr == "korvex_computer: error: 1 of 4 models failed (invalid model)\n"
    entries = json.loads(result.stdout)["models"]
    assert [(e["model"], e["ok"], e.get("cause")) for e in entries] == [
        (good[0], True, None), (unreadable, False, "invalid model"), (good[1], True, None),
        (good[2], True, None)]
    assert all(os.path.dirname(e["sandbox"]) == str(worker_temp) for e in entries if e["ok"])
    assert 1 <= len(set(e["process"] for e in entries)) <= 2
    assert os.listdir(str(worker_temp)) == []  # each sandbox went with its solution

    answers = solve_many(good, "Aster", sandbox=False, broker=broker)
    assert [(e["model"], e["ok"], e["solution"]["properties"]["SolverName"])
            for e in answers] == [(path, True, "Aster") for path in good]


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL, which Windows lacks")
def test_the_model_of_a_killed_worker_is_solved_by_another(installation, tmp_path, broker,
                                                           start_worker):
    workers = dict(start_worker(installation, name, KORVEX_STANDIN_SOLVE_SECONDS="2")
                   for name in ("first", "second"))
    path = model(tmp_path / "Plant")
    solve = subprocess.Popen(
        [sys.executable, "-m", "korvex_computer", "solve", path, "--solver", "PipeStress",
         "--sandbox", "--broker", broker, "--json"], env=environment(None, tmp_path),
        stdout=subprocess.PIPE, universal_newlines=True)
    killed, first_sandbox = None, None
    for _ in range(1200):  # until the solve has begun in one worker's sandbox
        for worker, temp_dir in workers.items():
            if os.listdir(str(temp_dir)):
                killed, first_sandbox = worker, temp_dir / os.listdir(str(temp_dir))[0]
        if killed:
            break
        time.sleep(0.05)
    assert killed is not None, "no worker started the model"
    os.kill(killed.pid, signal.SIGKILL)
    output, _ = solve.communicate(timeout=300)
    assert solve.returncode == 0
    entry = json.loads(output)["models"][0]
    survivor = [worker for worker in workers if worker is not killed][0]
    assert (entry["ok"], entry["process"], entry["attempt"]) == (True, survivor.pid, 2)
    assert os.path.dirname(entry["sandbox"]) == str(workers[survivor])
    # The killed worker's sandbox is left as it was, apart from the new attempt's.
    assert first_sandbox.is_dir() and str(first_sandbox) != entry["sandbox"]


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL, which Windows lacks")
def test_a_model_that_kills_every_worker_ends_as_a_worker_failure(tmp_path, broker,
                                                                  start_worker):
    installation = installation_killing_workers(tmp_path / "installation")
    for number in range(4):
        start_worker(installation, "w%d" % number)
    models = [model(tmp_path / name, name) for name in ("Crash", "Plant")]
    result = run_cli(["solve", *models, "--solver", "PipeStress", "--broker", broker, "--json"],
                     environment(None, tmp_path))
    entries = json.loads(result.stdout)["models"]
    assert [(e["ok"], e.get("cause")) for e in entries] == [(False, "worker failure"),
                                                            (True, None)]
    assert entries[0]["message"] == "3 workers ended before they finished this model"


@pytest.mark.skipif(not hasattr(os, "openpty"),
                    reason="needs a pseudo-terminal, which Windows lacks")
def test_with_no_worker_listening_the_models_wait_out_the_timeout(tmp_path, broker):
    models = [model(tmp_path / name, name) for name in ("A", "B")]
    code, stdout, status = on_a_terminal(
        [sys.executable, "-m", "korvex_computer", "solve", *models, "--solver", "PipeStress",
         "--broker", broker, "--timeout", "1"], environment(None, tmp_path))
    assert code == 1
    assert re.search(r"PipeStress: 0 done, 0 failed, 0 running, 2 waiting of 2 models, no worker "
                     r"listening, \d+\.\d s", status)
    assert [row.split()[:3] for row in stdout.splitlines()[1:3]] == [
        [path, "failed", "0.00"] for path in models]
    assert "no worker took the model within 1 s" in stdout
    assert status.rstrip().endswith("korvex_computer: error: 2 of 2 models failed (not started)")


@pytest.mark.parametrize("arguments, cause", [
    (["solve", "{model}", "--solver", "PipeStress", "--broker", "{closed}"],
     "cluster unreachable: cannot reach the broker at {closed} (ConnectionError: Error 111 "
     "connecting to 127.0.0.1:{port}. Connection refused.)"),
    (["worker", "--broker", "{closed}"], "cluster unreachable: cannot reach the broker at "
                                         "{closed} (ConnectionError: Error 111 connecting to "
                                         "127.0.0.1:{port}. Connection refused.)"),
])
def test_an_unreachable_broker_ends_the_command(installation, tmp_path, arguments, cause):
    port = free_port()
    values = {"model": model(tmp_path / "Plant"), "port": port,
              "closed": "redis://127.0.0.1:%d/0" % port}
    result = run_cli([a.format(**values) for a in arguments],
                     environment(installation, tmp_path))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == "korvex_computer: error: " + cause.format(**values)


@pytest.mark.parametrize("sandbox", [False, True])
def test_models_of_one_folder_through_the_queue(installation, tmp_path, broker, start_worker,
                                                sandbox):
    worker, _ = start_worker(installation, "pair", "--concurrency", "2")
    paths = models_of_one_folder(tmp_path / "share", environment(installation, tmp_path))
    result = run_cli(["solve", *paths, "--solver", "PipeStress", "--broker", broker, "--json",
                      "--output", str(tmp_path / "out")] + (["--sandbox"] if sandbox else []),
                     environment(None, tmp_path))
    assert result.returncode == 0, result.stderr
    # The records were written by the worker processes (children of the one started).
    report = json.loads(result.stdout)
    assert_each_solved_from_its_own_model(report, paths, tmp_path / "out")
    assert os.getpid() not in set(e["process"] for e in report["models"])


@pytest.mark.skipif(not hasattr(signal, "SIGTERM"), reason="needs SIGTERM")
def test_an_interrupted_queue_batch_leaves_its_model_to_the_worker(installation, tmp_path,
                                                                   broker, start_worker):
    import redis

    _, worker_temp = start_worker(installation, "one", KORVEX_STANDIN_SOLVE_SECONDS="3")
    paths = [model(tmp_path / name, name) for name in ("A", "B", "C")]
    output = tmp_path / "out"
    client = subprocess.Popen(
        [sys.executable, "-m", "korvex_computer", "solve", *paths, "--solver", "PipeStress",
         "--sandbox", "--broker", broker, "--output", str(output), "--json"],
        env=environment(None, tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True)
    wait_for(lambda: os.listdir(str(worker_temp)))  # A is being solved
    time.sleep(1)  # the client has seen it start
    client.send_signal(signal.SIGTERM)
    stdout, stderr = client.communicate(timeout=60)
    assert client.returncode == 130
    assert "Traceback" not in stderr
    entries = json.loads(stdout)["models"]
    assert [e["cause"] for e in entries] == ["interrupted", "never started", "never started"]
    wait_for(lambda: (output / "A" / "result.json").exists())  # the worker finished A
    assert json.loads((output / "A" / "result.json").read_text())["ok"] is True
    server = redis.Redis.from_url(broker)
    wait_for(lambda: server.llen("korvex_computer") == 0)  # B and C taken, and left
    time.sleep(2)
    assert sorted(os.listdir(str(output))) == ["A", "batch.json"]
    assert list(server.scan_iter(match="celery-task-meta-*")) == []
