# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="attr-defined"
"""Toned prints: RGB files with an sRGB profile at the grey print's luminance; untoned prints as before."""

from __future__ import annotations

import hashlib

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

BT709 = np.array([0.2126, 0.7152, 0.0722])
NO_DETAIL = {"local_contrast": {"strength": 0}}


def photo_rgb(height=24, width=32):
    rng = np.random.default_rng(19)
    return (rng.random((height, width, 3)) ** 2).astype(np.float32)


# The prints of the default recipe, PNG and uncompressed TIFF, as they were
# written before toning existed (the pixels, the grey profile and the stamp).
BEFORE_TONING = {
    ("png", 16): "3801362c361271552e761da18cec8a3dd971c58be910efad10c079db7a95225d",
    ("tiff", 16): "8384a850f95dd857bc5d27b3ec72479dcb1c4171434dd794d00911cbd7f70920",
}


@pytest.mark.parametrize(("fmt", "bits"), list(BEFORE_TONING))
def test_an_untoned_recipe_writes_the_grey_print_byte_for_byte_as_before(fmt, bits):
    recipe = Recipe().updated({"output": {"format": fmt, "bits": bits}})
    data = ostrel.print_bytes(render(photo_rgb(), recipe, exposure=0.0), recipe.output, recipe_text=recipe.to_toml())
    assert hashlib.sha256(data).hexdigest() == BEFORE_TONING[(fmt, bits)]
    assert "[toning]" not in recipe.to_toml() and "[toning]" in recipe.to_toml(full=True)


def linear_luminance(codes, top):
    return srgb_decode_float(codes.astype(np.float64) / top) @ BT709


def srgb_decode_float(v):
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


@pytest.mark.parametrize(("fmt", "bits"), [("tiff", 16), ("tiff", 8), ("png", 16), ("png", 8), ("jpeg", 8)])
def test_toned_prints_are_srgb_files_with_the_stamp_and_dpi(tmp_path, fmt, bits):
    source = save(vips_image(scene(30, 40)).copy(xres=300 / 25.4, yres=300 / 25.4), tmp_path / "in.png")
    recipe = Recipe().updated({"toning": {"toner": "sepia"}, "output": {"format": fmt, "bits": bits}})
    target = tmp_path / f"out{recipe.output.extension}"
    ostrel.convert_file(source, target, recipe)
    image = pyvips.Image.new_from_file(str(target))
    assert image.bands == 3 and image.format == ("ushort" if bits == 16 else "uchar")
    assert bytes(image.get("icc-profile-data")) == bytes(pyvips.Image.profile_load("srgb"))
    assert ostrel.read_recipe(target) == recipe
    assert round(image.xres * 25.4) == 300
    assert not list(tmp_path.glob("*.ostrel-tmp"))


# A 16-bit toned print's luminance, decoded from its codes, is the grey
# print's within the rounding of the codes: half a code on each side, at the
# steepest slope of the sRGB decoding (2.4 / 1.055 at white), 3.5e-5 in linear
# light. The float print before rounding keeps it within 2^-20 (test_tone_print).
CODE_LUMINANCE_BOUND = 2 * 0.5 / 65535 * 2.4 / 1.055


@pytest.mark.parametrize("toner", ["sepia", "selenium", "gold", "platinum", "cyanotype", "split"])
def test_the_toned_print_has_the_grey_prints_luminance(toner):
    grey_pixels = srgb_decode(np.arange(256, dtype=np.uint8)).astype(np.float32)
    rgb = np.repeat(grey_pixels[None, :, None], 3, axis=2).copy()
    recipe = Recipe().updated(NO_DETAIL)
    grey = quantize(render(rgb, recipe), 16)[0]
    toned = quantize(render(rgb, recipe.updated({"toning": {"toner": toner}})), 16)[0]
    assert toned.shape == (256, 3)
    difference = linear_luminance(toned, 65535.0) - srgb_decode_float(grey / 65535.0)
    assert np.abs(difference).max() <= CODE_LUMINANCE_BOUND
    assert np.ptp(toned[128].astype(int)) > 256  # and it is coloured


def test_strength_zero_writes_equal_channels_of_the_grey_print(tmp_path):
    recipe = Recipe().updated({"toning": {"toner": "cyanotype", "strength": 0}, "output": {"format": "png"}})
    plane = render(photo_rgb(), recipe, exposure=0.0)
    codes = read_samples(ostrel.write_print(plane, tmp_path / "p.png", recipe.output))
    grey = quantize(render(photo_rgb(), Recipe(), exposure=0.0), 16)
    for c in range(3):
        assert np.array_equal(codes[:, :, c], grey)


