"""Batches on a Dask cluster: one task per file.

The workers read the photos and write the prints themselves, on a filesystem
they share with the client; only the job descriptions and the outcomes travel.
Every promise of a local batch holds: the same prints byte for byte (the task
runs the same conversion), atomic writes, per-file reasons, the same report.

A content failure (a damaged photo) is an outcome the task returns, not an
exception, so it is reported once and never retried. A worker that dies takes
its running task with it; the scheduler runs the task again on another worker
(up to ``distributed.scheduler.allowed-failures`` deaths, then the file is
reported as failed). The dead worker's temporary file is never renamed into
place, and the task's next run removes it.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterator
from typing import Any, Final

from ostrel import _deps, memory
from ostrel.batch import BatchReport, Recorder, Tiling, _Converter
from ostrel.planning import Job, Outcome, Plan
from ostrel.recipe import Recipe

# Converters of this worker process, by recipe text and tiling: they hold the
# reusable decode buffers, so consecutive tasks of a batch share them.
_CONVERTERS: dict[tuple[str, Tiling], _Converter] = {}
_CONVERTERS_LOCK: Final = threading.Lock()


def convert_job(job: Job, recipe: Recipe, recipe_text: str, tiling: Tiling) -> Outcome:
    """Runs on a worker: converts one file and returns its outcome (never raises for content)."""
    key = (recipe_text, tiling)
    with _CONVERTERS_LOCK:
        converter = _CONVERTERS.get(key)
        if converter is None:
            _CONVERTERS.clear()  # one batch at a time keeps its buffers
            converter = _CONVERTERS[key] = _Converter(recipe, recipe_text, threading.Event(), 2, tiling)
    outcome = converter(job)
    # A worker's converter is never cancelled, so it always has an outcome.
    return outcome or Outcome(job.source, job.target, "failed", "cancelled")


def _failure(job: Job, error: object) -> Outcome:
    if type(error).__name__ == "KilledWorker":
        reason = "the workers converting it kept dying (a crash or running out of memory)"
    elif type(error).__name__ in ("CancelledError", "FutureCancelledError"):
        reason = "the cluster cancelled its task"
    else:
        reason = f"the task failed: {type(error).__name__}: {error}"
    return Outcome(job.source, job.target, "failed", reason)


def run_on_cluster(
    plan: Plan,
    recipe: Recipe,
    client: Any,
    *,
    on_outcome: Callable[[Outcome], None] | None = None,
    recipe_text: str | None = None,
    tiling: Tiling,
) -> BatchReport:
    """Converts the plan's jobs as tasks on `client`'s cluster; the report as `run_batch` gives it."""
    distributed = _deps.distributed()
    text = recipe_text if recipe_text is not None else recipe.to_toml()
    recorder = Recorder(plan, on_outcome)
    futures = client.map(convert_job, plan.jobs, recipe=recipe, recipe_text=text, tiling=tiling, pure=False)
    jobs_of = {future.key: job for future, job in zip(futures, plan.jobs, strict=True)}
    # Results are gathered as tasks finish and each future is let go once
    # recorded: a worker that dies later then holds nothing the client still
    # wants, and no finished file is converted a second time.
    pending = {future.key: future for future in futures}
    finished = distributed.as_completed(futures, with_results=True, raise_errors=False)
    del futures
    try:
        for future, result in finished:
            job = jobs_of[future.key]
            pending.pop(future.key, None)
            if isinstance(result, Outcome):
                recorder.record(result)
            else:  # the task's exception (a worker that kept dying, a cancelled task)
                recorder.record(_failure(job, result))
            del future, result
    except KeyboardInterrupt:
        # Tasks already running still finish on their workers; the caller
        # counts their prints from the disc once the cluster has stopped
        # (`BatchInterrupted.recount`).
        client.cancel(list(pending.values()))
        raise recorder.interrupted() from None
    return recorder.finish()


def local_cluster(workers: int) -> Any:
    """A new cluster of `workers` processes on this machine, sharing its cores.

    Each worker converts one file at a time and gives its kernels and libvips
    an equal share of the processors.
    """
    distributed = _deps.distributed()
    share = str(max(1, (os.cpu_count() or 1) // workers))
    return distributed.LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",  # any free port: several clusters may run at once
        env={"RAYON_NUM_THREADS": share, "VIPS_CONCURRENCY": share, **memory.ENVIRONMENT},
    )


@contextlib.contextmanager
def cluster_client(*, scheduler: str | None = None, workers: int | None = None) -> Iterator[Any]:
    """A client of the running scheduler at `scheduler` (tcp://host:8786), or of a
    local cluster of `workers` processes started (and stopped) here."""
    distributed = _deps.distributed()
    if scheduler is not None:
        with distributed.Client(scheduler, timeout="10s") as client:
            yield client
        return
    with local_cluster(workers or 1) as cluster, distributed.Client(cluster) as client:
        yield client
