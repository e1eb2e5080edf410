"""Photo-tool benchmark: `ostrel convert` on twenty 12-megapixel JPEGs, beside libvips and ImageMagick.

    python benchmarks/batch.py [--count 20] [--repeats 5]

It makes the photos itself (the bundled portrait upscaled to 4000 x 3000 with
a little grain, JPEG quality 92; kept in out/bench-batch/photos for the next
run) and converts them to 16-bit TIFF prints with the default recipe. It
prints, all from the same run:

- seconds per image in-process (read, kernels, write; medians of `repeats`),
- one file through the command line, from process start to exit (median),
- images/s for the folder through the command line (default jobs and -j 1),
- the kernels' share of the wall time of an in-process folder run,
- the size of one 16-bit print uncompressed, with LZW and with deflate (both
  with the horizontal predictor),
- the folder again with the pipeline as it was before the print stage
  (`--curve clip --radius 16`, its defaults), side by side with the default,
- the folder through the full darkroom recipe (`FULL_RECIPE`: colour bands,
  a film stock, grain, toning to a 16-bit RGB TIFF and edge burning), its
  runs interleaved with the default recipe's,
- the print stage alone on a 12 MP plane (with its local-contrast plane),
  beside copying the same bytes,
- libvips's plain grey conversion (`vips colourspace in.jpg out.tif grey16`)
  and ImageMagick's (`convert in.jpg -colorspace Gray -depth 16 out.tif`) on
  the same files, one process per file, as a shell loop would run them.

The libvips and ImageMagick command-line tools come from Debian's
`libvips-tools` and `imagemagick`; the script installs them when missing.
It only reports; it never fails on a figure.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import ostrel
from ostrel import batch, reading, rendering, writing

ROOT = Path(__file__).resolve().parents[1]
OUT = Path(os.environ.get("OSTREL_OUT", ROOT / "out")) / "bench-batch"
SOURCE = ROOT / "examples" / "data" / "astronaut.png"

# Every darkroom control at once, written as a recipe file for the command line.
FULL_RECIPE = """\
[film]
stock = "ilford-hp5-plus"

[bands]
blue = -0.8
green = 0.5

[vignette]
stops = -0.7

[grain]
strength = 1.0
granularity = 16.0

[toning]
toner = "selenium"
"""


def make_photos(count: int) -> list[Path]:
    import pyvips

    folder = OUT / "photos"
    folder.mkdir(parents=True, exist_ok=True)
    wanted = [folder / f"photo{index:02d}.jpg" for index in range(count)]
    if all(path.exists() for path in wanted):
        return wanted
    big = pyvips.Image.new_from_file(str(SOURCE)).resize(7.8125, kernel="lanczos3").crop(0, 0, 4000, 3000)
    rng = np.random.default_rng(0)
    for index, path in enumerate(wanted):
        grain = rng.normal(0.0, 3.0, (3000, 4000, 1)).astype(np.float32)
        noisy = (big + pyvips.Image.new_from_array(grain)).cast("uchar")
        (noisy.flip("horizontal") if index % 2 else noisy).copy(interpretation="srgb").jpegsave(str(path), Q=92)
    return wanted


def _imagemagick() -> str | None:
    """ImageMagick's convert command: one that says it is ImageMagick (PATH may hold look-alikes)."""
    for name in ("magick", "convert-im6.q16", "convert"):
        path = shutil.which(name)
        if path:
            version = subprocess.run([path, "-version"], capture_output=True, text=True, check=False).stdout
            if "ImageMagick" in version:
                return path
    return None


def ensure_tools() -> dict[str, str | None]:
    tools = {"vips": shutil.which("vips"), "convert": _imagemagick()}
    missing = [package for tool, package in (("vips", "libvips-tools"), ("convert", "imagemagick")) if not tools[tool]]
    if missing and os.geteuid() == 0 and shutil.which("apt-get"):
        print(f"installing {' '.join(missing)} ...", flush=True)
        subprocess.run(["apt-get", "install", "-y", "-qq", *missing], capture_output=True, check=False)
        tools = {"vips": shutil.which("vips"), "convert": _imagemagick()}
    return tools


