"""Who may drive the studio: the token, the Host header and the Origin.

The server reads and writes the user's files, so every request must show:

- the token, a random secret made at start-up and given in the printed
  address (`?token=...`), then kept in an HttpOnly, SameSite=Strict cookie;
  a request without it, or with another, is refused with 403;
- a Host header naming the loopback address and the server's port, so that
  a page of another site whose name is rebound to 127.0.0.1 (DNS rebinding)
  is refused;
- an Origin, when the browser sends one, that is the studio's own, so that
  another page open in the same browser cannot post to it.
"""

from __future__ import annotations

import ipaddress
import json
import secrets
from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from http.cookies import SimpleCookie
from typing import Any, Final
from urllib.parse import parse_qs

from ostrel.studio import StudioError

COOKIE: Final = "ostrel_studio"
HEADER: Final = "x-ostrel-token"
LOOPBACK: Final = ("127.0.0.1", "::1")

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]


def new_token() -> str:
    return secrets.token_urlsafe(32)


def is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return host == "localhost"


def check_bind(host: str, *, allow_remote: bool = False) -> str | None:
    """Refuses to serve on a non-loopback `host` unless `allow_remote`; then returns a warning."""
    if host in LOOPBACK:
        return None
    if not allow_remote:
        raise StudioError(
            f"the studio serves on the loopback address only (127.0.0.1 or ::1), not {host}: "
            "anyone who can reach it could read and write your files; --allow-remote forces it"
        )
    return (
        f"serving on {host}, beyond this machine: anyone who can reach it and learns the token "
        "can read your photos and write prints"
    )


def allowed_hosts(port: int, extra: Iterable[str] = ()) -> frozenset[str]:
    """The Host headers the studio answers: the loopback names with the port (and any forced host)."""
    names = ["127.0.0.1", "localhost", "[::1]", *(f"[{h}]" if ":" in h else h for h in extra)]
    return frozenset(f"{name}:{port}" for name in names)


class Guard:
    """ASGI middleware enforcing the token, Host and Origin rules on every HTTP request."""

    def __init__(self, app: ASGIApp, token: str, hosts: frozenset[str]) -> None:
        self.app = app
        self.token = token
        self.hosts = hosts
        self.origins = frozenset(f"http://{host}" for host in hosts)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            if scope["type"] == "lifespan":
                await self.app(scope, receive, send)
            return
        headers = {name.decode("latin-1").lower(): value.decode("latin-1") for name, value in scope["headers"]}
        host = headers.get("host", "")
        if host not in self.hosts:
            await _refuse(send, 403, f"wrong Host header {host!r}: the studio answers {sorted(self.hosts)[0]} only")
            return
        origin = headers.get("origin")
        if origin is not None and origin not in self.origins:
            await _refuse(send, 403, f"requests from {origin} are refused: only the studio's own page may send them")
            return
        query = parse_qs(scope.get("query_string", b"").decode("latin-1"))
        given = query.get("token", [None])[0]
        cookie = SimpleCookie()
        try:
            cookie.load(headers.get("cookie", ""))
        except Exception:  # noqa: BLE001 - a malformed cookie header is simply no token
            cookie = SimpleCookie()
        shown = given or headers.get(HEADER) or (cookie[COOKIE].value if COOKIE in cookie else None)
        if shown is None or not secrets.compare_digest(shown.encode(), self.token.encode()):
            reason = "no token" if shown is None else "wrong token"
            await _refuse(send, 403, f"{reason}: open the address the studio printed (with ?token=...)")
            return
        if given is None:
            await self.app(scope, receive, send)
            return

        async def with_cookie(message: MutableMapping[str, Any]) -> None:
            if message["type"] == "http.response.start":
                value = f"{COOKIE}={self.token}; HttpOnly; SameSite=Strict; Path=/"
                message["headers"] = [*message.get("headers", []), (b"set-cookie", value.encode("latin-1"))]
            await send(message)

        await self.app(scope, receive, with_cookie)


async def _refuse(send: Send, status: int, reason: str) -> None:
    body = json.dumps({"error": reason}).encode()
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())],
        }
    )
    await send({"type": "http.response.body", "body": body})
