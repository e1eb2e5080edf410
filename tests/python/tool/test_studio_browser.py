# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return, index"
"""The studio page in a real browser: Debian's Chromium driven by playwright.

What is missing is installed first (Chromium with apt-get, as the aarch64 leg
installs its packages; playwright with pip); the test skips, saying why, when
that cannot be done. With OSTREL_SCREENSHOTS=FOLDER it leaves the README's
screenshots there (`OSTREL_SCREENSHOTS=docs` refreshes them).
"""

from __future__ import annotations

import importlib
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import read_samples, save, scene, vips_image
from ostrel.cli import main
from ostrel.recipe import Recipe

pyvips = pytest.importorskip("pyvips")
pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

ROOT = Path(__file__).resolve().parents[3]
CHROMIUM = "/usr/bin/chromium"


def _chromium() -> str:
    if os.environ.get("OSTREL_SANITIZED"):
        pytest.skip("the sanitizer runtime preloaded into this process would be preloaded into the browser too")
    if not Path(CHROMIUM).exists() and shutil.which("apt-get"):
        command = f'source "{ROOT}/scripts/common.sh" && install_debian_packages chromium:chromium'
        subprocess.run(["bash", "-c", command], capture_output=True, timeout=900)
    if not Path(CHROMIUM).exists():
        pytest.skip(f"no Chromium at {CHROMIUM}, and apt-get could not install Debian's chromium package")
    return CHROMIUM


def _playwright():
    try:
        return importlib.import_module("playwright.sync_api")
    except ImportError:
        pip = [sys.executable, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "playwright"]
        if subprocess.run(pip, capture_output=True, timeout=600).returncode != 0:
            pytest.skip("playwright is not installed and pip could not install it")
        importlib.invalidate_caches()
        return importlib.import_module("playwright.sync_api")


@pytest.fixture(scope="module")
def browser():
    executable = _chromium()
    sync_api = _playwright()
    with sync_api.sync_playwright() as playwright:
        try:
            chromium = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        except sync_api.Error as error:
            pytest.skip(f"Chromium would not start: {str(error).splitlines()[0]}")
        yield chromium
        chromium.close()


@pytest.fixture
def served(tmp_path):
    from ostrel.studio.server import Studio

    photos = tmp_path / "photos"
    photos.mkdir()
    shutil.copy(ROOT / "examples" / "data" / "astronaut.png", photos / "astronaut.png")
    save(vips_image(scene(300, 450, seed=5)), photos / "ramps.jpg", Q=95)
    whole = save(vips_image(scene(64, 64, seed=3)), tmp_path / "whole.jpg")
    (photos / "zz-damaged.jpg").write_bytes(whole.read_bytes()[:400])
    studio = Studio.bind([str(photos)])
    server = studio.server()
    thread = threading.Thread(target=server.run, kwargs={"sockets": [studio.sock]}, daemon=True)
    thread.start()
    for _ in range(200):
        if server.started:
            break
        time.sleep(0.02)
    yield studio, photos
    server.should_exit = True
    thread.join(10)
    studio.sock.close()


def shown_grey(page) -> np.ndarray:
    """The preview as the page shows it: its decoded pixels, grey, at their own size."""
    data = page.evaluate(
        """() => {
          const img = document.getElementById('preview');
          const canvas = document.createElement('canvas');
          canvas.width = img.naturalWidth; canvas.height = img.naturalHeight;
          const g = canvas.getContext('2d');
          g.drawImage(img, 0, 0);
          const rgba = g.getImageData(0, 0, canvas.width, canvas.height).data;
          const grey = [];
          for (let i = 0; i < rgba.length; i += 4) grey.push(rgba[i]);
          return {width: canvas.width, height: canvas.height, grey};
        }"""
    )
    return np.array(data["grey"], np.float64).reshape(data["height"], data["width"])


