"""The exceptions of the ostrel package.

Every error a library function raises on purpose derives from `OstrelError`,
so a caller can catch them all at once; each also derives from the built-in
class that matches its nature (`ValueError` for a bad setting, `OSError` for a
file that cannot be read or written).
"""

from __future__ import annotations


class OstrelError(Exception):
    """Base class of the errors raised by ostrel."""


class RecipeError(OstrelError, ValueError):
    """A recipe setting is unknown, of the wrong type or out of range.

    `key` is the setting's dotted name (for example ``zones.11`` or
    ``local_contrast.radius``), `value` the offending value and `source`
    where it came from (a file name, a flag, a preset), when known.
    """

    def __init__(self, key: str, value: object, reason: str, source: str | None = None) -> None:
        self.key = key
        self.value = value
        self.reason = reason
        self.source = source
        super().__init__(self._message())

    def _message(self) -> str:
        where = f"{self.source}: " if self.source else ""
        return f"{where}{self.key} = {self.value!r}: {self.reason}"

    def with_source(self, source: str) -> RecipeError:
        """The same error, attributed to `source` (kept if already set)."""
        return RecipeError(self.key, self.value, self.reason, self.source or source)


class _FileError(OstrelError, OSError):
    """A file-level failure: `path` names the file and `reason` says why."""

    def __init__(self, path: object, reason: str) -> None:
        self.path = path
        self.reason = reason
        super().__init__(f"{path}: {reason}")

    def __str__(self) -> str:
        return f"{self.path}: {self.reason}"


class PhotoReadError(_FileError):
    """A photo file could not be decoded."""


class PrintWriteError(_FileError):
    """A print could not be written; `path` names the intended output."""


class MissingDependencyError(OstrelError, ImportError):
    """An optional dependency needed for this job is not installed."""

    def __init__(self, package: str, extra: str, purpose: str) -> None:
        self.package = package
        self.extra = extra
        super().__init__(f"{purpose} needs {package}: pip install 'ostrel_core[{extra}]'")
