"""Times a batch of short stand-in solves through the local worker pool and through the job
queue (Celery with a RabbitMQ broker and a Redis results store), with 1, 2 and 4 worker
processes, and prints the total times and the overhead per model of the queue over the local
pool. Figures only, never asserted.

    .venv-cpython/bin/python benchmarks/bench_queue.py [--models 100] [--repeats 3]
    .venv-cpython/bin/python benchmarks/bench_queue.py --client-cost [--models 1000,5000]
    .venv-cpython/bin/python benchmarks/bench_queue.py --bare [--models 100]

With --bare it times the same solves as bare Celery tasks (bare_celery.py: Redis as Celery's
result backend, nothing of the farm's records, lock, notices or signatures) against the
farm's queue, with 1, 2 and 4 worker processes: what the farm's guarantees cost per model;
once on a classic queue, Celery's default, and once on a quorum queue with publisher confirms,
as the farm's queue is: beyond that, what the farm's own records cost.

With --client-cost it sends batches of each size to 4 worker processes and prints the CPU
time that the client (this process) spent per model, and how it grows with the batch: the
exponent k of cost = c * models^k between the smallest and the largest batch (1 is linear).

Needs the cluster extra (./scripts/test installs it), rabbitmq-server and redis-server. The
script builds a stand-in installation and the models in a temporary folder and starts a
RabbitMQ node and a Redis server of its own on 127.0.0.1 (tests/broker_servers.py). The local
pool's time includes starting and binding its worker processes, as each batch does; the
queue's workers are started and bound before the timing, as a farm's are, so its time is that
of sending the tasks, the workers' round trips through the broker and the results store, and
reading the results. Each figure is the best of the repeats. "Beyond the solves" is the total
less the solve times that the workers measured (spread over the processes), per model and
process: what the pool or the queue adds to each solve, the local pool's start included.
"""

import argparse
import importlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "standin"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from korvex_standin.installation import build_installation  # noqa: E402
import broker_servers  # noqa: E402
from module_helpers import write_quarl  # noqa: E402

WORKER_COUNTS = (1, 2, 4)


def make_models(folder, count):
    paths = []
    for number in range(count):
        model = pathlib.Path(folder, "M%03d" % number, "M%03d.quarl" % number)
        model.parent.mkdir(parents=True)
        (model.parent / ("M%03d.thf" % number)).write_text("TEMPERATURE 180\n")
        write_quarl(model, "Velmora")
        paths.append(str(model))
    return paths


def start_workers(node, results_url, count, env, log):
    workers = subprocess.Popen([sys.executable, "-m", "korvex_computer", "worker",
                                "--concurrency", str(count)],
                               env=dict(env, KORVEX_BROKER=node.url(), KORVEX_RESULTS=results_url),
                               stdout=log, stderr=log)
    wait_for_consumers(node, "korvex_computer", count, [workers], log)
    return workers


def wait_for_consumers(node, queue, count, workers, log):
    """Returns once the broker counts `count` consumers of `queue`; SystemExit, with the end
    of the workers' log, when one of them ended."""
    from kombu import Connection

    with Connection(node.url()) as connection:
        while True:
            if any(worker.poll() is not None for worker in workers):
                log.flush()
                with open(log.name) as said:
                    raise SystemExit("a worker ended:\n" + said.read()[-2000:])
            channel = connection.channel()
            try:
                if channel.queue_declare(queue, passive=True)[2] >= count:
                    return
            except Exception:  # the queue not declared yet
                pass
            finally:
                channel.close()
            time.sleep(0.1)


def timed(solve, repeats):
    """The best total time of the repeats, and that run's time beyond the solves themselves
    (the total less the solve times that the workers measured, spread over the processes)."""
    best = (float("inf"), 0.0)
    for _ in range(repeats):
        started = time.perf_counter()
        results = solve()
        total = time.perf_counter() - started
        failed = [entry for entry in results if not entry["ok"]]
        if failed:
            raise SystemExit("%d models failed: %s" % (len(failed), failed[0]))
        processes = len(set(entry["process"] for entry in results))
        solving = sum(entry["elapsed"] for entry in results) / processes
        best = min(best, (total, total - solving))
    return best


