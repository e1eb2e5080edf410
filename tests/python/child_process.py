"""Waiting for a forked child with a deadline, shared by the exit tests and the soak."""

import os
import signal
import time


def wait_for_child(pid: int, seconds: float) -> int | str:
    """The child's exit code (negative for a signal), or "hung" if it did not
    end within `seconds` (it is then killed)."""
    deadline = time.monotonic() + seconds
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.002)
