"""Glob patterns with ``**`` that walk every folder once, symbolic links included.

`glob.glob(..., recursive=True)` follows links to folders while expanding
``**``, so a link back up the tree (``loop/a/b/up -> ..``) is walked again
and again, down to the longest path the system allows. Here the tree under
the pattern's fixed part is walked once: links to folders are followed, but a
folder already seen (by device and inode) is not entered again. Names that
begin with a dot match only a pattern part that does too, as with `glob`.
"""

from __future__ import annotations

import fnmatch
import glob
import os
from collections.abc import Iterator, Sequence


def _matches(parts: Sequence[str], names: Sequence[str]) -> bool:
    if not parts:
        return not names
    head, rest = parts[0], parts[1:]
    if head == "**":
        return any(
            _matches(rest, names[skip:])
            for skip in range(len(names) + 1)
            if not any(name.startswith(".") for name in names[:skip])
        )
    if not names:
        return False
    name = names[0]
    if name.startswith(".") and not head.startswith("."):
        return False
    return fnmatch.fnmatchcase(name, head) and _matches(rest, names[1:])


def _walk_once(base: str) -> Iterator[tuple[str, list[str]]]:
    """(folder, names in it) for every folder under `base`, each folder once."""
    seen: set[tuple[int, int]] = set()
    for folder, subfolders, files in os.walk(base or os.curdir, followlinks=True):
        try:
            status = os.stat(folder)
        except OSError:
            subfolders[:] = []
            continue
        if (status.st_dev, status.st_ino) in seen:
            subfolders[:] = []
            continue
        seen.add((status.st_dev, status.st_ino))
        subfolders.sort()
        yield folder, sorted(subfolders + files)


def expand(pattern: str, *, recursive: bool) -> list[str]:
    """The paths matching `pattern`, sorted; ``**`` spans folders only when `recursive`."""
    if not recursive or "**" not in pattern:
        return sorted(glob.glob(pattern, recursive=False))
    parts = pattern.split(os.sep)
    fixed = 0
    while fixed < len(parts) - 1 and not glob.has_magic(parts[fixed]):
        fixed += 1
    base = os.sep.join(parts[:fixed]) if fixed else ""
    if parts[0] == "" and fixed:  # an absolute pattern
        base = base or os.sep
    wanted = [part for part in parts[fixed:] if part]
    found: list[str] = []
    start = base or os.curdir
    for folder, names in _walk_once(start):
        relative = os.path.relpath(folder, start)
        prefix = [] if relative == os.curdir else relative.split(os.sep)
        for name in names:
            if _matches(wanted, [*prefix, name]):
                found.append(os.path.join(base, *prefix, name) if base else os.path.join(*prefix, name))
    return sorted(found)
