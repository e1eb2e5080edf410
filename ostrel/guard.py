"""No command writes over one of its inputs, by any name.

An output is the input when both names reach the same file: the same path
once symbolic links are resolved, or the same device and inode (a hard link,
a bind mount). Checked before any work, so nothing is decoded in vain.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path

from ostrel.errors import PrintWriteError


def same_file(first: str | os.PathLike[str], second: str | os.PathLike[str]) -> bool:
    """Whether the two names reach one file (or would: a link to a path that does not exist yet)."""
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        a, b = os.stat(first), os.stat(second)
    except OSError:
        return False
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def refuse_inputs(output: str | os.PathLike[str], inputs: Iterable[str | os.PathLike[str]]) -> None:
    """Raises `PrintWriteError` when `output` is one of `inputs`."""
    for source in inputs:
        if same_file(output, source):
            how = "" if os.fspath(output) == os.fspath(source) else f" ({source}, reached through a link)"
            raise PrintWriteError(Path(output), f"refused: this is the input photo{how}; choose another output name")
