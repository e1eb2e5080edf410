"""The studio's HTTP interface, and the page that uses it (see the README's "Studio" section).

`create_app` builds the Starlette application over a `Session`: the page and
its assets (served from the package: there is no network), the settings'
declaration that the page draws its controls from, the photos, the current
recipe (as JSON or as TOML), previews, the loupe, the histogram and exports.
Every route sits behind `security.Guard`.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import AsyncIterator
from pathlib import Path
from typing import Any, Final

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import (
    FileResponse,
    JSONResponse,
    PlainTextResponse,
    RedirectResponse,
    Response,
    StreamingResponse,
)
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from ostrel import __version__
from ostrel.errors import RecipeError
from ostrel.presets import PRESETS
from ostrel.recipe import Recipe
from ostrel.settings import SETTINGS
from ostrel.studio import StudioError
from ostrel.studio.jobs import Exports, check_outdir
from ostrel.studio.previews import Previewer, SupersededError, headers, thumbnail
from ostrel.studio.security import Guard, allowed_hosts
from ostrel.studio.session import Session

STATIC: Final = Path(__file__).parent / "static"
MAX_BODY: Final = 1 << 20


def _error(status: int, message: str, **extra: object) -> JSONResponse:
    return JSONResponse({"error": message, **extra}, status_code=status)


def _recipe_error(error: RecipeError) -> JSONResponse:
    return _error(400, str(error), key=error.key, reason=error.reason)


async def _json_body(request: Request) -> Any:
    body = await request.body()
    if len(body) > MAX_BODY:
        raise StudioError("the request body is too large", 413)
    try:
        return json.loads(body)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise StudioError(f"the body is not JSON: {error}") from None


def _int(request: Request, name: str, default: int | None = None) -> int:
    text = request.query_params.get(name)
    if text is None:
        if default is None:
            raise StudioError(f"the query needs {name}")
        return default
    try:
        return int(text)
    except ValueError:
        raise StudioError(f"{name} must be a whole number, not {text!r}") from None


def _float(request: Request, name: str) -> float:
    text = request.query_params.get(name, "")
    try:
        return float(text)
    except ValueError:
        raise StudioError(f"{name} must be a number, not {text!r}") from None


def _photo(request: Request) -> str:
    photo = request.query_params.get("photo")
    if photo is None:
        raise StudioError("the query needs photo=ID")
    return photo


def _recipe_reply(session: Session, recipe: Recipe) -> JSONResponse:
    return JSONResponse({"recipe": recipe.to_dict(), "revision": session.revision, "describe": recipe.describe()})


def create_app(  # noqa: PLR0915 - one small handler per route, over the same session
    session: Session, token: str, port: int, *, extra_hosts: tuple[str, ...] = ()
) -> Any:
    """The studio's ASGI application for `session`, answering on `port` with `token`."""
    previewer = Previewer(session)
    exports = Exports()

    async def index(request: Request) -> Response:
        if "token" in request.query_params:  # the cookie is set: drop the token from the address bar
            return RedirectResponse("/", status_code=303)
        return FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-store"})

    async def settings(request: Request) -> JSONResponse:
        presets = [
            {"name": p.name, "description": p.description, "recipe": p.recipe.to_dict()} for p in PRESETS.values()
        ]
        return JSONResponse(
            {
                "version": __version__,
                "settings": [s.schema() for s in SETTINGS],
                "defaults": Recipe().to_dict(),
                "presets": presets,
            }
        )

    async def photos(request: Request) -> JSONResponse:
        return JSONResponse({"photos": await run_in_threadpool(session.photos)})

    async def get_recipe(request: Request) -> JSONResponse:
        return _recipe_reply(session, session.recipe)

    async def put_recipe(request: Request) -> JSONResponse:
        tree = await _json_body(request)
        try:
            recipe = session.set_recipe(tree)
        except RecipeError as error:
            return _recipe_error(error)
        return _recipe_reply(session, recipe)

    async def get_toml(request: Request) -> Response:
        return PlainTextResponse(
            session.recipe.to_toml("saved from the studio", full=True),
            media_type="application/toml",
            headers={"Content-Disposition": 'attachment; filename="recipe.toml"'},
        )

    async def put_toml(request: Request) -> JSONResponse:
        body = await request.body()
        try:
            recipe = session.load_toml(body.decode("utf-8"))
        except UnicodeDecodeError:
            return _error(400, "the recipe is not UTF-8 text")
        except RecipeError as error:
            return _recipe_error(error)
        return _recipe_reply(session, recipe)

    async def preview(request: Request) -> Response:
        photo = _photo(request)
        width = _int(request, "width", 1024)
        view = request.query_params.get("view", "print")
        fmt = request.query_params.get("format", "jpeg")
        client = request.query_params.get("client", "")
        try:
            rendered = await run_in_threadpool(previewer.preview, photo, width, view, fmt, client=client)
        except SupersededError:
            return Response(status_code=204, headers={"X-Ostrel-SupersededError": "1"})
        return Response(rendered.body, media_type=rendered.media_type, headers=headers(rendered))

    async def histogram(request: Request) -> JSONResponse:
        photo = _photo(request)
        width = _int(request, "width", 1024)
        try:
            rendered = await run_in_threadpool(previewer.preview, photo, width, "print", "jpeg")
        except SupersededError:
            return _error(409, "a newer render took its place; ask again")
        return JSONResponse(rendered.histogram)

    async def loupe(request: Request) -> Response:
        photo = _photo(request)
        x, y = _float(request, "x"), _float(request, "y")
        size = _int(request, "size", 256)
        client = request.query_params.get("client", "")
        try:
            rendered = await run_in_threadpool(previewer.loupe, photo, x, y, size, client=client)
        except SupersededError:
            return Response(status_code=204, headers={"X-Ostrel-SupersededError": "1"})
        return Response(rendered.body, media_type=rendered.media_type, headers=headers(rendered))

    async def thumb(request: Request) -> Response:
        entry = session.entry(request.path_params["photo"])
        body = await run_in_threadpool(thumbnail, entry.path)
        return Response(body, media_type="image/jpeg", headers={"Cache-Control": "private, max-age=3600"})

    async def export(request: Request) -> JSONResponse:
        body = await _json_body(request)
        if not isinstance(body, dict):
            raise StudioError('expected {"photos": [ID, ...], "outdir": "..."}')
        ids = body.get("photos")
        if not isinstance(ids, list) or not ids or not all(isinstance(i, str) for i in ids):
            raise StudioError("photos must be a list of photo ids")
        sources = [session.entry(photo_id).path for photo_id in ids]
        outdir = check_outdir(body.get("outdir"))
        job = await run_in_threadpool(exports.start, sources, outdir, session.recipe)
        return JSONResponse(job.describe(), status_code=202)

    async def job_status(request: Request) -> JSONResponse:
        return JSONResponse(exports.get(request.path_params["job"]).describe())

    async def job_events(request: Request) -> Response:
        job = exports.get(request.path_params["job"])

        async def events() -> AsyncIterator[str]:
            version = -1
            while True:
                version = await asyncio.to_thread(job.wait, version, 1.0)
                state = job.describe()
                yield f"data: {json.dumps(state)}\n\n"
                if state["state"] != "running":
                    return
                if await request.is_disconnected():
                    return

        return StreamingResponse(events(), media_type="text/event-stream", headers={"Cache-Control": "no-store"})

    async def studio_error(request: Request, error: Exception) -> Response:
        assert isinstance(error, StudioError)
        return _error(error.status, str(error))

    async def http_error(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        return _error(error.status_code, str(error.detail))

    routes = [
        Route("/", index),
        Route("/api/settings", settings),
        Route("/api/photos", photos),
        Route("/api/photos/{photo}/thumbnail", thumb),
        Route("/api/recipe", get_recipe, methods=["GET"]),
        Route("/api/recipe", put_recipe, methods=["PUT"]),
        Route("/api/recipe.toml", get_toml, methods=["GET"]),
        Route("/api/recipe.toml", put_toml, methods=["PUT"]),
        Route("/api/preview", preview),
        Route("/api/histogram", histogram),
        Route("/api/loupe", loupe),
        Route("/api/export", export, methods=["POST"]),
        Route("/api/jobs/{job}", job_status),
        Route("/api/jobs/{job}/events", job_events),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    app = Starlette(routes=routes, exception_handlers={StudioError: studio_error, HTTPException: http_error})
    return Guard(app, token, allowed_hosts(port, extra_hosts))
