"""Converting many photos: the jobs of a plan (see `ostrel.planning`), made into prints.

`run_batch` converts the jobs: reading and writing of several files overlap
with the kernels of another (the kernels use every core, so one renders at a
time), and a file that fails is reported with its reason while the rest go
on. `convert_files` plans and runs in one call; `convert_file` makes one print.
"""

from __future__ import annotations

import concurrent.futures
import os
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final

from ostrel.buffers import BufferPool
from ostrel.clipping import measure
from ostrel.errors import PhotoReadError, PrintWriteError
from ostrel.faults import failure_reason, outcome_note, refuse_tiled
from ostrel.guard import same_file
from ostrel.limits import DEFAULT_MAX_PIXELS, pixel_limit_reason
from ostrel.planning import Job, Outcome, Plan, Status, plan_batch
from ostrel.reading import image_size, is_camera_raw, pixel_count, read_photo
from ostrel.recipe import Recipe
from ostrel.rendering import render_photo
from ostrel.temporaries import remove_dead
from ostrel.tiled import BAND_BLOCK_WIDTH, DEFAULT_TILE, TILED_THRESHOLD, lazy_photo, write_tiled_print
from ostrel.writing import check_suffix, write_print


@dataclass
class BatchReport:
    """Every outcome of a batch, in completion order, and its wall time."""

    outcomes: list[Outcome] = field(default_factory=list)
    seconds: float = 0.0
    not_run: int = 0

    def count(self, status: Status) -> int:
        return sum(1 for outcome in self.outcomes if outcome.status == status)

    @property
    def converted(self) -> int:
        return self.count("converted")

    @property
    def skipped(self) -> int:
        return self.count("skipped")

    @property
    def failed(self) -> int:
        return self.count("failed")

    @property
    def images_per_second(self) -> float:
        return self.converted / self.seconds if self.seconds > 0 else 0.0

    def summary(self) -> str:
        text = (
            f"converted {self.converted}, skipped {self.skipped}, failed {self.failed} "
            f"in {self.seconds:.2f} s ({self.images_per_second:.2f} images/s)"
        )
        if self.not_run:
            text += f"; interrupted, {self.not_run} not converted"
        return text


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a batch; `report` holds what was done until then, `unfinished` the jobs without an outcome."""

    def __init__(self, report: BatchReport, unfinished: Sequence[Job] = (), started: float = 0.0) -> None:
        super().__init__()
        self.report = report
        self.unfinished = list(unfinished)
        self.started = started  # wall-clock time the batch began

    def recount(self) -> BatchReport:
        """The report with the unfinished jobs whose print reached the disc after all counted as converted.

        Call it once nothing writes any more (a cluster's workers stopped):
        a print is renamed into place only when complete, so one that is
        newer than the batch is this batch's, and whole. Their dead
        temporaries are removed.
        """
        still = []
        for job in self.unfinished:
            try:
                fresh = job.target.stat().st_mtime >= self.started - 1.0
            except OSError:
                fresh = False
            if fresh:
                self.report.outcomes.append(Outcome(job.source, job.target, "converted", "finished while stopping"))
            else:
                still.append(job)
            remove_dead(job.target)
        self.report.not_run = len(still)
        self.unfinished = still
        return self.report


class Recorder:
    """Collects a batch's outcomes as they come, the plan's decided ones first, and times it."""

    def __init__(self, plan: Plan, on_outcome: Callable[[Outcome], None] | None) -> None:
        self.plan = plan
        self.report = BatchReport()
        self.on_outcome = on_outcome
        self.started = time.perf_counter()
        self.wall_started = time.time()
        self.converted_jobs = 0
        self.recorded: set[tuple[Path, Path | None]] = set()
        for outcome in plan.decided:
            if outcome.status == "skipped" and outcome.target is not None:
                remove_dead(outcome.target)  # left by a run killed while overwriting it
            self._add(outcome)

    def _add(self, outcome: Outcome) -> None:
        self.report.outcomes.append(outcome)
        if self.on_outcome is not None:
            self.on_outcome(outcome)

    def record(self, outcome: Outcome) -> None:
        """The outcome of one of the plan's jobs."""
        self.converted_jobs += 1
        self.recorded.add((outcome.source, outcome.target))
        self._add(outcome)

    def finish(self) -> BatchReport:
        self.report.seconds = time.perf_counter() - self.started
        return self.report

    def interrupted(self) -> BatchInterrupted:
        unfinished = [job for job in self.plan.jobs if (job.source, job.target) not in self.recorded]
        self.report.not_run = len(unfinished)
        return BatchInterrupted(self.finish(), unfinished, self.wall_started)


DEFAULT_JOBS: Final = 3


def default_jobs() -> int:
    """Files in flight: one decoding, one in the kernels, one encoding; more on big machines."""
    return max(DEFAULT_JOBS, min(8, (os.cpu_count() or 1) // 2 + 1))


@dataclass(frozen=True)
class Tiling:
    """When to convert by tiles: always (True), never (False) or above the threshold (None)."""

    force: bool | None = None
    tile: int = DEFAULT_TILE
    threshold: int = TILED_THRESHOLD
    max_pixels: int = DEFAULT_MAX_PIXELS  # a photo above it is refused (see ostrel.limits)

    def wanted(self, source: Path) -> bool:
        if self.force is False or is_camera_raw(source):
            return False
        if self.force:
            return True
        pixels = pixel_count(source)
        return pixels is not None and pixels > self.threshold


class _Converter:
    """Converts one job; shared by the worker threads of a batch."""

    def __init__(
        self,
        recipe: Recipe,
        recipe_text: str | None,
        cancel: threading.Event,
        workers: int = 1,
        tiling: Tiling | None = None,
    ) -> None:
        self.recipe = recipe
        self.recipe_text = recipe_text if recipe_text is not None else recipe.to_toml()
        self.cancel = cancel
        self.kernels = threading.Lock()
        self.buffers = BufferPool(capacity=workers)
        self.tiling = tiling or Tiling()

    def __call__(self, job: Job) -> Outcome | None:
        """The job's outcome, or None when the batch was cancelled before it finished."""
        if self.cancel.is_set():
            return None
        start = time.perf_counter()
        try:
            outcome = self._convert(job, start)
        except Exception as error:  # noqa: BLE001 - one bad file never stops the batch
            return Outcome(job.source, job.target, "failed", failure_reason(error))
        return outcome_note(outcome, job.note)

    def _convert(self, job: Job, start: float) -> Outcome | None:
        size = image_size(job.source)  # also refuses a FIFO or a device before libvips opens it
        reason = pixel_limit_reason(*size, self.tiling.max_pixels) if size else None
        if reason:
            raise PhotoReadError(job.source, reason)
        if self.tiling.wanted(job.source):
            return self._convert_tiled(job, start)
        photo = read_photo(job.source, allocate=self.buffers.take)
        if self.cancel.is_set():
            return None
        with self.kernels:  # the kernels use every core already
            plane, photo_luminance = render_photo(photo, self.recipe)
            clipping = measure(plane, photo_luminance, self.recipe.output.bits)
            del photo_luminance
        metadata = photo.metadata
        self.buffers.give(photo.pixels)  # the kernels are done with it
        del photo
        if self.cancel.is_set():
            return None
        self._prepare_folder(job)
        write_print(plane, job.target, self.recipe.output, metadata=metadata, recipe_text=self.recipe_text)
        notes = "; ".join(metadata.tiff_tags.notes + (metadata.exif_tags().notes if metadata.exif else ()))
        seconds = time.perf_counter() - start
        return Outcome(job.source, job.target, "converted", notes, seconds=seconds, clipping=clipping)

    def _prepare_folder(self, job: Job) -> None:
        try:
            job.target.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise PrintWriteError(
                job.target, f"cannot create the folder {job.target.parent}: {error.strerror or error}"
            ) from None
        remove_dead(job.target)

    def _convert_tiled(self, job: Job, start: float) -> Outcome | None:
        if self.recipe.output.format != "tiff":
            raise PrintWriteError(
                job.target,
                f"a tiled print is a BigTIFF: choose --format tiff (tiles are used with --tiled and above "
                f"{self.tiling.threshold // 1_000_000} megapixels)",
            )
        refuse_tiled(job.source, job.target, self.recipe.output)
        lazy = lazy_photo(job.source, self.tiling.tile, width=BAND_BLOCK_WIDTH)
        if self.cancel.is_set():
            return None
        self._prepare_folder(job)
        with self.kernels:
            write_tiled_print(
                lazy.pixels,
                job.target,
                self.recipe,
                metadata=lazy.metadata,
                recipe_text=self.recipe_text,
                tile=self.tiling.tile,
            )
        return Outcome(job.source, job.target, "converted", seconds=time.perf_counter() - start)


def run_batch(
    plan: Plan,
    recipe: Recipe,
    *,
    jobs: int | None = None,
    on_outcome: Callable[[Outcome], None] | None = None,
    recipe_text: str | None = None,
    tiling: Tiling | None = None,
    client: Any = None,
) -> BatchReport:
    """Converts the plan's jobs with `jobs` files in flight (default: `default_jobs()`).

    `on_outcome` is called, in the calling thread, for each outcome as it
    comes (the decided ones first). Ctrl-C lets the files in progress finish
    or stop at their next step (no temporary file is left) and raises
    `BatchInterrupted` with the report so far. With a `distributed.Client`,
    each file is a task on the cluster instead (see `ostrel.distributed`).
    """
    if client is not None:
        from ostrel.distributed import run_on_cluster

        return run_on_cluster(
            plan, recipe, client, on_outcome=on_outcome, recipe_text=recipe_text, tiling=tiling or Tiling()
        )
    recorder = Recorder(plan, on_outcome)
    cancel = threading.Event()
    workers = max(1, jobs or default_jobs())
    convert = _Converter(recipe, recipe_text, cancel, workers, tiling)
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="ostrel-batch")
    futures = [executor.submit(convert, job) for job in plan.jobs]
    seen: set[concurrent.futures.Future[Outcome | None]] = set()

    def collect(future: concurrent.futures.Future[Outcome | None]) -> None:
        seen.add(future)
        result = future.result()
        if result is not None:
            recorder.record(result)

    try:
        for future in concurrent.futures.as_completed(futures):
            collect(future)
    except KeyboardInterrupt:
        cancel.set()
        executor.shutdown(wait=True, cancel_futures=True)
        for future in futures:
            if future not in seen and future.done() and not future.cancelled():
                collect(future)
        raise recorder.interrupted() from None
    finally:
        executor.shutdown(wait=True, cancel_futures=True)
    return recorder.finish()


def convert_files(
    inputs: Sequence[str | os.PathLike[str]],
    outdir: str | os.PathLike[str],
    recipe: Recipe | None = None,
    *,
    recursive: bool = False,
    skip_existing: bool = False,
    jobs: int | None = None,
    on_outcome: Callable[[Outcome], None] | None = None,
    tiling: Tiling | None = None,
    client: Any = None,
) -> BatchReport:
    """Converts photos (files, folders, glob patterns) into prints under `outdir`.

    Failures are outcomes in the report, never exceptions: check
    `report.failed`. Ctrl-C raises `BatchInterrupted` with the report so far.
    With `client` (a `distributed.Client`), the files are converted on its
    cluster, whose workers must see the same paths (a shared filesystem).
    """
    recipe = recipe or Recipe()
    plan = plan_batch(inputs, outdir, recipe.output, recursive=recursive, skip_existing=skip_existing)
    if plan.jobs:
        Path(outdir).mkdir(parents=True, exist_ok=True)
    return run_batch(plan, recipe, jobs=jobs, on_outcome=on_outcome, tiling=tiling, client=client)


def convert_file(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    recipe: Recipe | None = None,
) -> Path:
    """Converts one photo into the print `target` (a file path); raises on failure.

    The print's folder is created if missing; a `target` that is the photo
    itself (by any name) is refused, and so is a `target` whose extension is
    not the recipe's output format.
    """
    recipe = recipe or Recipe()
    job = Job(Path(source), Path(target))
    if same_file(job.target, job.source):
        raise PrintWriteError(job.target, "refused: the print would overwrite its own photo")
    check_suffix(job.target, recipe.output)
    _Converter(recipe, None, threading.Event())._convert(job, time.perf_counter())
    return job.target
