"""Telling ostrel's own prints from photos: the recipe stamp in a file's header.

A print carries the recipe that made it (see `ostrel.stamp`). A batch leaves
such files out of its inputs, so converting a folder into itself works again
and again: the prints of the last run are outputs, never photos. Only the
header is read (a TIFF's first directory, a PNG's chunks before its pixels, a
JPEG's segments before its scan), without libvips.
"""

from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import BinaryIO, Final

from ostrel.recipe import RECIPE_HEADER
from ostrel.stamp import PNG_KEYWORD, jpeg_comments

_TIFF_DESCRIPTION: Final = 270
_PNG_SIGNATURE: Final = b"\x89PNG\r\n\x1a\n"
_PNG_TEXT: Final = (b"tEXt", b"iTXt", b"zTXt")
_MAX_TAGS: Final = 4096
_HEAD: Final = len(RECIPE_HEADER) + 64  # bytes of a text enough to see its first line


def is_stamped(text: bytes) -> bool:
    return text.lstrip().startswith(RECIPE_HEADER.encode())


def is_ostrel_print(path: str | os.PathLike[str]) -> bool:
    """Whether the file carries ostrel's recipe stamp; False when it cannot be read."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(16)
            if head[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
                return _tiff(handle, head)
            if head[:8] == _PNG_SIGNATURE:
                return _png(handle)
        if head[:2] == b"\xff\xd8":
            return any(is_stamped(text.encode()) for text in jpeg_comments(Path(path)))
    except (OSError, struct.error, ValueError):
        return False
    return False


def _tiff(handle: BinaryIO, head: bytes) -> bool:
    order = "<" if head[:2] == b"II" else ">"
    big = head[2:4] in (b"+\0", b"\0+")
    handle.seek(8 if big else 4)
    offset = struct.unpack(order + ("Q" if big else "I"), handle.read(8 if big else 4))[0]
    handle.seek(offset)
    count = struct.unpack(order + ("Q" if big else "H"), handle.read(8 if big else 2))[0]
    entry = struct.Struct(order + ("HHQQ" if big else "HHII"))
    for _ in range(min(count, _MAX_TAGS)):
        tag, _kind, length, value = entry.unpack(handle.read(entry.size))
        if tag == _TIFF_DESCRIPTION:
            inline = length <= (8 if big else 4)
            if inline:
                raw = struct.pack(order + ("Q" if big else "I"), value)[:length]
            else:
                handle.seek(value)
                raw = handle.read(min(length, _HEAD))
            return is_stamped(raw)
    return False


def _png(handle: BinaryIO) -> bool:
    handle.seek(len(_PNG_SIGNATURE))
    while True:
        header = handle.read(8)
        if len(header) < 8:
            return False
        length, kind = struct.unpack(">I4s", header)
        if kind in (b"IDAT", b"IEND"):
            return False
        if kind in _PNG_TEXT:
            keyword = handle.read(min(length, 80)).split(b"\0", 1)[0]
            if keyword.decode("latin-1") == PNG_KEYWORD:
                return True
            handle.seek(length - min(length, 80) + 4, os.SEEK_CUR)
        else:
            handle.seek(length + 4, os.SEEK_CUR)