def median_of(job: Callable[[], object], repeats: int) -> float:
    job()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        job()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def in_process(photo: Path, repeats: int, scratch: Path) -> dict[str, float]:
    recipe = ostrel.Recipe()
    text = recipe.to_toml()
    stages: dict[str, list[float]] = {"read": [], "kernels": [], "write": [], "total": []}
    for index in range(repeats + 1):
        t0 = time.perf_counter()
        loaded = reading.read_photo(photo)
        t1 = time.perf_counter()
        plane = rendering.render(loaded.pixels, recipe)
        t2 = time.perf_counter()
        writing.write_print(plane, scratch / "one.tif", recipe.output, metadata=loaded.metadata, recipe_text=text)
        t3 = time.perf_counter()
        if index:  # the first is a warm-up
            for name, seconds in (("read", t1 - t0), ("kernels", t2 - t1), ("write", t3 - t2), ("total", t3 - t0)):
                stages[name].append(seconds)
    return {name: statistics.median(values) for name, values in stages.items()}


def print_sizes(photo: Path, scratch: Path) -> dict[str, int]:
    """Bytes of one 16-bit TIFF print in each compression."""
    loaded = reading.read_photo(photo)
    plane = rendering.render(loaded.pixels, ostrel.Recipe())
    sizes = {}
    for compression in ("none", "lzw", "deflate"):
        path = writing.write_print(plane, scratch / f"{compression}.tif", ostrel.Output(compression=compression))
        sizes[compression] = path.stat().st_size
    return sizes


def folder_in_process(photos: list[Path], scratch: Path) -> tuple[float, float]:
    """Images/s of an in-process batch and the kernels' share of its wall time."""
    spent: list[float] = []
    # The batch module's own name for the kernels' stage, replaced for the
    # measurement (it imports render_photo from ostrel.rendering).
    original: Callable[..., object] = batch.render_photo  # type: ignore[attr-defined]

    def timed_render(*args: object, **kwargs: object) -> object:
        start = time.perf_counter()
        result = original(*args, **kwargs)
        spent.append(time.perf_counter() - start)
        return result

    batch.render_photo = timed_render  # type: ignore[attr-defined,assignment]
    try:
        report = ostrel.convert_files(photos, scratch / "inproc")
    finally:
        batch.render_photo = original  # type: ignore[attr-defined,assignment]
    return report.images_per_second, sum(spent) / report.seconds


def print_stage_cost(repeats: int) -> tuple[float, float, float]:
    """Seconds, on a 12 MP toned plane and its local-contrast plane, of the sRGB encoding alone (the
    pipeline's last step before the paper), of the print stage ending in the encoding (what the
    pipeline runs now), and of copying the two planes."""
    import ostrel_core as oc
    from ostrel.paper import paper_params, print_stage

    rng = np.random.default_rng(1)
    base = rng.uniform(0.0, 1.2, (3000, 4000, 1)).astype(np.float32)
    detailed = (base + rng.normal(0.0, 0.05, base.shape)).astype(np.float32)
    params = paper_params(ostrel.Recipe())
    assert params is not None
    out = np.empty_like(base)

    def copy() -> None:
        np.copyto(out, base)
        np.copyto(out, detailed)

    encoding = median_of(lambda: oc.encode_srgb(detailed), repeats)
    printing = median_of(lambda: print_stage(base, detailed, params, encode=True), repeats)
    return encoding, printing, median_of(copy, repeats)


def cli(*argv: object) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "ostrel", *map(str, argv)], check=True, capture_output=True)
    return time.perf_counter() - start


