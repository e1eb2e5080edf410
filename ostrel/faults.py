"""A file's failure in one line, and the checks made before a tiled print starts.

A full disc reaches us in many forms: ENOSPC from Python, a libvips error of
several lines ending in ``No space left on device``, or tifffile's short
write (``262144 requested and 257536 written``). All are said the same way,
once: "no space left on the device".
"""

from __future__ import annotations

import dataclasses
import errno
import re
from pathlib import Path
from typing import Final

from ostrel.errors import OstrelError, PhotoReadError, PrintWriteError
from ostrel.limits import disc_cache_reason, print_space_reason
from ostrel.planning import Outcome
from ostrel.reading import image_size
from ostrel.recipe import Output

NO_SPACE: Final = "no space left on the device"
_NO_SPACE_TEXT: Final = re.compile(r"no space left on device|disk full|requested and \d+ written", re.IGNORECASE)
_SEEKABLE: Final = frozenset({".tif", ".tiff"})


def is_disc_full(error: BaseException) -> bool:
    if isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT):
        return True
    return bool(_NO_SPACE_TEXT.search(str(error)))


def failure_reason(error: Exception) -> str:
    """The reason an outcome gives for `error`, in one line."""
    if is_disc_full(error):
        return NO_SPACE
    if isinstance(error, OstrelError):
        reason = getattr(error, "reason", None) or str(error)
    elif isinstance(error, MemoryError):
        reason = "not enough memory for this image"
    else:
        reason = f"unexpected {type(error).__name__}: {error}"
    return "; ".join(line.strip() for line in str(reason).splitlines() if line.strip())


def outcome_note(outcome: Outcome | None, note: str) -> Outcome | None:
    """The outcome with the job's note said first (a redone print says why it was redone)."""
    if outcome is None or not note:
        return outcome
    reason = f"{note}; {outcome.reason}" if outcome.reason else note
    return dataclasses.replace(outcome, reason=reason)


def refuse_tiled(source: Path, target: Path, output: Output) -> None:
    """Raises when a tiled print of `source` cannot fit: libvips's disc cache, or the print's own disc."""
    size = image_size(source)
    if size is None:
        return
    pixels = size[0] * size[1]
    if source.suffix.lower() not in _SEEKABLE:
        reason = disc_cache_reason(pixels * 3 * 2)  # decoded RGB, up to 16 bits a sample
        if reason:
            raise PhotoReadError(source, reason)
    print_bytes = pixels * output.bits // 8
    if output.compression != "none":
        print_bytes //= 3
    folder = next((p for p in (target.parent, *target.parent.parents) if p.exists()), Path("."))
    reason = print_space_reason(folder, print_bytes)
    if reason:
        raise PrintWriteError(target, reason)
