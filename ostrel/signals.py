"""Ctrl-C and SIGTERM for the command line: stop once, clean up, report.

The first SIGINT or SIGTERM raises `KeyboardInterrupt` in the main thread,
so a batch stops as after Ctrl-C: files in progress finish or stop at their
next step, temporaries are removed and the summary is printed. Later signals
are noted and otherwise ignored, so a second Ctrl-C (or a SIGTERM right
after one) cannot cut the clean-up short and lose the summary. The exit code
is 128 plus the first signal's number: 130 for SIGINT, 143 for SIGTERM.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType
from typing import Any


class StopSignals:
    """The stop signals received while `catching` was active, first one first."""

    def __init__(self) -> None:
        self.received: list[int] = []

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        self.received.append(signum)
        if len(self.received) == 1:
            raise KeyboardInterrupt

    def exit_code(self, default: int = 128 + signal.SIGINT) -> int:
        return 128 + self.received[0] if self.received else default

    @contextlib.contextmanager
    def catching(self) -> Iterator[StopSignals]:
        """Handles SIGINT and SIGTERM while active (only the main thread can; elsewhere a no-op)."""
        if threading.current_thread() is not threading.main_thread():
            yield self
            return
        previous: dict[int, Any] = {}
        for signum in (int(signal.SIGINT), int(signal.SIGTERM)):
            previous[signum] = signal.signal(signum, self._handle)
        try:
            yield self
        finally:
            # Once stopping, stay so: a second signal that comes late, while
            # the process reports or exits, must not kill it (exit -2).
            for signum, handler in previous.items():
                signal.signal(signum, signal.SIG_IGN if self.received else handler)
