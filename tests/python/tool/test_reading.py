# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Decoding photos to scene-linear RGB: formats, depths, orientation, ICC profiles, damage."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from conftest import exif_block, save, scene, srgb_decode, vips_image, with_metadata
from ostrel import PhotoReadError, Recipe, read_image, read_photo

pyvips = pytest.importorskip("pyvips")


@pytest.mark.parametrize(
    ("suffix", "dtype", "grey", "alpha"),
    [
        (".png", np.uint8, False, False),
        (".png", np.uint16, False, False),
        (".tif", np.uint8, False, False),
        (".tif", np.uint16, False, False),
        (".png", np.uint8, True, False),
        (".png", np.uint16, True, False),
        (".tif", np.uint16, True, False),
        (".png", np.uint8, False, True),
        (".png", np.uint16, True, True),
        (".webp", np.uint8, False, False),
    ],
)
def test_lossless_files_decode_to_the_srgb_curve(tmp_path, suffix, dtype, grey, alpha):
    codes = scene(dtype=dtype)
    if grey:
        codes = codes[:, :, 1]
    image = vips_image(codes)
    if alpha:
        image = image.bandjoin(image.extract_band(0))  # an alpha channel with content: must be dropped
    options = {"lossless": True} if suffix == ".webp" else {}
    path = save(image, tmp_path / f"photo{suffix}", **options)

    pixels = read_image(path)

    assert pixels.dtype == np.float32 and pixels.shape == (40, 56, 3) and pixels.flags.c_contiguous
    expected = srgb_decode(codes if not grey else np.repeat(codes[:, :, None], 3, axis=2))
    # libvips decodes through tables of the same curve; 16-bit files keep their 65536 levels.
    np.testing.assert_allclose(pixels, expected, rtol=0, atol=2e-6 if dtype == np.uint8 else 2e-5)
    if grey:
        assert np.array_equal(pixels[:, :, 0], pixels[:, :, 1]) and np.array_equal(pixels[:, :, 1], pixels[:, :, 2])


def test_sixteen_bit_files_keep_more_than_256_levels(tmp_path):
    ramp = np.linspace(0, 65535, 4096).astype(np.uint16).reshape(64, 64)
    pixels = read_image(save(vips_image(ramp), tmp_path / "ramp.tif"))
    assert len(np.unique(pixels)) == 4096


# EXIF orientation -> what NumPy does to the stored pixels to make them upright.
ORIENTATIONS = {
    1: lambda a: a,
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1],
    5: lambda a: np.transpose(a, (1, 0, 2)),
    6: lambda a: np.rot90(a, k=-1),
    7: lambda a: np.rot90(a, k=-1)[::-1],
    8: lambda a: np.rot90(a, k=1),
}


@pytest.mark.parametrize("orientation", sorted(ORIENTATIONS))
def test_orientation_is_applied_first(tmp_path, orientation):
    codes = scene()
    stored = with_metadata(vips_image(codes), orientation=orientation)
    pixels = read_image(save(stored, tmp_path / "turned.tif"))
    np.testing.assert_allclose(pixels, ORIENTATIONS[orientation](srgb_decode(codes)), atol=2e-6)


def test_jpeg_with_exif_orientation_6_comes_out_upright(tmp_path):
    codes = scene(80, 120)
    plain = save(vips_image(codes), tmp_path / "plain.jpg", Q=95)
    turned = save(with_metadata(vips_image(codes), exif=exif_block(orientation=6)), tmp_path / "turned.jpg", Q=95)
    upright = read_image(plain)
    rotated = read_image(turned)
    assert rotated.shape == (120, 80, 3)
    # Same encoder, same pixels: the turned file is the plain one turned clockwise.
    np.testing.assert_array_equal(rotated, np.rot90(upright, k=-1))


def _p3_codes(codes: np.ndarray) -> tuple[object, np.ndarray]:
    """The same scene stored as Display P3 (16-bit, profile embedded)."""
    srgb = vips_image(codes)
    p3 = srgb.icc_transform("p3", input_profile="srgb", depth=16)
    return p3, p3.numpy()


def test_display_p3_file_gives_the_light_of_the_same_scene_in_srgb(tmp_path):
    codes = scene(dtype=np.uint16)
    p3, _ = _p3_codes(codes)
    from_srgb = read_image(save(vips_image(codes), tmp_path / "srgb.png"))
    from_p3 = read_image(save(p3, tmp_path / "p3.png"))
    np.testing.assert_allclose(from_p3, from_srgb, atol=1.5e-3)


