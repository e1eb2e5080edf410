"""Darkroom benchmark: each darkroom step's cost on a 12-megapixel photo, beside copying the same bytes.

    python benchmarks/darkroom.py [--repeats 7]

It times, in one process on all threads, the steps a full recipe adds to the
default pipeline: the film stock's weights (the luminance step, as any
mixer), colour bands, edge burning, grain (both forms), toning, and the RGB
sRGB encoding (alone and fused with the toning) and 16-bit quantising a
toned print needs, each the median of
`repeats` runs, beside `np.copyto` of the bytes the step reads and writes.
It only reports; it never fails on a figure.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable

import numpy as np

import ostrel_core as oc
from ostrel import _darkroom
from ostrel.recipe import Recipe
from ostrel.rendering import develop, luminance, luminance_step, mixed, quantize
from ostrel.toning import tone_print

HEIGHT, WIDTH = 3000, 4000


def median_ms(job: Callable[[], object], repeats: int) -> float:
    job()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        job()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def copy_ms(nbytes: int, repeats: int) -> float:
    source = np.ones(nbytes // 4, np.float32)
    target = np.empty_like(source)
    return median_ms(lambda: np.copyto(target, source), repeats)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    rgb = rng.random((HEIGHT, WIDTH, 3), dtype=np.float32) ** 2.2
    recipe = Recipe().updated(
        {
            "film": {"stock": "ilford-hp5-plus"},
            "bands": {"blue": -0.8, "green": 0.5},
            "vignette": {"stops": -0.7},
            "grain": {"strength": 1.0, "granularity": 16.0},
            "toning": {"toner": "selenium"},
        }
    )
    development = develop(recipe, HEIGHT, WIDTH)
    step = luminance_step(recipe)
    lum = luminance(rgb, step)
    plane = np.clip(lum, 0, 1)
    pitch = 36000.0 / WIDTH
    grain = recipe.grain
    toned = tone_print(plane, recipe.toning)
    plane_bytes, rgb_bytes = plane.nbytes, rgb.nbytes
    rows = [
        ("film stock (luminance weights)", lambda: luminance(rgb, step), rgb_bytes + plane_bytes),
        (
            f"colour bands (radius {development.bands_radius})",
            lambda: mixed(rgb, lum, recipe.bands, development.bands_radius),
            rgb_bytes + 2 * plane_bytes,
        ),
        ("edge burning", lambda: _darkroom.vignette(plane, -0.7), 2 * plane_bytes),
        (
            "grain, ending in the encoding",
            lambda: _darkroom.grain_encode(plane, 1.0, grain.granularity, pitch, 0),
            2 * plane_bytes,
        ),
        (
            "grain, display-linear (toned path)",
            lambda: _darkroom.grain(plane, 1.0, grain.granularity, pitch, 0),
            2 * plane_bytes,
        ),
        ("toning, display-linear", lambda: tone_print(plane, recipe.toning), plane_bytes + rgb_bytes),
        (
            "toning, ending in the encoding",
            lambda: tone_print(plane, recipe.toning, encode=True),
            plane_bytes + rgb_bytes,
        ),
        ("sRGB encoding, grey (for comparison)", lambda: oc.encode_srgb(plane), 2 * plane_bytes),
        ("sRGB encoding, RGB", lambda: oc.encode_srgb(toned), 2 * rgb_bytes),
        ("16-bit quantising, RGB", lambda: quantize(toned, 16), rgb_bytes + rgb_bytes // 2),
    ]
    print(f"{os.cpu_count()} CPUs, a {WIDTH} x {HEIGHT} photo, medians of {args.repeats} runs")
    width = max(len(name) for name, _, _ in rows)
    for name, job, nbytes in rows:
        step_ms, same_bytes_ms = median_ms(job, args.repeats), copy_ms(nbytes, args.repeats)
        print(f"{name:<{width}}  {step_ms:7.1f} ms   copy of the same bytes {same_bytes_ms:5.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
