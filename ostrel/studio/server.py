"""Serving the studio: a socket on the loopback address, uvicorn on it, and the page's address.

`Studio.bind` opens the socket first (port 0 picks a free one), so the
address with the token is known, and the Host rule set, before any request
can come.
"""

from __future__ import annotations

import socket
import threading
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import IO, Any

from ostrel.studio import StudioError
from ostrel.studio.app import create_app
from ostrel.studio.security import check_bind, new_token
from ostrel.studio.session import Session, find_photos


@dataclass
class Studio:
    """A bound, not yet running studio: its socket, address and application."""

    session: Session
    sock: socket.socket
    host: str
    port: int
    token: str
    app: Any
    missing: list[str] = field(default_factory=list)
    warning: str | None = None

    @property
    def url(self) -> str:
        name = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{name}:{self.port}/?token={self.token}"

    @classmethod
    def bind(
        cls, inputs: Sequence[str], *, host: str = "127.0.0.1", port: int = 0, allow_remote: bool = False
    ) -> Studio:
        """Finds the photos and binds the socket; raises StudioError for a host it must not serve on."""
        warning = check_bind(host, allow_remote=allow_remote)
        paths, missing = find_photos(inputs)
        session = Session(paths)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((host, port))
        except OSError as error:
            sock.close()
            raise StudioError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
        sock.listen(64)
        bound = int(sock.getsockname()[1])
        token = new_token()
        extra = () if warning is None else (host,)
        app = create_app(session, token, bound, extra_hosts=extra)
        return cls(session, sock, host, bound, token, app, missing, warning)

    def server(self) -> Any:
        """The uvicorn server over the socket (call `.run(sockets=[studio.sock])`)."""
        import uvicorn

        config = uvicorn.Config(
            self.app, log_level="warning", access_log=False, lifespan="off", timeout_graceful_shutdown=2
        )
        return uvicorn.Server(config)

    def serve(self) -> None:
        """Runs until interrupted (Ctrl-C)."""
        self.server().run(sockets=[self.sock])


def run_studio(
    inputs: Sequence[str],
    *,
    host: str,
    port: int,
    allow_remote: bool,
    open_browser: bool,
    out: IO[str],
    err: IO[str],
) -> int:
    """`ostrel studio`: prints the page's address (one line on `out`), opens it, serves until Ctrl-C."""
    studio = Studio.bind(inputs, host=host, port=port, allow_remote=allow_remote)
    if studio.warning:
        print(f"warning: {studio.warning}", file=err)
    for line in studio.missing:
        print(f"warning: {line}", file=err)
    if not studio.session.entries:
        print("warning: no photos found in the inputs; the page will be empty", file=err)
    print(studio.url, file=out, flush=True)
    if open_browser:
        import webbrowser

        threading.Thread(target=webbrowser.open, args=(studio.url,), daemon=True).start()
    try:
        studio.serve()
    finally:
        studio.sock.close()
    return 0
