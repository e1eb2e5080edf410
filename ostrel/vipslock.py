"""One failing libvips call at a time, so each error message is its own.

libvips keeps one error buffer per process, shared by every thread: when two
decodes fail at once, one file's message ends with the other's, and the
buffer is cleared by whichever exception reads it first. Calls that may fail
run under `shared()`; to learn why a call failed, it is run again under
`alone()`, which waits until no other call is in flight, clears the buffer
first and lets nothing else start until it is done. Failures are rare, so the
pause costs little; successful calls never wait for each other.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Iterator

from ostrel import _deps


class SharedExclusive:
    """A lock many may hold together (`shared`) or one alone (`exclusive`); the one waiting alone goes first."""

    def __init__(self) -> None:
        self._condition = threading.Condition()
        self._holders = 0
        self._waiting_alone = 0
        self._alone = False
        self._owner: int | None = None
        self._depth = threading.local()

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        depth = getattr(self._depth, "value", 0)
        if depth or self._owner == threading.get_ident():  # nested in this thread's own hold: go on
            self._depth.value = depth + 1
            try:
                yield
            finally:
                self._depth.value = depth
            return
        with self._condition:
            self._condition.wait_for(lambda: not self._alone and not self._waiting_alone)
            self._holders += 1
        self._depth.value = 1
        try:
            yield
        finally:
            self._depth.value = 0
            with self._condition:
                self._holders -= 1
                self._condition.notify_all()

    @contextlib.contextmanager
    def exclusive(self) -> Iterator[None]:
        with self._condition:
            self._waiting_alone += 1
            try:
                self._condition.wait_for(lambda: not self._alone and not self._holders)
            finally:
                self._waiting_alone -= 1
            self._alone = True
            self._owner = threading.get_ident()
        try:
            yield
        finally:
            with self._condition:
                self._alone = False
                self._owner = None
                self._condition.notify_all()


_LOCK = SharedExclusive()


def shared() -> contextlib.AbstractContextManager[None]:
    """Around a libvips call that may fail; many run at once."""
    return _LOCK.shared()


@contextlib.contextmanager
def alone() -> Iterator[None]:
    """Around the run that finds out why a libvips call failed: nothing else in flight, the buffer empty."""
    with _LOCK.exclusive():
        _clear_error_buffer()
        yield


def _clear_error_buffer() -> None:
    vips = _deps.pyvips()
    with contextlib.suppress(AttributeError):
        vips.vips_lib.vips_error_clear()
