# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Writing prints: samples, depth, ICC profile, carried metadata, the stamped recipe, atomicity."""

from __future__ import annotations

import os
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from conftest import XMP_PACKET, exif_block, read_samples, save, scene, srgb_encode, vips_image, with_metadata
from ostrel import FilterStep, LocalContrast, Output, Recipe, read_photo, read_recipe, render, write_print
from ostrel.exif import parse_exif_block
from ostrel.rendering import luminance, quantize

pyvips = pytest.importorskip("pyvips")


def plane(height: int = 24, width: int = 32) -> np.ndarray:
    values = np.linspace(-0.1, 1.1, height * width, dtype=np.float32).reshape(height, width, 1)
    values[0, :4, 0] = [np.nan, np.inf, -np.inf, 0.5]
    return values


@pytest.mark.parametrize(
    ("bits", "expected"),
    [(16, [0, 65535, 0, 32768, 0, 65535]), (8, [0, 255, 0, 128, 0, 255])],
)
def test_quantize_clips_and_rounds_to_nearest(bits, expected):
    values = np.array([np.nan, np.inf, -np.inf, 0.5, -0.2, 1.7], np.float32).reshape(1, 6, 1)
    assert quantize(values, bits).ravel().tolist() == expected
    # Nearest code of the exact product, even where float32 arithmetic would round it across a half.
    ramp = np.random.default_rng(1).random(100_000, dtype=np.float32)
    top = 65535 if bits == 16 else 255
    exact = ramp.astype(np.float64) * top  # exact: 24 + 16 significant bits
    assert np.array_equal(quantize(ramp, bits).ravel().astype(np.float64), np.floor(exact + 0.5))


@pytest.mark.parametrize(
    ("fmt", "bits", "compression", "dtype"),
    [
        ("tiff", 16, "none", np.uint16),
        ("tiff", 16, "deflate", np.uint16),
        ("tiff", 8, "lzw", np.uint8),
        ("png", 16, "none", np.uint16),
        ("png", 8, "none", np.uint8),
        ("jpeg", 8, "none", np.uint8),
    ],
)
def test_print_is_one_grey_channel_with_the_srgb_grey_profile(tmp_path, fmt, bits, compression, dtype):
    output = Output(format=fmt, bits=bits, compression=compression)
    path = write_print(plane(), tmp_path / f"print{output.extension}", output)
    image = pyvips.Image.new_from_file(str(path))
    samples = image.numpy()
    assert image.bands == 1 and samples.dtype == dtype and samples.shape == (24, 32)
    expected = quantize(plane(), bits)
    if fmt == "jpeg":  # lossy: compare away from the planted NaN and infinities
        assert np.abs(samples[8:].astype(int) - expected[8:].astype(int)).max() <= 3  # past the first 8x8 blocks
    else:
        assert np.array_equal(samples, expected)
    assert bytes(image.get("icc-profile-data")) == bytes(pyvips.Image.profile_load("sgrey"))


# Luma coefficients and filter transmissions, written out here rather than
# taken from the module: the print must follow the photographic definitions.
COEFFICIENTS = {"Bt601": (0.299, 0.587, 0.114), "Bt709": (0.2126, 0.7152, 0.0722), "Bt2020": (0.2627, 0.678, 0.0593)}
TRANSMISSIONS = {
    "NoFilter": (1.0, 1.0, 1.0),
    "Yellow8K2": (1.0, 0.9, 0.3),
    "Orange21": (1.0, 0.55, 0.1),
    "Red25A": (1.0, 0.1, 0.02),
    "Green11X1": (0.2, 1.0, 0.3),
    "Blue47C5": (0.1, 0.3, 1.0),
}


@pytest.mark.parametrize(
    ("filter_name", "standard"),
    [(name, "Bt709") for name in TRANSMISSIONS]
    + [("NoFilter", "Bt2020"), ("Red25A", "Bt601"), ("Green11X1", "Bt2020")],
)
def test_print_of_a_srgb_scene_is_its_metered_filtered_luminance(tmp_path, photo_png, filter_name, standard):
    recipe = Recipe(luminance=FilterStep(filter_name, standard), zones={}, local_contrast=LocalContrast(strength=0))
    photo = read_photo(photo_png)
    path = write_print(render(photo.pixels, recipe), tmp_path / "p.tif", recipe.output)
    weights = np.array(COEFFICIENTS[standard]) * np.array(TRANSMISSIONS[filter_name])
    # The filter factor is metered away: a neutral grey keeps its tone.
    linear = photo.pixels.astype(np.float64) @ (weights / weights.sum())
    expected = np.floor(srgb_encode(linear) * 65535 + 0.5)
    assert np.abs(read_samples(path).astype(np.float64) - expected).max() <= 2


@pytest.mark.parametrize("standard", list(COEFFICIENTS))
def test_a_neutral_grey_prints_the_same_through_every_filter(standard):
    grey = np.repeat(np.geomspace(1e-4, 4.0, 301, dtype=np.float32)[None, :, None], 3, axis=2)
    grey[0, -1] = 1.0
    unfiltered = luminance(grey, FilterStep("NoFilter", standard))[..., 0]
    for name in TRANSMISSIONS:
        metered = luminance(grey, FilterStep(name, standard))[..., 0]
        assert np.array_equal(quantize(metered[..., None], 16), quantize(unfiltered[..., None], 16)), name
        if name != "NoFilter":
            assert metered[0, -1] == 1.0, name  # white stays exactly white
            assert np.abs(metered / grey[..., 0] - 1).max() < 4e-7, name


