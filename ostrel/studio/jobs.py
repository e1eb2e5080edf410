"""Exports: prints of the studio's photos with its current recipe, through the batch code of `ostrel convert`.

An export is planned with `plan_batch` and run with `run_batch` in a thread of
its own, exactly as `ostrel convert PHOTOS -o OUTDIR --recipe R` would (the
same planning rules, so an input is never overwritten, and the same recipe
text stamped into each print): its files are byte-identical to convert's. Its
progress and, at the end, its summary can be polled or streamed.
"""

from __future__ import annotations

import itertools
import os
import threading
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Final, Literal

from ostrel.batch import run_batch
from ostrel.planning import Outcome, plan_batch
from ostrel.recipe import Recipe
from ostrel.studio import StudioError

State = Literal["running", "done", "failed"]
JOBS_KEPT: Final = 32


@dataclass
class ExportJob:
    """One export's progress: the outcomes so far and, when done, the batch's summary."""

    id: str
    outdir: Path
    total: int
    outcomes: list[Outcome] = field(default_factory=list)
    state: State = "running"
    summary: str = ""
    error: str = ""
    version: int = 0
    changed: threading.Condition = field(default_factory=threading.Condition)

    def describe(self) -> dict[str, object]:
        with self.changed:
            counts = {
                status: sum(1 for o in self.outcomes if o.status == status)
                for status in ("converted", "skipped", "failed")
            }
            return {
                "id": self.id,
                "state": self.state,
                "outdir": str(self.outdir),
                "total": self.total,
                "done": len(self.outcomes),
                **counts,
                "outcomes": [
                    {
                        "source": str(o.source),
                        "target": None if o.target is None else str(o.target),
                        "status": o.status,
                        "reason": o.reason,
                    }
                    for o in self.outcomes
                ],
                "summary": self.summary,
                "error": self.error,
                "version": self.version,
            }

    def finish(self, **changes: object) -> None:
        with self.changed:
            for name, value in changes.items():
                setattr(self, name, value)
            self.version += 1
            self.changed.notify_all()

    def add(self, outcome: Outcome) -> None:
        with self.changed:
            self.outcomes.append(outcome)
            self.version += 1
            self.changed.notify_all()

    def wait(self, version: int, timeout: float) -> int:
        """Waits until the job changes past `version` (or `timeout` seconds); returns its version."""
        with self.changed:
            self.changed.wait_for(lambda: self.version != version or self.state != "running", timeout)
            return self.version


def check_outdir(text: object) -> Path:
    """The folder the user typed for the prints; refuses nothing typed, or a file."""
    if not isinstance(text, str) or not text.strip():
        raise StudioError("type the folder for the prints (outdir)")
    outdir = Path(os.path.expanduser(text.strip()))
    if outdir.exists() and not outdir.is_dir():
        raise StudioError(f"the output {outdir} exists and is not a folder")
    return outdir.absolute()


class Exports:
    """The studio's export jobs, by id."""

    def __init__(self) -> None:
        self._jobs: dict[str, ExportJob] = {}
        self._ids = itertools.count(1)
        self._lock = threading.Lock()

    def get(self, job_id: str) -> ExportJob:
        with self._lock:
            job = self._jobs.get(job_id)
        if job is None:
            raise StudioError(f"no export with the id {job_id!r}", 404)
        return job

    def start(self, sources: Sequence[Path], outdir: Path, recipe: Recipe, *, jobs: int | None = None) -> ExportJob:
        """Plans the prints of `sources` in `outdir` and converts them in the background."""
        plan = plan_batch(sources, outdir, recipe.output)
        if plan.jobs:
            try:
                outdir.mkdir(parents=True, exist_ok=True)
            except OSError as error:
                raise StudioError(f"cannot create the output folder {outdir}: {error.strerror or error}") from None
        with self._lock:
            job = ExportJob(str(next(self._ids)), outdir, plan.total)
            self._jobs[job.id] = job
            for old in list(self._jobs)[:-JOBS_KEPT]:
                del self._jobs[old]

        def work() -> None:
            try:
                report = run_batch(plan, recipe, jobs=jobs, recipe_text=recipe.to_toml(), on_outcome=job.add)
            except Exception as error:  # noqa: BLE001 - reported in the page, the server goes on
                job.finish(state="failed", error=f"{type(error).__name__}: {error}")
                return
            job.finish(state="done", summary=report.summary())

        threading.Thread(target=work, name=f"ostrel-export-{job.id}", daemon=True).start()
        return job
