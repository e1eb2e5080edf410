"""The studio: a local web page to tune a print and see it at once, then print the folder.

`ostrel studio PHOTOS...` serves the page on the loopback interface (see
`ostrel.studio.server`). The pieces, one job each: `session` (the photos,
their decoded proxies and the current recipe), `previews` (render and encode,
with rapid requests coalesced), `jobs` (exports through the batch code of
`ostrel convert`), `security` (the token, Host and Origin rules) and `app`
(the HTTP interface). The page itself is plain HTML, CSS and JavaScript in
`static/`, drawn from the declaration of settings in `ostrel.settings`.

Needs the `studio` extra (Starlette and uvicorn).
"""

from __future__ import annotations

from ostrel.errors import OstrelError

__all__ = ["StudioError"]


class StudioError(OstrelError):
    """A studio request that cannot be served: `status` is its HTTP status, the message its reason."""

    def __init__(self, message: str, status: int = 400) -> None:
        super().__init__(message)
        self.status = status
