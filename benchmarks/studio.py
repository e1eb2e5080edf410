"""The studio's latencies in a real browser (Debian's Chromium through playwright), on 24 MP JPEGs.

Measured by the page itself with the Performance API (`studio:*` measures):
- slider to preview painted, for a preview of the view's size (about 2 MP);
- open to first preview, for a photo not decoded before;
- the 1:1 loupe, once the full-size photo is held (and the first, which decodes it);
- a burst of slider changes faster than the renders: how many renders ran.
Targets: 100 ms, 1.5 s, 150 ms. They are reported, never enforced.

    python benchmarks/studio.py [--photos 3] [--moves 20]
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import numpy as np
import pyvips

from ostrel.studio.server import Studio

WIDTH, HEIGHT = 6000, 4000  # 24 MP
CHROMIUM = "/usr/bin/chromium"


def make_photo(path: Path, seed: int) -> None:
    """A 24 MP JPEG with smooth light, colour and fine detail (so the local contrast has work)."""
    rng = np.random.default_rng(seed)
    small = rng.random((40, 60, 3)) * 0.8 + 0.1
    base = pyvips.Image.new_from_array((small * 255).astype(np.uint8), interpretation="srgb")
    base = base.resize(WIDTH / 60, vscale=HEIGHT / 40, kernel="cubic")
    noise = pyvips.Image.gaussnoise(WIDTH, HEIGHT, sigma=12, mean=0)
    image = (base + noise.bandjoin([noise, noise])).cast("uchar").copy(interpretation="srgb")
    image.jpegsave(str(path), Q=90)


def measures(page: Any, name: str) -> list[float]:
    return [float(d) for d in page.evaluate(f"performance.getEntriesByName('studio:{name}').map(m => m.duration)")]


def paints(page: Any) -> int:
    return int(page.evaluate("Number(document.body.dataset.paints || 0)"))


def wait_paint(page: Any, after: int) -> None:
    page.wait_for_function(f"Number(document.body.dataset.paints || 0) > {after}", timeout=120_000)
    page.evaluate("window.studio.idle()")


def report(name: str, values: list[float], target: float) -> None:
    if not values:
        print(f"{name:<34} no measurement")
        return
    median = statistics.median(values)
    worst = max(values)
    verdict = "meets" if median <= target else "misses"
    counted = f"n={len(values)}; target {target:g} ms: {verdict}"
    print(f"{name:<34} median {median:7.1f} ms  max {worst:7.1f} ms  ({counted})")


def run(photos: int, moves: int) -> None:  # noqa: PLR0915 - one browser session, step by step
    from playwright.sync_api import sync_playwright

    folder = Path(tempfile.mkdtemp(prefix="ostrel-studio-bench-"))
    try:
        started = time.perf_counter()
        for index in range(photos):
            make_photo(folder / f"photo{index}.jpg", index)
        print(f"made {photos} JPEGs of {WIDTH} x {HEIGHT} in {time.perf_counter() - started:.1f} s")
        studio = Studio.bind([str(folder)])
        server = studio.server()
        threading.Thread(target=server.run, kwargs={"sockets": [studio.sock]}, daemon=True).start()
        while not server.started:
            time.sleep(0.02)
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
            page = browser.new_page(viewport={"width": 2200, "height": 1500}, device_scale_factor=1)
            page.goto(studio.url)
            page.wait_for_function("Number(document.body.dataset.paints || 0) >= 1", timeout=120_000)
            page.evaluate("window.studio.idle()")
            size = page.evaluate("[document.getElementById('preview').naturalWidth, preview.naturalHeight]")
            print(f"preview {size[0]} x {size[1]} ({size[0] * size[1] / 1e6:.1f} MP)")
            for index in range(1, photos):  # photos never decoded before
                before = paints(page)
                page.evaluate(f"window.studio.choose('{index}')")
                wait_paint(page, before)
            page.evaluate(f"window.studio.choose('{photos - 1}')")
            page.evaluate("window.studio.idle()")

            slider = page.locator('input[name="local_contrast.strength"]')
            for move in range(moves):  # one change at a time, each waited for
                before = paints(page)
                slider.fill(f"{0.3 + 0.05 * (move % 20):.2f}")
                wait_paint(page, before)
            slider_times = measures(page, "slider-to-preview")

            before = paints(page)
            page.evaluate(
                """async () => {
                  const s = document.querySelector('input[name="exposure.stops"]');
                  for (let i = 0; i < 30; i++) {
                    s.value = (i / 30).toFixed(2);
                    s.dispatchEvent(new Event('input', {bubbles: true}));
                    await new Promise(r => setTimeout(r, 10));
                  }
                }"""
            )
            page.evaluate("window.studio.idle()")
            burst_paints = paints(page) - before
            last = measures(page, "slider-to-preview")[-1]

            page.click("#loupe-toggle")
            box = page.locator("#preview").bounding_box()
            assert box is not None
            for step in range(12):
                page.mouse.move(box["x"] + box["width"] * (0.2 + 0.05 * step), box["y"] + box["height"] * 0.5)
                page.wait_for_function(f"performance.getEntriesByName('studio:loupe').length > {step}", timeout=120_000)
            loupe = measures(page, "loupe")
            opened = measures(page, "open-to-preview")[:photos]
            browser.close()
        server.should_exit = True
        print()
        report("open to first preview", opened, 1500)
        report("slider to preview painted", slider_times, 100)
        report("loupe 1:1 (full size held)", loupe[1:], 150)
        print(f"{'loupe 1:1, first (decodes 24 MP)':<34} {loupe[0]:7.1f} ms")
        print(f"burst of 30 changes 10 ms apart: {burst_paints} renders painted, the last {last:.0f} ms after it")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--photos", type=int, default=3)
    parser.add_argument("--moves", type=int, default=20)
    options = parser.parse_args()
    run(options.photos, options.moves)