def bare_queue(durable):
    return "korvex_computer.bare.quorum" if durable else "korvex_computer.bare"


def start_bare_workers(node, results_url, count, env, log, durable):
    """`count` bare Celery worker processes of one thread each (bare_celery.py)."""

    worker_env = dict(env, KORVEX_BROKER=node.url(), KORVEX_RESULTS=results_url,
                      PYTHONPATH=os.pathsep.join([HERE, env["PYTHONPATH"]]),
                      BARE_DURABLE="1" if durable else "0")
    workers = [subprocess.Popen([sys.executable, "-m", "celery", "-A", "bare_celery", "worker",
                                 "--pool", "threads", "--concurrency", "1", "-Q",
                                 bare_queue(durable), "-n", "bare%d@%%h" % number,
                                 "--without-gossip", "--without-mingle",
                                 "--without-heartbeat"],
                                env=worker_env, stdout=log, stderr=log)
               for number in range(count)]
    wait_for_consumers(node, bare_queue(durable), count, workers, log)
    return workers


def bare_solve_many(node, results_url, paths, durable):
    """Each model sent as a bare Celery task, then every result waited for."""
    os.environ.update(KORVEX_BROKER=node.url(), KORVEX_RESULTS=results_url,
                      BARE_DURABLE="1" if durable else "0")
    sys.path.insert(0, HERE)
    import bare_celery

    bare_celery = importlib.reload(bare_celery)  # it reads BARE_DURABLE when imported
    pending = [bare_celery.solve.delay(path) for path in paths]
    return [result.get(timeout=600) for result in pending]


def bare_comparison(node, store, root, env, paths, repeats):
    """The farm's queue against bare Celery tasks doing the same solves."""
    from korvex_computer.batch import solve_many

    print("%d stand-in PipeStress solves in sandboxes: the farm's queue against bare Celery "
          "tasks, %s %s, %d cores, best of %d" % (len(paths), sys.implementation.name,
                                                 sys.version.split()[0], os.cpu_count() or 0,
                                                 repeats))
    print("| processes | bare Celery | bare Celery, quorum queue and confirms | queue "
          "| queue - bare, per model | queue - bare on a quorum queue, per model |")
    print("|---|---|---|---|---|---|")
    for count in WORKER_COUNTS:
        bare = []
        for durable in (False, True):
            with open(os.path.join(root, "bare-%d-%d.log" % (count, durable)), "w") as log:
                workers = start_bare_workers(node, store.url(), count, env, log, durable)
                try:
                    bare.append(timed(lambda: bare_solve_many(node, store.url(), paths,
                                                              durable), repeats))
                finally:
                    for worker in workers:
                        worker.terminate()
                    for worker in workers:
                        worker.wait()
        with open(os.path.join(root, "workers-%d.log" % count), "w") as log:
            workers = start_workers(node, store.url(), count, env, log)
            try:
                queue = timed(lambda: solve_many(paths, "PipeStress", True, broker=node.url(
                    broker_servers.CLIENT_USER), results=store.url()), repeats)
            finally:
                workers.terminate()
                workers.wait()
        print("| %d | %.2f s | %.2f s | %.2f s | %+.1f ms | %+.1f ms |" % (
            count, bare[0][0], bare[1][0], queue[0], (queue[0] - bare[0][0]) / len(paths) * 1000,
            (queue[0] - bare[1][0]) / len(paths) * 1000))


