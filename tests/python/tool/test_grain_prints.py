# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="attr-defined"
"""Film grain in the print: off by default, after the paper and before the toner, the same grain at
print size for any resolution (previews included), the whole print's bits in tiles, in the stamp, flags."""

from __future__ import annotations

import numpy as np
import pytest

import ostrel
from conftest import read_samples, save, scene, vips_image
from ostrel.cli import main
from ostrel.reading import read_photo
from ostrel.recipe import Recipe
from ostrel.rendering import render

pyvips = pytest.importorskip("pyvips")
da = pytest.importorskip("dask.array")
tiled = pytest.importorskip("ostrel.tiled")

FLAT = {"local_contrast": {"strength": 0}, "zones": {}, "exposure": {"meter": "off"}}
TRI_X = {"grain": {"strength": 1.0, "granularity": 17.0, "seed": 5}}


def grey(height, width, value=0.18):
    return np.full((height, width, 3), value, np.float32)


def bits(a):
    return np.ascontiguousarray(a, np.float32).view(np.uint32)


def test_off_by_default_and_the_print_as_before():
    rgb = (np.random.default_rng(3).random((60, 80, 3)) ** 2).astype(np.float32)
    plain = render(rgb, Recipe())
    off = Recipe().updated({"grain": {"strength": 0.0, "granularity": 30.0, "format": "8x10", "seed": 9}})
    assert np.array_equal(bits(render(rgb, off)), bits(plain))
    assert "[grain]" not in Recipe().to_toml() and "[grain]" in Recipe().to_toml(full=True)
    assert "grain" not in Recipe().describe()
    assert "grain 1 x granularity 17 on 35mm" in Recipe().updated(TRI_X).describe()


@pytest.mark.parametrize("toner", ["none", "sepia"])
def test_grain_after_the_paper_none_at_white_and_black(toner):
    recipe = Recipe().updated({**FLAT, **TRI_X, "toning": {"toner": toner}})
    rgb = np.concatenate([grey(40, 60, 0.0), grey(40, 60, 0.18), grey(40, 60, 64.0)])
    grained, plain = render(rgb, recipe), render(rgb, recipe.updated({"grain": {"strength": 0}}))
    delta = (grained - plain).reshape(3, 40, 60, -1)
    assert np.all(delta[0] == 0) and np.all(delta[2] == 0)  # paper black and white
    assert delta[1].std() > 5e-4 and abs(delta[1].mean()) < 0.1 * delta[1].std()  # 120 px of 35 mm: fine grain
    if toner == "sepia":  # the toner colours the grainy silver: its grain is in every channel alike
        lum = delta[1] @ [0.2126, 0.7152, 0.0722]
        assert np.corrcoef(delta[1][..., 0].ravel(), lum.ravel())[0, 1] > 0.95


def test_the_same_grain_at_print_size_at_any_resolution_and_in_previews(tmp_path):
    """A photo twice the size each way, its print 2 x 2-averaged, has the small print's grain; a preview
    (read reduced) has the grain of the full print at the preview's size."""
    recipe = Recipe().updated({**FLAT, **TRI_X, "grain": {"strength": 1.0, "format": "4x5"}})

    def grain_of(rgb, factor=1):
        delta = (render(rgb, recipe) - render(rgb, recipe.updated({"grain": {"strength": 0}})))[:, :, 0]
        h, w = delta.shape
        return delta.reshape(h // factor, factor, w // factor, factor).mean(axis=(1, 3)).std()

    small, large = grain_of(grey(300, 400)), grain_of(grey(600, 800), 2)
    assert abs(large / small - 1) < 0.05
    path = save(vips_image(np.full((600, 800, 3), 118, np.uint8)), tmp_path / "grey.png")
    preview = read_photo(path, max_size=400)
    assert preview.pixels.shape[:2] == (300, 400)
    assert abs(grain_of(preview.pixels) / small - 1) < 0.05
    assert abs(grain_of(read_photo(path).pixels, 2) / small - 1) < 0.05


@pytest.mark.parametrize("layer", [{}, {"toning": {"toner": "gold"}}, {"print": {"curve": "clip"}}])
@pytest.mark.parametrize("tile", [16, 37])
def test_grain_in_tiles_gives_the_whole_images_bits(layer, tile):
    rgb = (np.random.default_rng(4).random((150, 230, 3)) ** 2).astype(np.float32)
    recipe = Recipe().updated({**TRI_X, "local_contrast": {"radius": 5}, **layer})
    tiles = tiled.render_dask(da.from_array(rgb, chunks=(tile, tile, 3)), recipe).compute(scheduler="threads")
    assert np.array_equal(bits(tiles), bits(render(rgb, recipe)))


@pytest.mark.parametrize("toner", ["none", "selenium"])
def test_a_tiled_grainy_print_is_the_whole_print_and_carries_its_recipe(tmp_path, toner):
    path = save(vips_image(scene(90, 130, dtype=np.uint16)), tmp_path / "scan.tif")
    recipe = Recipe().updated({**TRI_X, "local_contrast": {"strength": 0}, "toning": {"toner": toner}})
    whole = ostrel.convert_file(path, tmp_path / "whole.tif", recipe)
    report = ostrel.convert_files([path], tmp_path / "tiles", recipe, tiling=ostrel.batch.Tiling(force=True, tile=32))
    assert report.converted == 1, report.outcomes
    printed = tmp_path / "tiles" / "scan.tif"
    assert np.array_equal(read_samples(printed), read_samples(whole))
    assert ostrel.read_recipe(printed) == recipe == ostrel.read_recipe(whole)


def test_flags_reach_the_grain_and_the_recipe_round_trips(tmp_path, capsys):
    path = save(vips_image(scene(20, 30)), tmp_path / "in.png")
    flags = ["--grain", "1.5", "--granularity", "17", "--grain-format", "6x7", "--grain-seed", "4000000000"]
    assert main(["convert", str(path), "-o", str(tmp_path / "out"), *flags]) == 0
    grain = ostrel.read_recipe(tmp_path / "out" / "in.tif").grain
    assert (grain.strength, grain.granularity, grain.format, grain.seed) == (1.5, 17.0, "6x7", 4000000000)
    capsys.readouterr()
    assert main(["recipe", *flags]) == 0
    text = capsys.readouterr().out
    assert "[grain]" in text and Recipe.from_toml(text).grain == grain
    assert main(["recipe", "--grain-format", "9x12"]) != 0


def test_the_zone_map_shows_the_tones_without_the_grain(tmp_path):
    from ostrel.preview import zone_map

    path = save(vips_image(scene(200, 300)), tmp_path / "in.png")
    zone_map(path, tmp_path / "plain.png", Recipe())
    zone_map(path, tmp_path / "grainy.png", Recipe().updated({"grain": {"strength": 4.0, "granularity": 40.0}}))
    assert (tmp_path / "plain.png").read_bytes() == (tmp_path / "grainy.png").read_bytes()
