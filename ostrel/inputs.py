"""What an input file is before anything decodes it, and why a RAW file failed.

A FIFO, a socket or a device named like a photo would block a read, or never
end; these are refused with what they are. Opening uses ``O_NONBLOCK``, so
even a FIFO that appears between planning and reading is told apart rather
than waited on.
"""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path
from typing import IO, Final

_KINDS: Final = (
    (stat.S_ISFIFO, "a FIFO (named pipe)"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


def non_regular_kind(mode: int) -> str | None:
    """What a file of this `st_mode` is when it is neither a regular file nor a folder."""
    for test, kind in _KINDS:
        if test(mode):
            return kind
    return None


def open_regular(path: str | os.PathLike[str]) -> IO[bytes]:
    """The file opened for reading; ValueError naming what it is when it is not a regular file."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(descriptor).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, "is a folder", os.fspath(path))
        if not stat.S_ISREG(mode):
            raise ValueError(f"not a regular file but {non_regular_kind(mode) or 'a special file'}")
        os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


_SIGNATURES: Final = (
    (b"\xff\xd8\xff", "a JPEG"),
    (b"\x89PNG", "a PNG"),
    (b"RIFF", "a RIFF (WebP) file"),
    (b"II*\x00", "a TIFF"),
    (b"MM\x00*", "a TIFF"),
)


def _looks_like(head: bytes) -> str:
    if not head:
        return "an empty file"
    if head[4:8] == b"ftyp":
        return "an ISO media (HEIF) file"
    for signature, name in _SIGNATURES:
        if head.startswith(signature):
            return name
    return "no image format this tool knows"


def raw_failure(path: Path, head: bytes, error: BaseException) -> str:
    """The reason LibRaw could not develop `path`, in words (LibRaw's own are bytes like b'Input/output error')."""
    if path.suffix.lower() == ".dng" and not head.startswith((b"II*\x00", b"MM\x00*")):
        return f"not a DNG file: a DNG is a TIFF, and this is {_looks_like(head)}"
    name = type(error).__name__
    if name == "LibRawFileUnsupportedError":
        return f"not a camera RAW file LibRaw can read (the file is {_looks_like(head)})"
    if name in ("LibRawIOError", "LibRawDataError", "LibRawRequestForNonexistentImageError"):
        return "the camera RAW file is truncated or damaged (LibRaw could not read its image data)"
    detail = error.args[0] if error.args else error
    text = detail.decode("utf-8", "replace") if isinstance(detail, bytes) else str(detail)
    return f"cannot develop this camera RAW file: {text}"
