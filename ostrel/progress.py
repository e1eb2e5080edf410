"""How a batch reports itself while it runs.

On a terminal: a progress bar on standard error (files done / total, images
per second, time left), with failures printed above it. Otherwise, or when
asked to be quiet: one line per file, converted and skipped files on standard
output and failures on standard error, so logs and pipes stay readable.
A print that clips clearly more of its pixels to pure white or black than
its photo did gets a warning line; verbose output gives every print's shares.
"""

from __future__ import annotations

from typing import IO, Any

from ostrel.planning import Outcome
from ostrel.reading import printable
from ostrel.terminal import safe_line


def describe(outcome: Outcome, *, verbose: bool = False) -> str:
    """The outcome's line, safe for a terminal (see `ostrel.terminal`)."""
    return safe_line(_describe(outcome, verbose))


def _describe(outcome: Outcome, verbose: bool) -> str:
    source = printable(outcome.source)
    if outcome.status == "converted":
        note = f"; {outcome.reason}" if outcome.reason else ""
        if verbose and outcome.clipping:
            note += f"; {outcome.clipping.describe()}"
        return f"converted {source} -> {printable(outcome.target or '')} ({outcome.seconds:.2f} s{note})"
    if outcome.status == "skipped":
        return f"skipped {source}: {outcome.reason}"
    return f"error: {source}: {outcome.reason}"


class Progress:
    """Receives outcomes as they come; `close` before printing anything else."""

    def __init__(self, total: int, *, bar: bool, out: IO[str], err: IO[str], verbose: bool = False) -> None:
        self.verbose = verbose
        self.out = out
        self.err = err
        self.bar: Any = None
        if bar:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="img", file=err, dynamic_ncols=True, smoothing=0.1)

    def __call__(self, outcome: Outcome) -> None:
        line = describe(outcome, verbose=self.verbose)
        warning = outcome.clipping.warning() if outcome.clipping else None
        if self.bar is not None:
            if outcome.status == "failed":
                self.bar.write(line, file=self.err)
            if warning:
                self.bar.write(f"warning: {printable(outcome.source)}: {warning}", file=self.err)
            self.bar.update(1)
        else:
            print(line, file=self.err if outcome.status == "failed" else self.out, flush=True)
            if warning:
                print(f"warning: {printable(outcome.source)}: {warning}", file=self.err, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
