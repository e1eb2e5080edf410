"""The recipe stamped into every print, and read back from one.

Each format keeps it where its own tools show text: a TIFF's ImageDescription,
a PNG text chunk under the keyword ``ostrel-recipe``, a JPEG comment (COM)
segment. The text is the whole effective recipe as TOML, headed by the line
``# ostrel recipe``, so ``ostrel recipe --from PRINT`` gives back a file that
makes the same print.
"""

from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import Any, Final

from ostrel import _deps
from ostrel.errors import PhotoReadError
from ostrel.reading import open_image
from ostrel.recipe import RECIPE_HEADER, Recipe

PNG_KEYWORD: Final = "ostrel-recipe"
_COM: Final = 0xFE
_SOS: Final = 0xDA
_MAX_COMMENT: Final = 65533  # a JPEG segment's length field counts itself


def stamp(image: Any, fmt: str, text: str) -> Any:
    """`image` (a libvips image) with the recipe text set for a TIFF or PNG save."""
    vips = _deps.pyvips()
    if fmt == "tiff":
        image.set_type(vips.GValue.gstr_type, "image-description", text)
    elif fmt == "png":
        image.set_type(vips.GValue.gstr_type, f"png-comment-0-{PNG_KEYWORD}", text)
    return image


def jpeg_with_comment(data: bytes, text: str) -> bytes:
    """A JPEG stream with a COM segment holding `text`, placed after its APPn segments."""
    payload = text.encode("utf-8")
    if len(payload) > _MAX_COMMENT:
        raise ValueError("recipe text too long for a JPEG comment")
    position = 2  # after SOI
    while position + 4 <= len(data) and data[position] == 0xFF and 0xE0 <= data[position + 1] <= 0xEF:
        position += 2 + struct.unpack(">H", data[position + 2 : position + 4])[0]
    segment = b"\xff\xfe" + struct.pack(">H", len(payload) + 2) + payload
    return data[:position] + segment + data[position:]


def jpeg_comments(path: Path) -> list[str]:
    comments: list[str] = []
    with open(path, "rb") as handle:
        if handle.read(2) != b"\xff\xd8":
            return comments
        while True:
            marker = handle.read(2)
            if len(marker) < 2 or marker[0] != 0xFF or marker[1] == _SOS:
                return comments
            if 0xD0 <= marker[1] <= 0xD9 or marker[1] == 0x01:
                continue  # markers without a length
            size_bytes = handle.read(2)
            if len(size_bytes) < 2:
                return comments
            size = struct.unpack(">H", size_bytes)[0] - 2
            if marker[1] == _COM:
                comments.append(handle.read(size).decode("utf-8", "replace"))
            else:
                handle.seek(size, os.SEEK_CUR)


def recipe_text(path: str | os.PathLike[str]) -> str:
    """The recipe text stamped into the print at `path`."""
    source = Path(path)
    vips = _deps.pyvips()
    try:
        image = open_image(source)
    except vips.Error as error:
        raise PhotoReadError(source, "not an image this tool reads") from error
    fields = image.get_fields()
    candidates: list[str] = []
    if "image-description" in fields:
        candidates.append(image.get("image-description"))
    candidates += [image.get(name) for name in fields if name.endswith(f"-{PNG_KEYWORD}")]
    if "vips-loader" in fields and image.get("vips-loader").startswith("jpeg"):
        candidates += jpeg_comments(source)
    for text in candidates:
        if text.lstrip().startswith(RECIPE_HEADER):
            return str(text)
    raise PhotoReadError(source, "holds no ostrel recipe (it was not printed by ostrel, or its metadata was removed)")


def read_recipe(path: str | os.PathLike[str]) -> Recipe:
    """The recipe that made the print at `path`."""
    return Recipe.from_toml(recipe_text(path), str(path))
