# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="attr-defined"
"""Edge burning in the print: before the paper, alike at any size, in tiles, free of banding, off by default."""

from __future__ import annotations

import numpy as np
import pytest

import ostrel
from conftest import read_samples, save, scene, srgb_decode, vips_image
from ostrel.cli import main
from ostrel.presets import get_preset
from ostrel.recipe import Recipe
from ostrel.rendering import quantize, render

pyvips = pytest.importorskip("pyvips")
da = pytest.importorskip("dask.array")
tiled = pytest.importorskip("ostrel.tiled")

NO_DETAIL = {"local_contrast": {"strength": 0}}
BURN = {"vignette": {"stops": -1.0, "midpoint": 0.7, "feather": 0.6}}


def grey(height, width, value=0.18):
    return np.full((height, width, 3), value, np.float32)


def sky(height=600, width=900):
    """A smooth sky: linear luminance from 0.25 at the top to 0.55 at the horizon."""
    column = np.linspace(0.25, 0.55, height, dtype=np.float32)
    return np.repeat(np.repeat(column[:, None, None], width, axis=1), 3, axis=2)


def test_the_paper_takes_the_burn_and_off_is_the_print_as_before():
    recipe = Recipe().updated(NO_DETAIL)
    plain = render(grey(40, 60, 4.0), recipe)  # far past the paper's white
    burnt = render(grey(40, 60, 4.0), recipe.updated({"vignette": {"stops": -4.0}}))
    assert np.array_equal(burnt[20, 30], plain[20, 30])
    assert burnt[0, 0, 0] < 0.9 < plain[0, 0, 0]  # burnt down through the paper's shoulder, not clipped
    off = recipe.updated({"vignette": {"stops": 0.0, "midpoint": 0.3}})
    assert np.array_equal(render(sky(40, 60), off).view(np.uint32), render(sky(40, 60), recipe).view(np.uint32))
    assert "[vignette]" not in Recipe().to_toml() and "[vignette]" in Recipe().to_toml(full=True)


def test_an_8_bit_sky_steps_one_code_at_a_time():
    recipe = Recipe().updated({**NO_DETAIL, **BURN, "output": {"format": "jpeg"}})
    codes = quantize(render(sky(), recipe), 8).astype(int)
    assert np.abs(np.diff(codes, axis=0)).max() <= 1 and np.abs(np.diff(codes, axis=1)).max() <= 1
    assert codes[300, 450] - codes[0, 0] > 20  # and the corners are burnt


def test_the_same_print_at_any_resolution():
    recipe = Recipe().updated({**NO_DETAIL, **BURN, "zones": {}})
    small = srgb_decode(quantize(render(grey(150, 200), recipe), 16))
    large = srgb_decode(quantize(render(grey(600, 800), recipe), 16))
    assert np.abs(np.log2(large.reshape(150, 4, 200, 4).mean(axis=(1, 3)) / small)).max() < 0.02


@pytest.mark.parametrize("shape", [(150, 230), (1, 200), (97, 61)])
@pytest.mark.parametrize("tile", [16, 37])
def test_burning_in_tiles_gives_the_whole_images_bits(shape, tile):
    rng = np.random.default_rng(4)
    rgb = (rng.random((*shape, 3)) ** 2).astype(np.float32)
    recipe = Recipe().updated({**NO_DETAIL, **BURN})
    tiles = tiled.render_dask(da.from_array(rgb, chunks=(tile, tile, 3)), recipe).compute(scheduler="threads")
    assert np.array_equal(tiles.view(np.uint32), render(rgb, recipe).view(np.uint32))


def test_a_tiled_burnt_print_is_the_whole_print(tmp_path):
    path = save(vips_image(scene(90, 130, dtype=np.uint16)), tmp_path / "scan.tif")
    recipe = Recipe().updated({**BURN, "local_contrast": {"radius": 6}})
    whole = ostrel.convert_file(path, tmp_path / "whole.tif", recipe)
    report = ostrel.convert_files([path], tmp_path / "tiles", recipe, tiling=ostrel.batch.Tiling(force=True, tile=32))
    assert report.converted == 1, report.outcomes
    printed = tmp_path / "tiles" / "scan.tif"
    assert np.abs(read_samples(printed).astype(int) - read_samples(whole).astype(int)).max() <= 1
    assert ostrel.read_recipe(printed) == recipe


def test_flags_reach_the_burn(tmp_path):
    path = save(vips_image(scene(20, 30)), tmp_path / "in.png")
    argv = ["convert", str(path), "-o", str(tmp_path / "out"), "--vignette", "-0.5", "--vignette-midpoint", "0.6"]
    assert main([*argv, "--vignette-feather", "0.2"]) == 0
    vignette = ostrel.read_recipe(tmp_path / "out" / "in.tif").vignette
    assert (vignette.stops, vignette.midpoint, vignette.feather) == (-0.5, 0.6, 0.2)


def test_sepia_burnt_darkens_the_corners_a_stop_and_leaves_the_middle():
    recipe = get_preset("sepia-burnt").recipe.updated({**NO_DETAIL, "zones": {}})
    flat = Recipe().updated({**NO_DETAIL, "zones": {}, "toning": recipe.toning.__dict__})
    height, width = 300, 400
    burnt = srgb_decode(quantize(render(grey(height, width), recipe), 16)) @ [0.2126, 0.7152, 0.0722]
    plain = srgb_decode(quantize(render(grey(height, width), flat), 16)) @ [0.2126, 0.7152, 0.0722]
    assert abs(np.log2(burnt[0, 0] / plain[0, 0]) + 1.0) < 0.02  # a stop at the corners
    rows, columns = np.ogrid[:height, :width]
    r = np.hypot(2 * columns + 1 - width, 2 * rows + 1 - height) / np.hypot(width, height)
    middle = r <= 0.5  # midpoint - feather / 2: untouched
    assert np.array_equal(burnt[middle], plain[middle])
    codes = quantize(render(grey(height, width), recipe), 8)
    assert codes[150, 200, 0] > codes[150, 200, 1] > codes[150, 200, 2]  # and warm