def client_cost(node, store, root, env, sizes):
    """The client's CPU time per model for batches of each size, sent to 4 worker processes."""
    import math

    from korvex_computer.batch import solve_many

    print("client CPU per model through the queue, 4 worker processes, %s %s, %d cores"
          % (sys.implementation.name, sys.version.split()[0], os.cpu_count() or 0))
    print("| models | batch time | client CPU | client CPU per model |")
    print("|---|---|---|---|")
    costs = []
    with open(os.path.join(root, "workers-cost.log"), "w") as log:
        workers = start_workers(node, store.url(), 4, env, log)
        try:
            for size in sizes:
                paths = make_models(os.path.join(root, "models-%d" % size), size)
                started, cpu = time.perf_counter(), time.process_time()
                results = solve_many(paths, "PipeStress", True, broker=node.url(
                    broker_servers.CLIENT_USER), results=store.url())
                cpu, total = time.process_time() - cpu, time.perf_counter() - started
                if not all(entry["ok"] for entry in results):
                    raise SystemExit("models failed at %d" % size)
                costs.append(cpu)
                print("| %d | %.1f s | %.2f s | %.2f ms |" % (size, total, cpu,
                                                              cpu / size * 1000))
        finally:
            workers.terminate()
            workers.wait()
    if len(sizes) > 1:
        print("growth exponent of the client's CPU: %.2f" % (
            math.log(costs[-1] / costs[0]) / math.log(sizes[-1] / sizes[0])))


def main(argv):
    parser = argparse.ArgumentParser(prog="bench_queue.py")
    parser.add_argument("--models", default=None)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--client-cost", action="store_true")
    parser.add_argument("--bare", action="store_true",
                        help="the queue against bare Celery tasks doing the same solves")
    options = parser.parse_args(argv)
    sizes = [int(size) for size in (options.models or (
        "1000,5000" if options.client_cost else "100")).split(",")]
    options.models = sizes[0]

    from korvex_computer.batch import Installation, solve_many

    root = tempfile.mkdtemp(prefix="bench_queue_")
    node = store = None
    try:
        inst = build_installation(os.path.join(root, "installation"))
        installation = Installation(inst.directory, settings_path=inst.settings_path,
                                    data_sources_path=inst.data_sources_path)
        temp = os.path.join(root, "temp")
        os.makedirs(temp)
        env = dict(os.environ, KORVEX_INSTALLATION=inst.directory,
                   KORVEX_SETTINGS_PATH=inst.settings_path,
                   KORVEX_DATASOURCES_PATH=inst.data_sources_path, TMPDIR=temp,
                   PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "standin")]
                                              + [p for p in [os.environ.get("PYTHONPATH")] if p]))
        os.environ.update(TMPDIR=temp, PYTHONPATH=env["PYTHONPATH"])
        node = broker_servers.RabbitNode(os.path.join(root, "rabbitmq"))
        store = broker_servers.RedisServer(os.path.join(root, "redis"))
        client_url = node.url(broker_servers.CLIENT_USER)
        if options.client_cost:
            client_cost(node, store, root, env, sizes)
            return
        paths = make_models(os.path.join(root, "models"), options.models)
        if options.bare:
            bare_comparison(node, store, root, env, paths, options.repeats)
            return

        print("%d stand-in PipeStress solves in sandboxes, %s %s, %d cores, best of %d"
              % (options.models, sys.implementation.name, sys.version.split()[0],
                 os.cpu_count() or 0, options.repeats))
        print("| processes | local pool | queue | queue - local, per model "
              "| beyond the solves, per model: local pool / queue |")
        print("|---|---|---|---|---|")
        for count in WORKER_COUNTS:
            local = timed(lambda: solve_many(paths, "PipeStress", True, jobs=count,
                                             installation=installation), options.repeats)
            with open(os.path.join(root, "workers-%d.log" % count), "w") as log:
                workers = start_workers(node, store.url(), count, env, log)
                try:
                    queue = timed(lambda: solve_many(paths, "PipeStress", True,
                                                     broker=client_url, results=store.url()),
                                  options.repeats)
                finally:
                    workers.terminate()
                    workers.wait()
            print("| %d | %.2f s | %.2f s | %+.1f ms | %.1f ms / %.1f ms |"
                  % (count, local[0], queue[0], (queue[0] - local[0]) / options.models * 1000,
                     local[1] / options.models * 1000 * count,
                     queue[1] / options.models * 1000 * count))
    finally:
        if node is not None:
            node.stop()
        if store is not None:
            store.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
