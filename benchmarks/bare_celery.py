"""A bare Celery task that solves a model as the farm's task does, for bench_queue.py --bare:
the same broker, Redis as Celery's own result backend, a worker process of one thread bound
to the installation once, and nothing of the farm's own (no attempt records, lock, notices,
signatures, window or reconciliation). What the farm costs beyond it is what its guarantees
cost.

    celery -A bare_celery worker --pool threads --concurrency 1 -Q korvex_computer.bare

with KORVEX_BROKER, KORVEX_RESULTS and the installation's variables set. With BARE_DURABLE=1
the tasks go through a quorum queue (durable, its messages persistent), sent with publisher
confirms, as the farm's are: what is left beyond it is what the farm's own records cost.
"""

import os

from celery import Celery

DURABLE = os.environ.get("BARE_DURABLE") == "1"
# Names that the farm's worker user may declare.
QUEUE = "korvex_computer.bare.quorum" if DURABLE else "korvex_computer.bare"

app = Celery("bare_celery", broker=os.environ["KORVEX_BROKER"],
             backend=os.environ["KORVEX_RESULTS"])
app.conf.update(task_acks_late=True, worker_prefetch_multiplier=1, task_default_queue=QUEUE,
                worker_hijack_root_logger=False, broker_connection_retry_on_startup=True,
                worker_enable_remote_control=False)
if DURABLE:
    from kombu import Exchange, Queue

    app.conf.update(task_queues=[Queue(QUEUE, Exchange(QUEUE), routing_key=QUEUE,
                                       queue_arguments={"x-queue-type": "quorum"})],
                    broker_transport_options={"confirm_publish": True})
_bound = []


@app.task(name="bare_celery.solve")
def solve(path):
    from korvex_computer.batch import Installation, jobs, task

    if not _bound:
        jobs.bind(Installation(os.environ["KORVEX_INSTALLATION"],
                               settings_path=os.environ.get("KORVEX_SETTINGS_PATH"),
                               data_sources_path=os.environ.get("KORVEX_DATASOURCES_PATH")))
        _bound.append(True)
    return task.solve({"model": path, "solver": "PipeStress", "sandbox": True}, None)
