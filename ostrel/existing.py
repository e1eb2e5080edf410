"""Whether a print already in OUTDIR can be trusted, for ``--skip-existing``.

A print is left alone only when it opens, carries an ostrel recipe stamp and
decodes to its last pixel: a zero-byte file, one cut short by a crash of some
other program, or a file of the same name that ostrel did not make is
converted again, and the outcome says why.
"""

from __future__ import annotations

from pathlib import Path

from ostrel import _deps
from ostrel.errors import PhotoReadError
from ostrel.reading import open_image


def print_problem(path: Path) -> str | None:
    """Why the existing print at `path` cannot be trusted, or None when it can."""
    from ostrel.stamp import recipe_text

    try:
        if path.stat().st_size == 0:
            return "it is empty"
        recipe_text(path)
    except PhotoReadError as error:
        return error.reason
    except OSError as error:
        return f"it cannot be read ({error.strerror or error})"
    vips = _deps.pyvips()
    try:
        seekable = path.suffix.lower() in (".tif", ".tiff")
        image = open_image(path, access="random" if seekable else "sequential", fail_on="truncated")
        image.crop(0, image.height - 1, image.width, 1).avg()
    except vips.Error:
        return "it is truncated or damaged"
    return None
