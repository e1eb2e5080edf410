"""Which prints a batch makes: inputs to jobs, and what must not run.

`plan_batch` turns the inputs (files, folders, glob patterns) into jobs, one
photo to one print under OUTDIR, and decides up front, without decoding a
photo: inputs that do not exist, cannot be listed or are not regular files,
prints that already exist and can be trusted (with `skip_existing`, see
`ostrel.existing`), a print whose path is an input of the same run, and two
photos that would give the same print. Files that carry ostrel's recipe
stamp are prints, not photos: they are left out (`Plan.prints`), so a folder
converted into itself can be converted again.
"""

from __future__ import annotations

import glob
import os
import stat
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Literal

from ostrel.clipping import Clipping
from ostrel.existing import print_problem
from ostrel.inputs import non_regular_kind
from ostrel.printed import is_ostrel_print
from ostrel.reading import IMAGE_EXTENSIONS
from ostrel.recipe import Output
from ostrel.walking import expand

Status = Literal["converted", "skipped", "failed"]


@dataclass(frozen=True)
class Job:
    """One photo and the print it becomes."""

    source: Path
    target: Path
    note: str = ""  # said with its outcome (a damaged print redone under skip_existing)


@dataclass(frozen=True)
class Outcome:
    """What became of one input: converted, skipped or failed (with the reason)."""

    source: Path
    target: Path | None
    status: Status
    reason: str = ""
    seconds: float = 0.0
    clipping: Clipping | None = None


@dataclass
class Plan:
    """The jobs to run, and the outcomes already decided without running anything."""

    jobs: list[Job] = field(default_factory=list)
    decided: list[Outcome] = field(default_factory=list)
    prints: list[Path] = field(default_factory=list)  # ostrel's own prints among the inputs, left out

    @property
    def total(self) -> int:
        return len(self.jobs) + len(self.decided)


# The extensions of the formats ostrel prints in; only those files can be prints.
_PRINT_SUFFIXES = frozenset([".tif", ".tiff", ".png", ".jpg", ".jpeg", ".jpe"])


def _is_hidden(name: str) -> bool:
    return name.startswith(".")


def _not_regular(path: Path) -> str | None:
    """Why `path` (a FIFO, a device, a socket) is no photo; None for a regular file or one gone."""
    try:
        mode = path.stat().st_mode
    except OSError:
        return None  # reading it reports why
    kind = None if stat.S_ISREG(mode) else non_regular_kind(mode)
    return f"not a regular file but {kind}" if kind else None


class _Scanner:
    """Lists the photos of the inputs, remembering what could not be listed."""

    def __init__(self, outdir: Path, recursive: bool) -> None:
        self.recursive = recursive
        self.skip_folder = os.path.realpath(outdir)
        self.found: list[tuple[Path, Path | None]] = []  # (photo, folder it was found under)
        self.failures: list[Outcome] = []

    def _file(self, path: Path, root: Path | None) -> None:
        reason = _not_regular(path)
        if reason:
            self.failures.append(Outcome(path, None, "skipped", reason))
        else:
            self.found.append((path, root))

    def add(self, item: str | os.PathLike[str]) -> None:
        text = os.fspath(item)
        path = Path(text)
        if path.is_dir():
            self._folder(path)
        elif path.exists():
            self._file(path, None)
        elif glob.has_magic(text):
            matches = expand(text, recursive=self.recursive)
            if not matches:
                self.failures.append(Outcome(path, None, "failed", "no photo matches this pattern"))
            for match in matches:
                if Path(match).is_dir():
                    self._folder(Path(match))
                elif Path(match).suffix.lower() in IMAGE_EXTENSIONS:
                    self._file(Path(match), None)
        elif path.is_symlink():
            self.failures.append(Outcome(path, None, "failed", "a broken symbolic link"))
        else:
            self.failures.append(Outcome(path, None, "failed", "no such file or folder"))

    def _folder(self, root: Path) -> None:
        def failed(error: OSError) -> None:
            where = Path(error.filename) if error.filename else root
            self.failures.append(Outcome(where, None, "failed", f"cannot read this folder: {error.strerror}"))

        for folder, subfolders, files in os.walk(root, onerror=failed):
            subfolders[:] = sorted(
                name
                for name in subfolders
                if not _is_hidden(name) and os.path.realpath(os.path.join(folder, name)) != self.skip_folder
            )
            for name in sorted(files):
                if not _is_hidden(name) and Path(name).suffix.lower() in IMAGE_EXTENSIONS:
                    self._file(Path(folder) / name, root)
            if not self.recursive:
                break


def identity(path: Path) -> tuple[int, int] | None:
    try:
        status = path.stat()
    except OSError:
        return None
    return (status.st_dev, status.st_ino)


def target_for(source: Path, root: Path | None, outdir: Path, output: Output) -> Path:
    """The print of `source`: its stem and the format's extension, under OUTDIR.

    A photo found in a folder keeps its place relative to that folder (only
    sub-folders of a recursive scan add anything).
    """
    relative = source.parent.relative_to(root) if root is not None else Path()
    return outdir / relative / (source.stem + output.extension)


def plan_batch(
    inputs: Iterable[str | os.PathLike[str]],
    outdir: str | os.PathLike[str],
    output: Output,
    *,
    recursive: bool = False,
    skip_existing: bool = False,
) -> Plan:
    """The jobs of a batch, and the inputs decided without running (see module docs)."""
    out = Path(outdir)
    scanner = _Scanner(out, recursive)
    for item in inputs:
        scanner.add(item)
    plan = Plan(decided=list(scanner.failures))

    sources: dict[str, tuple[Path, Path | None]] = {}
    for photo, root in scanner.found:
        real = os.path.realpath(photo)
        if real in sources or photo in plan.prints:
            continue
        if photo.suffix.lower() in _PRINT_SUFFIXES and is_ostrel_print(photo):
            plan.prints.append(photo)
        else:
            sources[real] = (photo, root)
    input_paths = set(sources)
    input_ids = {identity for identity in (identity(photo) for photo, _ in sources.values()) if identity}

    claimed: dict[str, Path] = {}
    for photo, root in sources.values():
        target = target_for(photo, root, out, output)
        resolved = os.path.realpath(target)
        key = os.path.normcase(resolved)
        if resolved in input_paths or identity(target) in input_ids:
            plan.decided.append(
                Outcome(
                    photo,
                    target,
                    "failed",
                    f"refused: the print {target} would overwrite "
                    "an input of this run; choose another output folder or format",
                )
            )
        elif key in claimed:
            hint = "" if recursive else "; use -r to mirror sub-folders, or"
            plan.decided.append(
                Outcome(
                    photo,
                    target,
                    "failed",
                    f"its print {target} would overwrite the print of "
                    f"{claimed[key]} from this run{hint} rename one of them",
                )
            )
        else:
            claimed[key] = photo
            problem = print_problem(target) if skip_existing and target.exists() else None
            if skip_existing and target.exists() and problem is None:
                plan.decided.append(Outcome(photo, target, "skipped", f"{target} exists"))
            else:
                note = f"redone: the existing print was not trusted ({problem})" if problem else ""
                plan.jobs.append(Job(photo, target, note))
    return plan