def _xmp(image) -> ET.Element:
    text = bytes(image.get("xmp-data")).decode()
    return ET.fromstring(text[text.index("<x:xmpmeta") : text.rindex("</x:xmpmeta>") + 12])


NS = {
    "rdf": "http://www.w3.org/1999/02/22-rdf-syntax-ns#",
    "exif": "http://ns.adobe.com/exif/1.0/",
    "tiff": "http://ns.adobe.com/tiff/1.0/",
    "dc": "http://purl.org/dc/elements/1.1/",
}


def _xmp_value(root: ET.Element, prefix: str, name: str) -> str | None:
    key = f"{{{NS[prefix]}}}{name}"
    for description in root.iter(f"{{{NS['rdf']}}}Description"):
        if key in description.attrib:
            return description.attrib[key]
        child = description.find(key)
        if child is not None:
            return child.text if child.text and child.text.strip() else "".join(child.itertext())
    return None


@pytest.fixture
def camera_jpeg(tmp_path):
    thumbnail = vips_image(scene(8, 8)).jpegsave_buffer()
    block = exif_block(orientation=6, thumbnail=thumbnail)
    image = with_metadata(vips_image(scene(40, 56)), exif=block, xmp=XMP_PACKET)
    return save(image, tmp_path / "camera.jpg", Q=95)


@pytest.mark.parametrize("fmt", ["jpeg", "png"])
def test_exif_block_is_carried_upright_and_without_thumbnail(tmp_path, camera_jpeg, fmt):
    photo = read_photo(camera_jpeg)
    output = Output(format=fmt, bits=8)
    path = write_print(
        np.full((56, 40, 1), 0.5, np.float32), tmp_path / f"p{output.extension}", output, metadata=photo.metadata
    )
    image = pyvips.Image.new_from_file(str(path))
    tags = parse_exif_block(bytes(image.get("exif-data")))
    assert tags.exif[0x9003].value == "2021:05:06 07:08:09"  # DateTimeOriginal
    assert tags.ifd0[0x0110].value == "Test Camera"
    assert tags.ifd0[0x0112].value == (1,)  # orientation normal: the pixels are upright
    assert "jpeg-thumbnail-data" not in image.get_fields()
    xmp = _xmp(image)
    assert _xmp_value(xmp, "dc", "creator") == "Ansel Tester"
    assert _xmp_value(xmp, "tiff", "Orientation") == "1"


def test_tiff_print_restates_exif_in_xmp(tmp_path, camera_jpeg):
    photo = read_photo(camera_jpeg)
    path = write_print(np.full((56, 40, 1), 0.5, np.float32), tmp_path / "p.tif", metadata=photo.metadata)
    xmp = _xmp(pyvips.Image.new_from_file(str(path)))
    assert _xmp_value(xmp, "exif", "DateTimeOriginal") == "2021-05-06T07:08:09"
    assert _xmp_value(xmp, "exif", "ExposureTime") == "1/125"
    assert _xmp_value(xmp, "exif", "ISOSpeedRatings") == "200"
    assert _xmp_value(xmp, "tiff", "Model") == "Test Camera"
    assert _xmp_value(xmp, "tiff", "Orientation") == "1"
    assert _xmp_value(xmp, "dc", "creator") == "Ansel Tester"


@pytest.mark.parametrize("fmt", ["tiff", "png", "jpeg"])
def test_recipe_is_stamped_and_read_back(tmp_path, fmt):
    recipe = Recipe().updated(
        {"zones": {"4": 0.25}, "output": {"format": fmt}, "luminance": {"mixer": [0.5, 0.3, 0.2]}}
    )
    path = write_print(plane(), tmp_path / f"p{recipe.output.extension}", recipe.output, recipe_text=recipe.to_toml())
    assert read_recipe(path) == recipe


def test_a_file_without_a_recipe_says_so(photo_png):
    from ostrel import PhotoReadError

    with pytest.raises(PhotoReadError, match="holds no ostrel recipe"):
        read_recipe(photo_png)


def test_failed_write_leaves_the_old_print_and_no_temporary(tmp_path, monkeypatch):
    from ostrel import PrintWriteError, writing

    target = tmp_path / "p.tif"
    target.write_bytes(b"the previous print")

    def broken_save(image, path, output, recipe_text):
        path.write_bytes(b"half a file")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(writing, "save", broken_save)
    with pytest.raises(PrintWriteError, match="No space left on device"):
        write_print(plane(), target)
    assert target.read_bytes() == b"the previous print"
    assert os.listdir(tmp_path) == ["p.tif"]


def test_prints_get_ordinary_file_permissions(tmp_path):
    old = os.umask(0o022)
    try:
        path = write_print(plane(), tmp_path / "p.png", Output(format="png"))
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o644