def test_colours_outside_srgb_are_not_clipped(tmp_path):
    # Pure Display P3 primaries in 16 bits: their linear sRGB values lie outside
    # [0, 1], and the luminance of a B&W print depends on them.
    primaries = np.array([[[65535, 0, 0], [0, 65535, 0], [0, 0, 65535]]], np.uint16)
    image = vips_image(primaries)
    image.set_type(pyvips.GValue.blob_type, "icc-profile-data", pyvips.Image.profile_load("p3"))
    pixels = read_image(save(image, tmp_path / "p3.png")).astype(np.float64)
    # Linear Display P3 to linear sRGB (both D65): columns are the P3 primaries in sRGB.
    p3_to_srgb = np.array([[1.2249, -0.2247, 0.0], [-0.0420, 1.0419, 0.0], [-0.0197, -0.0786, 1.0979]])
    np.testing.assert_allclose(pixels[0], p3_to_srgb.T, atol=6e-3)
    assert pixels.min() < -0.03  # negative components survive


def test_srgb_tagged_file_takes_the_direct_srgb_decode(tmp_path):
    codes = scene()
    tagged = vips_image(codes)
    tagged.set_type(pyvips.GValue.blob_type, "icc-profile-data", pyvips.Image.profile_load("srgb"))
    untagged = read_image(save(vips_image(codes), tmp_path / "plain.png"))
    assert np.array_equal(read_image(save(tagged, tmp_path / "tagged.png")), untagged)


def test_cmyk_file_goes_through_its_profile(tmp_path):
    codes = scene()
    cmyk = vips_image(codes).icc_transform("cmyk", input_profile="srgb")
    assert cmyk.bands == 4
    pixels = read_image(save(cmyk, tmp_path / "cmyk.tif"))
    luminance = pixels @ np.array([0.2126, 0.7152, 0.0722], np.float32)
    expected = srgb_decode(codes) @ np.array([0.2126, 0.7152, 0.0722])
    # A print gamut loses saturation, not the tonal order.
    assert np.corrcoef(luminance.ravel(), expected.ravel())[0, 1] > 0.97


def test_metadata_is_kept_from_the_photo(tmp_path):
    block = exif_block(orientation=6)
    path = save(with_metadata(vips_image(scene()), exif=block, xmp=b"<x:xmpmeta/>"), tmp_path / "meta.jpg")
    photo = read_photo(path)
    assert photo.metadata.exif is not None and photo.metadata.xmp is not None
    assert photo.metadata.exif_tags().exif[0x9003].value == "2021:05:06 07:08:09"


@pytest.mark.parametrize(
    ("make", "reason"),
    [
        (lambda p: p.write_text("not a photo at all"), "not an image format"),
        (
            lambda p: p.write_bytes(save(vips_image(scene(200, 300)), p.with_name("whole.jpg")).read_bytes()[:3000]),
            "truncated",
        ),
        (lambda p: p.mkdir(), "is a folder"),
        (lambda p: None, "no such file"),
    ],
    ids=["text-named-jpg", "truncated-jpeg", "folder", "missing"],
)
def test_unreadable_inputs_raise_with_path_and_reason(tmp_path, make, reason):
    path = tmp_path / "photo.jpg"
    make(path)
    with pytest.raises(PhotoReadError) as caught:
        read_image(path)
    assert caught.value.path == path and reason in caught.value.reason


def test_max_size_reduces_in_linear_light(tmp_path):
    codes = np.zeros((40, 80, 3), np.uint8)
    codes[:, ::2] = 255  # alternate white and black columns: average light is 0.5
    photo = read_photo(save(vips_image(codes), tmp_path / "stripes.png"), max_size=40)
    assert photo.pixels.shape == (20, 40, 3) and photo.scale == pytest.approx(0.5)
    np.testing.assert_allclose(photo.pixels[:, 1:-1], 0.5, atol=1e-3)  # not 0.214, the mean of the codes


# -- camera RAW -------------------------------------------------------------------------------------

XYZ_TO_LINEAR_SRGB = np.array([[3.2406, -1.5372, -0.4986], [-0.9689, 1.8758, 0.0415], [0.0557, -0.2040, 1.0570]])


