"""Temporary prints: named for their owner, locked while written, removed only when dead.

A print is written under a hidden name beside it and renamed into place
(see `ostrel.writing`). The name carries the writing process's host and pid,
``.NAME.HOST-PID-TOKEN.ostrel-tmp``, and the writer holds an exclusive
`flock` on the file until it is renamed or removed. A run that finds another
run's temporary (two runs into one OUTDIR, or one killed outright) removes it
only when it is provably dead:

- nobody holds its lock, and
- its owner was a process of this host that no longer exists, or the file
  has not changed for `STALE_SECONDS` (a process of another host, whose pid
  says nothing here, or a pid reused since).

A live run's temporary is never touched, whatever its age.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import glob
import os
import re
import secrets
import socket
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Final

TEMPORARY_SUFFIX: Final = ".ostrel-tmp"
STALE_SECONDS: Final = 3600.0
_OWNER: Final = re.compile(r"\.(?P<host>[A-Za-z0-9_-]*)-(?P<pid>\d+)-[0-9a-f]+" + re.escape(TEMPORARY_SUFFIX) + "$")


def _host() -> str:
    return re.sub(r"[^A-Za-z0-9_]", "_", socket.gethostname())[:32]


def _shown(name: str) -> str:
    return os.fsencode(name).decode("utf-8", "backslashreplace")


def temporary_name(destination: Path) -> Path:
    """A fresh hidden name beside `destination`, recognisable as ours and naming its owner."""
    owner = f"{_host()}-{os.getpid()}-{secrets.token_hex(4)}"
    return destination.with_name(f".{_shown(destination.name)}.{owner}{TEMPORARY_SUFFIX}")


@contextlib.contextmanager
def owned_temporary(destination: Path) -> Iterator[Path]:
    """Creates the temporary of `destination` (O_EXCL) and holds its lock while the block runs.

    The file is removed when the block raises; on success the caller has
    renamed it, and the lock goes with the closed descriptor.
    """
    temporary = temporary_name(destination)
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with contextlib.suppress(OSError):  # a filesystem without locks still has the pid and the age
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        try:
            yield temporary
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
    finally:
        os.close(descriptor)


def _pid_gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def is_dead(path: Path, now: float | None = None) -> bool:
    """Whether the temporary at `path` belongs to no live writer (see the module's rules)."""
    match = _OWNER.search(path.name)
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return False
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                return False  # a writer holds it
        age = (now or time.time()) - os.fstat(descriptor).st_mtime
    finally:
        os.close(descriptor)
    if age > STALE_SECONDS:
        return True
    if match and match["host"] == _host() and int(match["pid"]) != os.getpid():
        return _pid_gone(int(match["pid"]))
    return False


def remove_dead(target: Path) -> int:
    """Removes the dead temporaries of the print `target`; returns how many."""
    removed = 0
    for stale in target.parent.glob(f".{glob.escape(_shown(target.name))}.*{TEMPORARY_SUFFIX}"):
        if is_dead(stale):
            with contextlib.suppress(OSError):
                stale.unlink()
                removed += 1
    return removed
