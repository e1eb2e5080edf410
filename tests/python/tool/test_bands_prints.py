# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="attr-defined"
"""Colour bands in the print: after the luminance step and before the meter's exposure, off by default
(the same bits and stamp as before), flags and TOML, a reduced copy like the print, tiles like the whole."""

from __future__ import annotations

import numpy as np
import pytest

import ostrel
from conftest import read_samples, save, scene, srgb_decode, vips_image
from ostrel.cli import main
from ostrel.errors import RecipeError
from ostrel.recipe import Recipe
from ostrel.rendering import quantize, render

pyvips = pytest.importorskip("pyvips")
da = pytest.importorskip("dask.array")
tiled = pytest.importorskip("ostrel.tiled")

NO_DETAIL = {"local_contrast": {"strength": 0}, "zones": {}}
MIX = {"bands": {"red": 1.0, "green": -0.5, "blue": -1.0, "radius": 4}}


def colours(height=60, width=90, seed=5):
    """Colour patches on a grey ground, with colour noise of 1 % (under the bands' threshold)."""
    rng = np.random.default_rng(seed)
    rgb = np.full((height, width, 3), 0.18, np.float32)
    rgb[10:30, 10:40] = [0.5, 0.05, 0.04]  # red
    rgb[30:50, 45:80] = [0.12, 0.19, 0.34]  # blue sky
    rgb[10:50, 80:] = [0.08, 0.3, 0.06]  # green
    return (rgb * (1 + rng.normal(0, 0.01, rgb.shape))).astype(np.float32)


def test_off_by_default_same_bits_and_stamp():
    rgb = colours()
    plain = render(rgb, Recipe())
    off = Recipe().updated({"bands": {"radius": 12}})  # every offset 0
    assert np.array_equal(render(rgb, off).view(np.uint32), plain.view(np.uint32))
    assert "[bands]" not in Recipe().to_toml() and "[bands]" in Recipe().to_toml(full=True)
    assert Recipe().describe() == Recipe().updated({"bands": {"radius": 3}}).describe()


def test_the_bands_move_the_colours_and_leave_the_grey():
    # Metered on the photo's average: the meter reads the luminance before the bands, or the grey would move.
    recipe = Recipe().updated({**NO_DETAIL, "exposure": {"meter": "average"}})
    plain = srgb_decode(quantize(render(colours(), recipe), 16))
    mixed = srgb_decode(quantize(render(colours(), recipe.updated(MIX)), 16))
    assert mixed[20, 25] > 1.5 * plain[20, 25]  # the red a stop lighter (through the paper)
    assert mixed[40, 60] < 0.8 * plain[40, 60]  # the sky darker
    assert np.array_equal(mixed[55:, :40], plain[55:, :40])  # the grey ground untouched


def test_toml_round_trip_flags_and_errors(tmp_path):
    recipe = Recipe().updated(MIX)
    assert Recipe.from_toml(recipe.to_toml()) == recipe
    assert "colour bands red +1, green -0.5, blue -1 (radius 4)" in recipe.describe()
    path = save(vips_image(scene(20, 30)), tmp_path / "in.png")
    argv = ["convert", str(path), "-o", str(tmp_path / "out"), "--band-red", "0.5", "--band-radius", "0.5%"]
    assert main([*argv, "--band-magenta", "-2"]) == 0
    bands = ostrel.read_recipe(tmp_path / "out" / "in.tif").bands
    assert (bands.red, bands.magenta, bands.radius) == (0.5, -2.0, "0.5%")
    with pytest.raises(RecipeError, match="expected a number -3..3"):
        Recipe().updated({"bands": {"blue": 3.5}})
    with pytest.raises(RecipeError, match="expected 0..2048 pixels"):
        Recipe().updated({"bands": {"radius": 5000}})


def test_a_reduced_copy_prints_like_the_reduced_print():
    """A relative radius follows the size: a 4x smaller photo gets a 4x smaller radius."""
    recipe = Recipe().updated({"bands": {"blue": -1.0, "radius": "2%"}})
    assert recipe.bands.pixels(3000, 4000) == 80 and recipe.bands.pixels(750, 1000) == 20
    assert Recipe().updated({"bands": {"radius": 24}}).bands.pixels(750, 1000, scale=0.25) == 6
    assert Recipe().updated({"bands": {"radius": "0%"}}).bands.pixels(750, 1000) == 0


@pytest.mark.parametrize("shape, tile", [((150, 230), 16), ((97, 61), 37), ((1, 200), 16)])
def test_bands_in_tiles_give_the_whole_images_bits(shape, tile):
    rgb = (np.random.default_rng(4).random((*shape, 3)) ** 2).astype(np.float32)
    recipe = Recipe().updated({**MIX, "bands": {**MIX["bands"], "radius": 9}, "exposure": {"stops": 0.5}})
    tiles = tiled.render_dask(da.from_array(rgb, chunks=(tile, tile, 3)), recipe).compute(scheduler="threads")
    assert np.array_equal(tiles.view(np.uint32), render(rgb, recipe).view(np.uint32))


def test_a_tiled_banded_print_is_the_whole_print(tmp_path):
    path = save(vips_image(scene(90, 130, dtype=np.uint16)), tmp_path / "scan.tif")
    recipe = Recipe().updated({**MIX, "local_contrast": {"radius": 6}})
    whole = ostrel.convert_file(path, tmp_path / "whole.tif", recipe)
    report = ostrel.convert_files([path], tmp_path / "tiles", recipe, tiling=ostrel.batch.Tiling(force=True, tile=32))
    assert report.converted == 1, report.outcomes
    printed = tmp_path / "tiles" / "scan.tif"
    assert np.abs(read_samples(printed).astype(int) - read_samples(whole).astype(int)).max() <= 1
    assert ostrel.read_recipe(printed) == recipe
