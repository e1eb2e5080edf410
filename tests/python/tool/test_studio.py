# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return, index, func-returns-value"
"""The studio's HTTP interface: the token, Host and Origin rules, the recipe, previews, exports, bad photos."""

from __future__ import annotations

import io
import json
import re
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

from conftest import read_samples, save, scene, srgb_decode, srgb_encode, vips_image
from ostrel.cli import main
from ostrel.errors import RecipeError
from ostrel.recipe import Recipe

pytest.importorskip("starlette")
pytest.importorskip("httpx")
pyvips = pytest.importorskip("pyvips")

with warnings.catch_warnings():  # newer Starlette asks for another HTTP client than httpx
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from ostrel.studio import StudioError  # noqa: E402
from ostrel.studio.previews import Coalescer, SupersededError  # noqa: E402
from ostrel.studio.security import check_bind  # noqa: E402
from ostrel.studio.server import Studio  # noqa: E402


@pytest.fixture
def folder(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    save(vips_image(scene(90, 120, seed=1)), photos / "a.png")
    save(vips_image(scene(60, 48, seed=2)), photos / "b.jpg", Q=95)
    whole = save(vips_image(scene(64, 64, seed=3)), tmp_path / "whole.jpg")
    (photos / "damaged.jpg").write_bytes(whole.read_bytes()[:400])
    return photos


@pytest.fixture
def studio(folder):
    studio = Studio.bind([str(folder)])
    yield studio
    studio.sock.close()


def client_for(studio, *, token=True):
    client = TestClient(studio.app, base_url=f"http://127.0.0.1:{studio.port}")
    if token:
        assert client.get(f"/?token={studio.token}", follow_redirects=False).status_code == 303
    return client


@pytest.fixture
def client(studio):
    return client_for(studio)


def ids(client):
    return {p["name"]: p["id"] for p in client.get("/api/photos").json()["photos"]}


def decode(body: bytes) -> np.ndarray:
    return pyvips.Image.new_from_buffer(body, "").numpy()


# -- who may drive it -----------------------------------------------------------


def test_the_token_comes_in_the_address_then_lives_in_a_strict_httponly_cookie(studio):
    client = client_for(studio, token=False)
    assert client.get("/api/photos").status_code == 403
    first = client.get(f"/?token={studio.token}", follow_redirects=False)
    assert first.status_code == 303 and first.headers["location"] == "/"
    cookie = first.headers["set-cookie"]
    assert f"ostrel_studio={studio.token}" in cookie and "HttpOnly" in cookie and "SameSite=Strict" in cookie
    assert client.get("/api/photos").status_code == 200
    page = client.get("/")
    assert page.status_code == 200 and '<script src="/static/studio.js"' in page.text
    assert client.get("/static/studio.js").status_code == 200


@pytest.mark.parametrize(
    "how",
    ["none", "wrong query", "wrong cookie", "wrong header", "prefix of the token"],
)
def test_requests_without_the_right_token_are_refused(studio, how):
    client = client_for(studio, token=False)
    wrong = "x" + studio.token[1:]
    if how == "wrong query":
        response = client.get(f"/api/photos?token={wrong}")
    elif how == "wrong cookie":
        client.cookies.set("ostrel_studio", wrong)
        response = client.get("/api/photos")
    elif how == "wrong header":
        response = client.get("/api/photos", headers={"X-Ostrel-Token": wrong})
    elif how == "prefix of the token":
        response = client.get(f"/api/photos?token={studio.token[:-1]}")
    else:
        response = client.put("/api/recipe", json={})
    assert response.status_code == 403
    assert "token" in response.json()["error"]
    assert client.get("/api/photos", headers={"X-Ostrel-Token": studio.token}).status_code == 200


@pytest.mark.parametrize(
    ("host", "allowed"),
    [
        ("127.0.0.1:{port}", True),
        ("localhost:{port}", True),
        ("[::1]:{port}", True),
        ("evil.example:{port}", False),  # a rebound name
        ("127.0.0.1:1", False),
        ("127.0.0.1", False),
        ("", False),
    ],
)
def test_the_host_header_must_name_loopback_and_the_port(client, studio, host, allowed):
    response = client.get("/api/photos", headers={"Host": host.format(port=studio.port)})
    assert (response.status_code == 200) is allowed
    if not allowed:
        assert response.status_code == 403 and "Host" in response.json()["error"]


@pytest.mark.parametrize(
    ("origin", "allowed"),
    [
        ("http://127.0.0.1:{port}", True),
        ("http://localhost:{port}", True),
        ("http://evil.example", False),
        ("http://127.0.0.1:{other}", False),
        ("null", False),
    ],
)
def test_requests_from_another_origin_are_refused(client, studio, origin, allowed):
    headers = {"Origin": origin.format(port=studio.port, other=studio.port + 1)}
    response = client.put("/api/recipe", json=Recipe().to_dict(), headers=headers)
    assert (response.status_code == 200) is allowed


@pytest.mark.parametrize(
    ("host", "refused"), [("127.0.0.1", False), ("::1", False), ("0.0.0.0", True), ("192.168.1.4", True)]
)
def test_only_loopback_is_served_unless_forced(host, refused):
    if refused:
        with pytest.raises(StudioError, match="loopback"):
            check_bind(host)
        assert "beyond this machine" in check_bind(host, allow_remote=True)
    else:
        assert check_bind(host) is None


def test_the_command_refuses_a_remote_host(folder):
    out, err = io.StringIO(), io.StringIO()
    assert main(["studio", str(folder), "--host", "0.0.0.0", "--no-browser"], out=out, err=err) == 2
    assert "loopback" in err.getvalue() and out.getvalue() == ""


def test_the_command_prints_one_address_and_serves_it(folder):
    import httpx

    process = subprocess.Popen(
        [sys.executable, "-m", "ostrel", "studio", str(folder), "--no-browser"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = process.stdout.readline().strip()
        match = re.fullmatch(r"http://127\.0\.0\.1:(\d+)/\?token=([A-Za-z0-9_-]{40,})", line)
        assert match, line
        photos = httpx.get(f"http://127.0.0.1:{match[1]}/api/photos", headers={"X-Ostrel-Token": match[2]}).json()
        assert [p["name"] for p in photos["photos"]] == ["a.png", "b.jpg", "damaged.jpg"]
    finally:
        process.terminate()
        process.wait(timeout=10)
        process.stdout.close()
        process.stderr.close()


# -- the photos and the recipe --------------------------------------------------------


def test_photos_are_listed_with_ids_names_and_sizes(client, folder):
    photos = client.get("/api/photos").json()["photos"]
    sizes = {p["name"]: (p["width"], p["height"], p["bytes"]) for p in photos}
    assert sizes["a.png"] == (120, 90, (folder / "a.png").stat().st_size)
    assert sizes["b.jpg"][:2] == (48, 60)
    assert len({p["id"] for p in photos}) == 3
    assert client.get("/api/preview?photo=99").status_code == 404


def test_the_recipe_round_trips_as_json_and_as_toml(client):
    assert client.get("/api/recipe").json()["recipe"] == Recipe().to_dict()
    tree = (
        Recipe()
        .updated(
            {
                "luminance": {"mixer": [1.1, 0.0, -0.1]},
                "zones": {"2": -0.4, "8": 0.3},
                "local_contrast": {"radius": 12, "strength": 0.8},
                "print": {"white": 3.5},
                "output": {"format": "png", "bits": 8},
            }
        )
        .to_dict()
    )
    reply = client.put("/api/recipe", json=tree)
    assert reply.status_code == 200 and reply.json()["recipe"] == tree
    assert client.get("/api/recipe").json()["recipe"] == tree
    text = client.get("/api/recipe.toml").text
    assert Recipe.from_toml(text).to_dict() == tree
    assert client.put("/api/recipe", json={}).json()["recipe"] == Recipe().to_dict()
    loaded = client.put("/api/recipe.toml", content=text.encode())
    assert loaded.status_code == 200 and client.get("/api/recipe").json()["recipe"] == tree


@pytest.mark.parametrize(
    ("tree", "toml"),
    [
        ({"exposure": {"stops": 20}}, "[exposure]\nstops = 20\n"),
        ({"zones": {"11": 0.5}}, "[zones]\n11 = 0.5\n"),
        ({"local_contrast": {"radius": "3 px"}}, '[local_contrast]\nradius = "3 px"\n'),
        ({"print": {"curve": "glossy"}}, '[print]\ncurve = "glossy"\n'),
        ({"output": {"format": "jpeg", "bits": 16}}, '[output]\nformat = "jpeg"\nbits = 16\n'),
        ({"luminance": {"mixer": [1, 0, 0], "filter": "red"}}, '[luminance]\nmixer = [1, 0, 0]\nfilter = "red"\n'),
        ({"paper": {"gloss": 1}}, "[paper]\ngloss = 1\n"),
    ],
)
def test_a_bad_value_is_a_400_in_the_words_of_the_toml_error(client, tree, toml):
    before = client.get("/api/recipe").json()["recipe"]
    with pytest.raises(RecipeError) as expected:
        Recipe.from_toml(toml)
    for response in (client.put("/api/recipe", json=tree), client.put("/api/recipe.toml", content=toml.encode())):
        assert response.status_code == 400
        body = response.json()
        assert (body["key"], body["reason"]) == (expected.value.key, expected.value.reason)
        assert body["error"] == str(expected.value)
    assert client.get("/api/recipe").json()["recipe"] == before  # a bad value changes nothing


@pytest.mark.parametrize("body", [b"{not json", b"[1, 2]", b'"text"'])
def test_a_body_that_is_no_table_of_settings_is_a_400(client, body):
    response = client.put("/api/recipe", content=body)
    assert response.status_code == 400 and response.json()["error"]


def test_settings_and_presets_are_served_for_the_controls(client):
    from ostrel.presets import PRESETS
    from ostrel.settings import SETTINGS

    served = client.get("/api/settings").json()
    assert [s["key"] for s in served["settings"]] == [s.key for s in SETTINGS]
    assert served["settings"][3]["kind"] == SETTINGS[3].schema()["kind"]
    assert [p["name"] for p in served["presets"]] == list(PRESETS)
    assert served["defaults"] == Recipe().to_dict()


# -- previews ---------------------------------------------------------------------------


def convert_print(folder: Path, name: str, tmp_path: Path, recipe: Recipe) -> np.ndarray:
    """The 8-bit PNG print `ostrel convert` makes of the photo: the independent reference."""
    recipe_file = tmp_path / "reference.toml"
    recipe_file.write_text(recipe.updated({"output": {"format": "png", "bits": 8}}).to_toml())
    out = tmp_path / "reference"
    assert main(["convert", str(folder / name), "-o", str(out), "--recipe", str(recipe_file)]) == 0
    return read_samples(out / (Path(name).stem + ".png"))


def test_the_preview_is_the_print_convert_makes(client, folder, tmp_path):
    photo = ids(client)["a.png"]
    client.put("/api/recipe", json=Recipe().updated({"zones": {"3": -0.5}, "local_contrast": {"radius": 3}}).to_dict())
    response = client.get(f"/api/preview?photo={photo}&width=120&format=png")
    assert response.status_code == 200 and response.headers["content-type"] == "image/png"
    assert response.headers["x-ostrel-size"] == "120x90"
    recipe = Recipe.from_toml(client.get("/api/recipe.toml").text)
    np.testing.assert_array_equal(decode(response.content), convert_print(folder, "a.png", tmp_path, recipe))
    small = client.get(f"/api/preview?photo={photo}&width=60")
    assert small.headers["content-type"] == "image/jpeg" and decode(small.content).shape[:2] == (45, 60)


def test_moving_a_setting_changes_the_preview(client):
    photo = ids(client)["a.png"]
    base = decode(client.get(f"/api/preview?photo={photo}&width=120&format=png").content).astype(float)
    client.put("/api/recipe", json={"exposure": {"stops": 1.0}})
    brighter = decode(client.get(f"/api/preview?photo={photo}&width=120&format=png").content).astype(float)
    assert brighter.mean() > base.mean() + 10


def test_before_is_the_plain_bt709_grey(client, folder):
    photo = ids(client)["a.png"]
    client.put("/api/recipe", json={"luminance": {"filter": "red"}, "exposure": {"stops": 2}})
    shown = decode(client.get(f"/api/preview?photo={photo}&width=120&view=before&format=png").content)
    linear = srgb_decode(scene(90, 120, seed=1))
    grey = linear @ np.array([0.2126, 0.7152, 0.0722])
    expected = np.rint(srgb_encode(grey) * 255)
    assert np.abs(shown.astype(float) - expected).max() <= 1


def lstar_zones(codes: np.ndarray) -> np.ndarray:
    """Zone = round(L*/10) of each print code, L* from its display-linear value (CIE 1976)."""
    y = srgb_decode(codes.astype(np.uint8))
    lstar = np.where(y > (6 / 29) ** 3, 116 * np.cbrt(y) - 16, y * (29 / 3) ** 3)
    return np.clip(np.floor(lstar / 10 + 0.5), 0, 10).astype(int)


def test_the_histogram_and_zone_map_are_on_the_prints_zone_scale(client):
    photo = ids(client)["a.png"]
    client.put("/api/recipe", json={"zones": {"1": -1.0, "9": 1.0}})
    response = client.get(f"/api/preview?photo={photo}&width=120&format=png")
    codes = decode(response.content)
    histogram = json.loads(response.headers["x-ostrel-histogram"])
    zones = lstar_zones(codes)
    expected = np.bincount(zones.ravel(), minlength=11) / zones.size * 100
    np.testing.assert_allclose(histogram["zones"], expected, atol=2e-3)
    assert histogram["white"] == pytest.approx(100 * np.mean(codes == 255), abs=2e-3)
    assert histogram["black"] == pytest.approx(100 * np.mean(codes == 0), abs=2e-3)
    assert client.get(f"/api/histogram?photo={photo}&width=120").json() == histogram
    zone_map = decode(client.get(f"/api/preview?photo={photo}&width=120&view=zones&format=png").content)
    np.testing.assert_array_equal(lstar_zones(zone_map), zones)  # each pixel at its zone's centre grey
    assert len(np.unique(zone_map)) == len(np.unique(zones))


@pytest.mark.parametrize(
    "layer",
    [
        {},
        {"grain": {"strength": 4.0, "granularity": 40.0, "seed": 3}},
        {"grain": {"strength": 2.0, "seed": 5}, "toning": {"toner": "sepia"}},
    ],
)
def test_the_loupe_is_the_full_size_print_under_it(client, folder, tmp_path, layer):
    photo = ids(client)["a.png"]
    client.put("/api/recipe", json={"local_contrast": {"radius": 4, "strength": 1.0}, **layer})
    reference = convert_print(folder, "a.png", tmp_path, Recipe.from_toml(client.get("/api/recipe.toml").text))
    response = client.get(f"/api/loupe?photo={photo}&x=0.75&y=0.5&size=32")
    assert response.status_code == 200 and response.headers["x-ostrel-size"] == "32x32"
    region = decode(response.content).astype(int)
    left, top = round(0.75 * 120 - 16), round(0.5 * 90 - 16)
    assert region.shape == reference[top : top + 32, left : left + 32].shape  # a toned loupe is RGB, as the print
    assert np.abs(region - reference[top : top + 32, left : left + 32].astype(int)).max() <= 1
    corner = decode(client.get(f"/api/loupe?photo={photo}&x=0&y=1&size=32").content).astype(int)
    assert np.abs(corner - reference[-32:, :32].astype(int)).max() <= 1
    assert client.get(f"/api/loupe?photo={photo}&x=2&y=0").status_code == 400


@pytest.mark.parametrize(
    "query",
    ["width=3", "width=wide", "view=sepia", "format=gif"],
)
def test_bad_preview_queries_are_400s(client, query):
    photo = ids(client)["a.png"]
    response = client.get(f"/api/preview?photo={photo}&{query}")
    assert response.status_code == 400 and response.json()["error"]


def test_rapid_requests_coalesce_the_last_value_wins():
    coalescer = Coalescer()
    started, release = threading.Event(), threading.Event()
    ran, results = [], {}

    def first():
        started.set()
        release.wait(5)
        ran.append(0)

    def request(index):
        try:
            results[index] = coalescer.run("preview", lambda: ran.append(index) or index)
        except SupersededError:
            results[index] = "superseded"

    holder = threading.Thread(target=coalescer.run, args=("preview", first))
    holder.start()
    started.wait(5)
    waiting = []
    for index in (1, 2, 3):
        waiting.append(threading.Thread(target=request, args=(index,)))
        waiting[-1].start()
        time.sleep(0.05)  # they arrive while the first still renders
    other = threading.Thread(target=lambda: results.setdefault("loupe", coalescer.run("loupe", lambda: "loupe")))
    other.start()
    time.sleep(0.05)
    release.set()
    for thread in [holder, *waiting, other]:
        thread.join(5)
    assert results == {1: "superseded", 2: "superseded", 3: 3, "loupe": "loupe"}
    assert ran == [0, 3] and coalescer.superseded == 2


# -- a bad photo --------------------------------------------------------------------------


def test_a_damaged_photo_says_why_and_the_server_goes_on(client):
    photo = ids(client)
    response = client.get(f"/api/preview?photo={photo['damaged.jpg']}&width=64")
    assert response.status_code == 422
    reason = response.json()["error"]
    assert reason.startswith("damaged.jpg: ") and ("truncated" in reason or "decode" in reason)
    assert client.get(f"/api/photos/{photo['damaged.jpg']}/thumbnail").status_code == 422
    listed = {p["name"]: p for p in client.get("/api/photos").json()["photos"]}
    assert listed["damaged.jpg"]["error"] and listed["a.png"]["error"] is None
    assert client.get(f"/api/preview?photo={photo['a.png']}&width=64").status_code == 200
    assert client.get(f"/api/preview?photo={photo['damaged.jpg']}&width=64").json()["error"] == reason


# -- exports ---------------------------------------------------------------------------------


def finished(client, job):
    for _ in range(200):
        state = client.get(f"/api/jobs/{job['id']}").json()
        if state["state"] != "running":
            return state
        time.sleep(0.05)
    raise AssertionError("the export did not finish")


@pytest.mark.parametrize(
    "layer",
    [
        {"output": {"format": "tiff", "bits": 16}},
        {"luminance": {"filter": "red"}, "output": {"format": "jpeg", "quality": 80}},
        {"zones": {"5": 0.3}, "output": {"format": "png", "bits": 8}},
    ],
)
def test_an_export_is_byte_identical_to_convert(client, folder, tmp_path, layer):
    photo = ids(client)
    client.put("/api/recipe", json=Recipe().updated(layer).to_dict())
    recipe_file = tmp_path / "saved.toml"
    recipe_file.write_text(client.get("/api/recipe.toml").text)
    outdir = tmp_path / "studio-prints"
    response = client.post("/api/export", json={"photos": [photo["a.png"], photo["b.jpg"]], "outdir": str(outdir)})
    assert response.status_code == 202
    state = finished(client, response.json())
    assert state["state"] == "done" and state["converted"] == 2 and state["summary"].startswith("converted 2")
    sources = [str(folder / "a.png"), str(folder / "b.jpg")]
    assert main(["convert", *sources, "-o", str(tmp_path / "convert"), "--recipe", str(recipe_file)]) == 0
    made = sorted(p.name for p in outdir.iterdir())
    assert made == sorted(p.name for p in (tmp_path / "convert").iterdir()) and len(made) == 2
    for name in made:
        assert (outdir / name).read_bytes() == (tmp_path / "convert" / name).read_bytes(), name


def test_an_export_reports_each_photo_and_never_overwrites_an_input(client, folder):
    photo = ids(client)
    client.put("/api/recipe", json={"output": {"format": "png", "bits": 8}})
    original = (folder / "a.png").read_bytes()
    job = client.post("/api/export", json={"photos": list(photo.values()), "outdir": str(folder)}).json()
    state = finished(client, job)
    outcomes = {Path(o["source"]).name: o for o in state["outcomes"]}
    assert outcomes["a.png"]["status"] == "failed" and "overwrite" in outcomes["a.png"]["reason"]
    assert outcomes["b.jpg"]["status"] == "converted"
    assert outcomes["damaged.jpg"]["status"] == "failed" and outcomes["damaged.jpg"]["reason"]
    assert (state["converted"], state["failed"]) == (1, 2)
    assert (folder / "a.png").read_bytes() == original


def test_export_progress_streams_until_the_summary(client, tmp_path):
    photo = ids(client)
    job = client.post("/api/export", json={"photos": [photo["a.png"]], "outdir": str(tmp_path / "out")}).json()
    events = []
    with client.stream("GET", f"/api/jobs/{job['id']}/events") as stream:
        for line in stream.iter_lines():
            if line.startswith("data: "):
                events.append(json.loads(line[6:]))
    assert events[-1]["state"] == "done" and events[-1]["converted"] == 1
    assert [e["done"] for e in events] == sorted(e["done"] for e in events)


@pytest.mark.parametrize(
    ("body", "status"),
    [
        ({"photos": ["0"], "outdir": ""}, 400),
        ({"photos": ["0"]}, 400),
        ({"photos": [], "outdir": "/tmp/x"}, 400),
        ({"photos": ["404"], "outdir": "/tmp/x"}, 404),
        ({"photos": ["0"], "outdir": "{file}"}, 400),
    ],
)
def test_an_export_needs_known_photos_and_a_typed_folder(client, folder, body, status):
    body = {k: (v.format(file=folder / "a.png") if isinstance(v, str) else v) for k, v in body.items()}
    response = client.post("/api/export", json=body)
    assert response.status_code == status and response.json()["error"]
    assert client.get("/api/jobs/1").status_code == 404