SHAPES = [(150, 230), (1, 200), (97, 61)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("tile", [16, 37])
def test_toning_in_tiles_gives_the_whole_images_bits(shape, tile):
    rgb = photo_rgb(*shape)
    recipe = Recipe().updated({**NO_DETAIL, "toning": {"toner": "split", "balance": 0.4}})
    tiles = tiled.render_dask(da.from_array(rgb, chunks=(tile, tile, 3)), recipe).compute(scheduler="threads")
    assert np.array_equal(tiles.view(np.uint32), render(rgb, recipe).view(np.uint32))


def test_a_tiled_toned_print_is_the_whole_print(tmp_path):
    path = save(vips_image(scene(90, 130, dtype=np.uint16)), tmp_path / "scan.tif")
    recipe = Recipe().updated({"toning": {"toner": "gold"}, "local_contrast": {"radius": 6}})
    whole = ostrel.convert_file(path, tmp_path / "whole.tif", recipe)
    report = ostrel.convert_files([path], tmp_path / "tiles", recipe, tiling=ostrel.batch.Tiling(force=True, tile=32))
    assert report.converted == 1, report.outcomes
    printed = tmp_path / "tiles" / "scan.tif"
    assert np.abs(read_samples(printed).astype(int) - read_samples(whole).astype(int)).max() <= 1
    image = pyvips.Image.new_from_file(str(printed))
    assert image.bands == 3 and bytes(image.get("icc-profile-data")) == bytes(pyvips.Image.profile_load("srgb"))
    assert ostrel.read_recipe(printed) == recipe


def test_flags_reach_the_toning(tmp_path):
    path = save(vips_image(scene(20, 30)), tmp_path / "in.png")
    argv = [
        "convert",
        str(path),
        "-o",
        str(tmp_path / "out"),
        "--toner",
        "split",
        "--highlight-hue",
        "30",
        "--shadow-hue",
        "200",
        "--tone-balance",
        "-0.5",
        "--tone-strength",
        "0.6",
    ]
    assert main(argv) == 0
    printed = tmp_path / "out" / "in.tif"
    assert read_samples(printed).shape == (20, 30, 3)
    toning = ostrel.read_recipe(printed).toning
    assert (toning.toner, toning.highlight_hue, toning.shadow_hue, toning.balance, toning.strength) == (
        "split",
        30.0,
        200.0,
        -0.5,
        0.6,
    )


# --- presets: each description is a claim ------------------------------------


def patches(*linear):
    values = np.array(linear, np.float32)
    return np.repeat(values[None, :, None], 3, axis=2).copy()


def printed(preset, values):
    return quantize(render(patches(*values), get_preset(preset).recipe.updated(NO_DETAIL)), 8)[0].astype(int)


def test_selenium_cools_the_deep_shadows_and_leaves_the_highlights():
    deep, light, white = printed("selenium", [0.01, 0.6, 1.0])
    assert deep[0] > deep[2] > deep[1]  # purple-brown: red, then blue, over green
    assert np.ptp(deep) >= 4 and np.ptp(light) <= 2 and np.ptp(white) == 0


def test_sepia_is_warm_from_shadows_to_highlights_with_white_kept():
    codes = printed("sepia", [0.01, 0.05, 0.18, 0.5, 0.8, 1.0])
    for r, g, b in codes[:-1]:
        assert r > g > b
    assert codes[-1].tolist() == [255, 255, 255]


@pytest.mark.parametrize("preset", ["selenium", "sepia"])
def test_toned_presets_keep_the_grey_prints_tones(preset):
    values = np.geomspace(0.003, 1.0, 40)
    recipe = get_preset(preset).recipe.updated(NO_DETAIL)
    toned = quantize(render(patches(*values), recipe), 16)[0]
    grey = quantize(render(patches(*values), recipe.updated({"toning": {"toner": "none"}})), 16)[0]
    assert np.abs(linear_luminance(toned, 65535.0) - srgb_decode_float(grey / 65535.0)).max() <= CODE_LUMINANCE_BOUND


def test_the_sheet_shows_toned_presets_in_colour(tmp_path):
    path = save(vips_image(scene(60, 90)), tmp_path / "in.png")
    assert (
        main(["sheet", str(path), "-o", str(tmp_path / "sheet.png"), "--presets", "neutral,sepia", "--tile", "64"]) == 0
    )
    sheet = read_samples(tmp_path / "sheet.png").astype(int)
    assert sheet.shape[2] == 3
    assert (sheet[:, :, 0] - sheet[:, :, 2]).max() > 20  # the sepia tile is warm