def blocks(image: np.ndarray, n: int = 16) -> np.ndarray:
    """Means of an n x n grid of blocks: pictures of different sizes compared by their layout."""
    h, w = image.shape
    rows = [
        [image[i * h // n : (i + 1) * h // n, j * w // n : (j + 1) * w // n].mean() for j in range(n)] for i in range(n)
    ]
    return np.array(rows)


def paints(page) -> int:
    return int(page.evaluate("Number(document.body.dataset.paints || 0)"))


def test_the_page_tunes_saves_and_exports_a_print(browser, served, tmp_path):  # noqa: PLR0915 - one session, in order
    studio, photos = served
    page = browser.new_page(viewport={"width": 1440, "height": 900})
    problems: list[str] = []
    page.on("console", lambda message: problems.append(message.text) if message.type == "error" else None)
    page.on("pageerror", lambda error: problems.append(f"page error: {error}"))

    # 1, 2: the page opens on the first photo and shows its print.
    page.goto(studio.url)
    page.wait_for_function("Number(document.body.dataset.paints || 0) >= 1", timeout=30_000)
    assert page.url.endswith("/")  # the token went into the cookie, out of the address bar
    reference = tmp_path / "reference"
    assert main(["convert", str(photos / "astronaut.png"), "-o", str(reference), "--format", "png", "--bits", "8"]) == 0
    print_codes = read_samples(reference / "astronaut.png").astype(np.float64)
    first = shown_grey(page)
    assert np.corrcoef(blocks(first).ravel(), blocks(print_codes).ravel())[0, 1] > 0.99
    assert np.abs(blocks(first) - blocks(print_codes)).mean() < 3
    shots = os.environ.get("OSTREL_SCREENSHOTS")
    if shots:
        Path(shots).mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(Path(shots) / "studio.png"))

    # 3: a slider moves, a new preview comes, brighter.
    before = paints(page)
    page.locator('input[name="exposure.stops"]').fill("1.5")
    page.wait_for_function(f"Number(document.body.dataset.paints) > {before}", timeout=30_000)
    page.evaluate("window.studio.idle()")
    brighter = shown_grey(page)
    assert brighter.mean() > first.mean() + 8

    # The histogram and its clipped shares follow the print.
    white = float(page.locator("#clipped").get_attribute("data-white"))
    assert white == pytest.approx(100 * np.mean(brighter >= 254.5), abs=1.5)

    # 4: the recipe saved is the one on screen.
    with page.expect_download() as download:
        page.click("#save-recipe")
    saved = Path(download.value.path()).read_text()
    assert Recipe.from_toml(saved).exposure.stops == 1.5
    recipe_file = tmp_path / "saved.toml"
    recipe_file.write_text(saved)

    # The loupe: the full-size region under the pointer.
    page.click("#loupe-toggle")
    box = page.locator("#preview").bounding_box()
    page.mouse.move(box["x"] + box["width"] * 0.45, box["y"] + box["height"] * 0.3)
    page.wait_for_function("performance.getEntriesByName('studio:loupe').length > 0", timeout=30_000)
    page.mouse.move(0, 0)

    # 5: the export is convert's print, byte for byte.
    outdir = tmp_path / "exported"
    page.fill("#outdir", str(outdir))
    page.click("#export-one")
    page.wait_for_selector("body[data-exported]", timeout=60_000)
    assert "converted 1, skipped 0, failed 0" in page.locator("#export-summary").inner_text()
    convert = tmp_path / "convert"
    assert main(["convert", str(photos / "astronaut.png"), "-o", str(convert), "--recipe", str(recipe_file)]) == 0
    assert (outdir / "astronaut.tif").read_bytes() == (convert / "astronaut.tif").read_bytes()

    # A damaged photo shows its reason in the page; the others still render.
    page.click('.thumb[data-id="2"]')
    page.wait_for_selector("#message:not([hidden])", timeout=30_000)
    assert "zz-damaged.jpg" in page.locator("#message").inner_text()
    before = paints(page)
    page.click('.thumb[data-id="1"]')
    page.wait_for_function(f"Number(document.body.dataset.paints) > {before}", timeout=30_000)
    assert page.locator("#message").is_hidden()

    # 6: no errors in the console but the damaged photo's refused thumbnail and preview.
    unexpected = [p for p in problems if "status of 422" not in p]
    assert unexpected == []
    assert len(problems) <= 3
    page.close()