def per_file_tool(command: list[str], photos: list[Path], scratch: Path) -> float:
    """Images/s of one process per file, run one after another."""
    scratch.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    for photo in photos:
        target = scratch / (photo.stem + ".tif")
        subprocess.run([part.format(src=photo, dst=target) for part in command], check=True, capture_output=True)
    return len(photos) / (time.perf_counter() - start)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    photos = make_photos(args.count)
    tools = ensure_tools()
    print(
        f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
        f"{len(photos)} photos of 4000 x 3000 (JPEG Q92) -> 16-bit TIFF, default recipe"
    )
    with tempfile.TemporaryDirectory(dir=OUT) as temporary:
        scratch = Path(temporary)
        stages = in_process(photos[0], args.repeats, scratch)
        one_file = median_of(lambda: cli("convert", photos[0], "-o", scratch / "one", "-q"), args.repeats)
        full_recipe = scratch / "full.toml"
        full_recipe.write_text(FULL_RECIPE)
        plain_runs, full_runs = [], []
        for run in range(3):  # interleaved: the machine's speed drifts
            plain_runs.append(len(photos) / cli("convert", *photos, "-o", scratch / f"folder{run}", "-q"))
            full_runs.append(
                len(photos) / cli("convert", *photos, "-o", scratch / f"full{run}", "-q", "--recipe", full_recipe)
            )
        folder, full = statistics.median(plain_runs), statistics.median(full_runs)
        serial = len(photos) / cli("convert", *photos, "-o", scratch / "serial", "-q", "-j", "1")
        before = statistics.median(
            len(photos)
            / cli("convert", *photos, "-o", scratch / f"clip{run}", "-q", "--curve", "clip", "--radius", "16")
            for run in range(3)
        )
        encoding, printing, copying = print_stage_cost(args.repeats)
        rate, share = folder_in_process(photos, scratch)
        sizes = print_sizes(photos[0], scratch)
        peers: dict[str, float | None] = {"vips": None, "convert": None}
        if tools["vips"]:
            peers["vips"] = per_file_tool(["vips", "colourspace", "{src}", "{dst}", "grey16"], photos, scratch / "vips")
        magick = tools["convert"]
        if magick:
            peers["convert"] = per_file_tool(
                [magick, "{src}", "-colorspace", "Gray", "-depth", "16", "{dst}"], photos, scratch / "magick"
            )

    rows = [
        (
            "in-process, one image",
            f"{stages['total']:.3f} s/image",
            f"read {stages['read']:.3f} + kernels {stages['kernels']:.3f} + write {stages['write']:.3f} s",
        ),
        ("`ostrel convert` one file, process start to exit", f"{one_file:.3f} s", "median"),
        ("`ostrel convert` folder", f"{folder:.2f} images/s", f"-j 1 (no overlap): {serial:.2f} images/s"),
        (
            "the same, full darkroom recipe",
            f"{full:.2f} images/s",
            "bands, HP5 PLUS, grain, selenium to 16-bit RGB TIFF, edge burning; runs interleaved with the default",
        ),
        (
            "the same without the print stage",
            f"{before:.2f} images/s",
            "--curve clip --radius 16: the pipeline as it was before the paper",
        ),
        (
            "print stage, one 12 MP image",
            f"{(printing - encoding) * 1000:.1f} ms",
            f"added to the encoding: {encoding * 1000:.1f} ms alone, {printing * 1000:.1f} ms with the paper in "
            f"one pass; copying the two planes {copying * 1000:.1f} ms ({os.cpu_count()} threads)",
        ),
        ("in-process folder (convert_files)", f"{rate:.2f} images/s", f"kernels {share * 100:.0f} % of the wall time"),
        (
            "one 16-bit print, uncompressed",
            f"{sizes['none'] / 1e6:.1f} MB",
            f"LZW {sizes['lzw'] / 1e6:.1f} MB, deflate {sizes['deflate'] / 1e6:.1f} MB (horizontal predictor)",
        ),
        (
            "`vips colourspace ... grey16` per file",
            f"{peers['vips']:.2f} images/s" if peers["vips"] else "n/a",
            "plain grey conversion, no tone work",
        ),
        (
            "`convert ... -colorspace Gray -depth 16` per file",
            f"{peers['convert']:.2f} images/s" if peers["convert"] else "n/a",
            "ImageMagick, plain grey conversion",
        ),
    ]
    width = max(len(row[0]) for row in rows)
    for name, figure, note in rows:
        print(f"{name:<{width}}  {figure:>16}  {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