def write_dng(path: Path, rgb: np.ndarray, baseline: float | None = None) -> Path:
    """A minimal DNG of linear RGB in [0, 1], mosaicked RGGB, white level 4095 above black 64
    (with a BaselineExposure tag when `baseline` is given, in stops)."""
    tifffile = pytest.importorskip("tifffile")
    black, white = 64, 4095
    height, width, _ = rgb.shape
    mosaic = np.empty((height, width), np.float64)
    mosaic[0::2, 0::2] = rgb[0::2, 0::2, 0]
    mosaic[0::2, 1::2] = rgb[0::2, 1::2, 1]
    mosaic[1::2, 0::2] = rgb[1::2, 0::2, 1]
    mosaic[1::2, 1::2] = rgb[1::2, 1::2, 2]
    samples = np.rint(black + mosaic * (white - black)).astype(np.uint16)

    def srational(values: np.ndarray) -> list[int]:
        return [int(v) for value in values.ravel() for v in (round(value * 10000), 10000)]

    tags = [
        (50706, "B", 4, (1, 4, 0, 0)),  # DNGVersion
        (50707, "B", 4, (1, 1, 0, 0)),  # DNGBackwardVersion
        (50708, "s", 0, "Test Camera"),  # UniqueCameraModel
        (271, "s", 0, "Ostrel Optics"),  # Make
        (272, "s", 0, "Test Camera"),  # Model
        (36867, "s", 0, "2020:02:03 04:05:06"),  # DateTimeOriginal, in IFD0 as some writers put it
        (33421, "H", 2, (2, 2)),  # CFARepeatPatternDim
        (33422, "B", 4, (0, 1, 1, 2)),  # CFAPattern RGGB
        (50714, "H", 1, (black,)),  # BlackLevel
        (50717, "H", 1, (white,)),  # WhiteLevel
        (50778, "H", 1, (21,)),  # CalibrationIlluminant1 = D65
        (50728, "2I", 3, (1, 1, 1, 1, 1, 1)),  # AsShotNeutral
        (50721, "2i", 9, srational(XYZ_TO_LINEAR_SRGB)),  # ColorMatrix1
    ]
    if baseline is not None:
        tags.append((50730, "2i", 1, srational(np.array([baseline]))))  # BaselineExposure
    tifffile.imwrite(path, samples, photometric=32803, extratags=tags, subfiletype=0)
    return path


@pytest.mark.parametrize("name", ["scene.dng", "scene-named-like-a.tif"])
def test_camera_raw_is_developed_to_linear_srgb(tmp_path, name):
    pytest.importorskip("rawpy")
    rgb = np.clip(srgb_decode(scene(64, 96)), 0.02, 0.9)  # keep the mosaic away from clipping
    path = write_dng(tmp_path / name, rgb)
    pixels = read_image(path)
    assert pixels.shape == rgb.shape and pixels.dtype == np.float32
    means = pixels.reshape(-1, 3).mean(axis=0)
    np.testing.assert_allclose(means, rgb.reshape(-1, 3).mean(axis=0), rtol=0.005)


def test_forced_tiles_leave_camera_raw_files_to_libraw(tmp_path):
    pytest.importorskip("rawpy")
    pytest.importorskip("dask")
    from ostrel import convert_files
    from ostrel.batch import Tiling

    rgb = np.clip(srgb_decode(scene(64, 96)), 0.02, 0.9)
    dng = write_dng(tmp_path / "scan-named-like-a.tif", rgb)
    report = convert_files([dng], tmp_path / "tiles", tiling=Tiling(force=True, tile=32))
    whole = convert_files([dng], tmp_path / "whole")
    assert report.converted == whole.converted == 1
    tiled_print = pyvips.Image.new_from_file(str(tmp_path / "tiles" / "scan-named-like-a.tif"))
    assert "tile-width" not in tiled_print.get_fields()  # developed whole, not read as a grey mosaic
    assert (tmp_path / "tiles" / dng.with_suffix(".tif").name).read_bytes() == (
        tmp_path / "whole" / dng.with_suffix(".tif").name
    ).read_bytes()


def test_camera_raw_metadata_reaches_the_print_as_xmp(tmp_path):
    pytest.importorskip("rawpy")
    from ostrel import convert_file

    dng = write_dng(tmp_path / "scene.dng", np.full((32, 48, 3), 0.3))
    printed = convert_file(dng, tmp_path / "print.jpg", Recipe().updated({"output": {"format": "jpeg"}}))
    xmp = bytes(pyvips.Image.new_from_file(str(printed)).get("xmp-data")).decode()
    assert "<tiff:Make>Ostrel Optics</tiff:Make>" in xmp and "<tiff:Model>Test Camera</tiff:Model>" in xmp
