# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return, index"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Phone photos, print resolution, inputs never overwritten, ostrel's own prints, the library surface."""

from __future__ import annotations

import hashlib
import io
from pathlib import Path

import numpy as np
import pytest

import ostrel
from conftest import exif_block, read_samples, save, scene, srgb_decode, vips_image, with_metadata
from ostrel import _deps
from ostrel.cli import main
from ostrel.errors import MissingDependencyError
from ostrel.exif import parse_exif_block

pyvips = pytest.importorskip("pyvips")
pillow_heif = pytest.importorskip("pillow_heif")
tifffile = pytest.importorskip("tifffile")
Image = pytest.importorskip("PIL.Image")


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main([str(a) for a in argv], out=out, err=err)
    return code, out.getvalue(), err.getvalue()


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


# -- HEIC ------------------------------------------------------------------


def phone_heic(path: Path, stored: np.ndarray, orientation: int = 6) -> Path:
    """A HEIC as a phone writes it: landscape samples, a rotation in the file and in EXIF, Display P3."""
    heif = pillow_heif.HeifFile()
    image = heif.add_frombytes("RGB", (stored.shape[1], stored.shape[0]), stored.tobytes())
    image.info["exif"] = exif_block(orientation=orientation, model="Phone 13 Pro Max")
    image.info["icc_profile"] = bytes(pyvips.Image.profile_load("p3"))
    image.info["icc_profile_type"] = "prof"
    heif.save(str(path), quality=-1, chroma=444)  # lossless, full chroma
    return path


def test_portrait_heic_is_upright_once_and_colour_managed(tmp_path):
    stored = scene(40, 56)  # landscape as stored; the red patch is at the top left
    heic = phone_heic(tmp_path / "IMG_0001.HEIC", stored)
    photo = ostrel.read_photo(heic)
    assert (photo.height, photo.width) == (56, 40)  # turned once: portrait
    # The same samples as a Display P3 PNG, turned by hand (orientation 6 is 90 degrees clockwise).
    turned = np.ascontiguousarray(np.rot90(stored, k=-1))
    p3 = vips_image(turned).copy()
    p3.set_type(pyvips.GValue.blob_type, "icc-profile-data", bytes(pyvips.Image.profile_load("p3")))
    reference = ostrel.read_photo(save(p3, tmp_path / "reference.png")).pixels
    assert np.abs(photo.pixels - reference).max() < 0.03  # HEVC's 4:2:0 chroma, even at its best
    # Through its profile: P3 red is redder than the same codes read as sRGB.
    assert photo.pixels[:8, -8:, 0].mean() - srgb_decode(stored[:8, :8, 0]).mean() > 0.1
    code, _, err = run("convert", heic, "-o", tmp_path / "out")
    assert code == 0, err
    assert read_samples(tmp_path / "out" / "IMG_0001.tif").shape == (56, 40)
    png = tmp_path / "png"
    assert run("convert", heic, "-o", png, "--format", "png")[0] == 0
    tags = parse_exif_block(pyvips.Image.new_from_file(str(png / "IMG_0001.png")).get("exif-data"))
    assert tags.ifd0[0x0112].value == (1,) and tags.ifd0[0x0110].value == "Phone 13 Pro Max"


# -- resolution -------------------------------------------------------------


@pytest.mark.parametrize("argv", [["--format", "tiff"], ["--format", "png"], ["--format", "jpeg"], ["--tiled"]])
@pytest.mark.parametrize("dpi", [300, 96])
def test_prints_keep_the_photo_resolution(tmp_path, argv, dpi):
    image = vips_image(scene()).copy(xres=dpi / 25.4, yres=dpi / 25.4)
    photo = save(image, tmp_path / "photo.tif", resunit="inch")
    assert run("convert", photo, "-o", tmp_path / "out", *argv)[0] == 0
    (made,) = (tmp_path / "out").iterdir()
    printed = pyvips.Image.new_from_file(str(made))
    assert printed.xres * 25.4 == pytest.approx(dpi, abs=0.01) and printed.yres * 25.4 == pytest.approx(dpi, abs=0.01)


@pytest.mark.parametrize(("compression", "tiled"), [("lzw", False), ("deflate", False), ("deflate", True)])
def test_compressed_tiff_prints_use_the_horizontal_predictor(tmp_path, photo_png, compression, tiled):
    argv = ["--compression", compression, *(["--tiled"] if tiled else [])]
    assert run("convert", photo_png, "-o", tmp_path / "out", *argv)[0] == 0
    with tifffile.TiffFile(tmp_path / "out" / "photo.tif") as tiff:
        assert tiff.pages[0].predictor == 2  # horizontal differencing


# -- never over an input --------------------------------------------------


@pytest.mark.parametrize("command", [["sheet", "--presets", "neutral,red"], ["zones"]])
@pytest.mark.parametrize("how", ["same name", "link to the photo", "photo through a link"])
def test_previews_never_write_over_their_input(tmp_path, command, how):
    photo = save(with_metadata(vips_image(scene()), exif=exif_block()), tmp_path / "photo.jpg")
    link = tmp_path / "link.jpg"
    link.symlink_to(photo)
    source, target = {"same name": (photo, photo), "link to the photo": (photo, link)}.get(how, (link, photo))
    before = digest(photo)
    code, out, err = run(command[0], source, "-o", target, *command[1:])
    assert code == 1 and "refused: this is the input photo" in err and "wrote" not in out
    assert digest(photo) == before and link.is_symlink()


def test_a_folder_converted_into_itself_twice(tmp_path):
    work = tmp_path / "work"
    for index, name in enumerate(["a.jpg", "b.png", "c.jpg"]):
        save(vips_image(scene(seed=index)), (work.mkdir(exist_ok=True), work / name)[1])
    assert run("convert", work, "-o", work)[0] == 0
    first = {name: digest(work / name) for name in ("a.tif", "b.tif", "c.tif")}
    code, out, _ = run("convert", work, "-o", work, "--dry-run")
    assert code == 0 and out.count("would leave out") == 3 and "3 ostrel prints left out" in out
    assert f"would leave out {work / 'a.tif'}: an ostrel print" in out
    code, out, err = run("convert", work, "-o", work)
    assert code == 0, err
    assert "converted 3, skipped 0, failed 0" in out
    assert {name: digest(work / name) for name in first} == first  # the same prints again
    code, out, _ = run("convert", work, "-o", work, "--skip-existing", "--format", "png")
    assert code == 1 and "b.png would overwrite an input" in (run("convert", work, "-o", work, "--format", "png")[2])
    # A photo's own TIFF is still an input: stamped files only are left out.
    assert ostrel.is_ostrel_print(work / "a.tif") and not ostrel.is_ostrel_print(work / "a.jpg")


def test_prints_of_each_format_are_recognised_and_photos_are_not(tmp_path, photo_png):
    for fmt in ("tiff", "png", "jpeg"):
        assert run("convert", photo_png, "-o", tmp_path / fmt, "--format", fmt)[0] == 0
        (made,) = (tmp_path / fmt).iterdir()
        assert ostrel.is_ostrel_print(made)
    assert run("convert", photo_png, "-o", tmp_path / "big", "--tiled")[0] == 0
    assert ostrel.is_ostrel_print(tmp_path / "big" / "photo.tif")  # a BigTIFF
    described = save(vips_image(scene()).copy(), tmp_path / "described.tif")
    assert not ostrel.is_ostrel_print(described) and not ostrel.is_ostrel_print(photo_png)


# -- one reason per file -------------------------------------------------------


def test_parallel_failures_each_carry_only_their_own_reason(tmp_path):
    whole = save(vips_image(scene(120, 160)), tmp_path / "whole.jpg").read_bytes()
    png = save(vips_image(scene(120, 160)), tmp_path / "whole.png").read_bytes()
    tiff = save(vips_image(scene(120, 160)), tmp_path / "whole.tif").read_bytes()
    bad = tmp_path / "bad"
    bad.mkdir()
    (bad / "cut-jpeg.jpg").write_bytes(whole[: len(whole) // 3])
    (bad / "cut-png.png").write_bytes(png[: len(png) // 2])
    (bad / "cut-tiff.tif").write_bytes(tiff[: len(tiff) // 2])
    names = ["cut-jpeg.jpg", "cut-png.png", "cut-tiff.tif"]
    for _ in range(4):
        code, _, err = run("convert", bad, "-o", tmp_path / "out", "-j", "3", "-q")
        lines = [line for line in err.splitlines() if line.startswith("error: ")]
        assert code == 1 and len(lines) == 3, err
        for line in lines:
            own = [name for name in names if name in line]
            assert len(own) == 1 and line.count("cut-") == line.count(own[0]), line


# -- messages -------------------------------------------------------------


@pytest.mark.parametrize(
    ("array", "kind", "words"),
    [
        (np.zeros((4, 4, 3), np.float64), TypeError, "float32 scene-linear RGB, not float64; use rgb.astype"),
        (np.zeros((4, 4, 3), np.uint8), TypeError, "not uint8; these look like sRGB codes: ostrel.from_srgb_array"),
        (np.zeros((4, 4), np.float32), ValueError, "(H, W, 3) array, not shape (4, 4); a grey (H, W) image"),
        ([[0.0]], TypeError, "not list"),
    ],
)
def test_render_says_what_array_it_takes(array, kind, words):
    with pytest.raises(kind) as caught:
        ostrel.render(array, ostrel.Recipe())
    assert words in str(caught.value)


def test_render_of_a_view_equals_render_of_its_copy():
    rgb = srgb_decode(scene(40, 56)).astype(np.float32)
    view = rgb[::-1, 5:45]
    assert not view.flags.c_contiguous
    recipe = ostrel.Recipe()
    assert np.array_equal(ostrel.render(view, recipe), ostrel.render(np.ascontiguousarray(view), recipe))


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["convert", "{photo}", "-o", "{tmp}/print.jpg"], "looks like a file name"),
        (["convert", "{photo}", "-o", "{tmp}/o", "--format", "png", "--compression", "lzw"], "TIFF prints are"),
        (["recipe", "--from", "{photo}", "--preset", "red"], "takes no recipe flags (got --preset)"),
        (["convert", "{photo}", "-o", "{tmp}/o", "--zones", "3=-0.3;7=0.2"], "separate the zones with commas"),
        (["zones", "{photo}", "-o", "{tmp}/z.png", "--zones", "3=-0.3 7=0.2"], "separate the zones with commas"),
    ],
)
def test_command_line_mistakes_are_usage_errors(tmp_path, photo_png, argv, message):
    code, _, err = run(*(a.format(photo=photo_png, tmp=tmp_path) for a in argv))
    assert code == 2 and message in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["photo.png"]


def test_tiled_without_the_dask_extra_is_a_usage_error(tmp_path, photo_png, monkeypatch):
    def missing():
        raise MissingDependencyError("dask", "dask", "tiled conversion of large images")

    monkeypatch.setattr(_deps, "dask_array", missing)
    code, _, err = run("convert", photo_png, "-o", tmp_path / "out", "--tiled")
    assert code == 2 and "pip install 'ostrel_core[dask]'" in err and not (tmp_path / "out").exists()


def test_zones_size_is_a_maximum(tmp_path, photo_png, capsys):
    with pytest.raises(SystemExit):
        main(["zones", "--help"])
    assert "at most PX pixels" in capsys.readouterr().out
    assert run("zones", photo_png, "-o", tmp_path / "z.png", "--size", "4000")[0] == 0
    assert pyvips.Image.new_from_file(str(tmp_path / "z.png")).width < 1000  # not enlarged to 4000


@pytest.mark.parametrize("name", ["print.tif", "print", "print.jpg"])
def test_convert_file_refuses_a_name_that_is_not_the_format(tmp_path, photo_png, name):
    recipe = ostrel.Recipe().updated({"output": {"format": "png"}})
    with pytest.raises(ostrel.PrintWriteError, match="recipe's output format is png: name it print.png"):
        ostrel.convert_file(photo_png, tmp_path / name, recipe)
    assert not (tmp_path / name).exists()
    assert ostrel.convert_file(photo_png, tmp_path / "print.png", recipe).read_bytes()[:4] == b"\x89PNG"


# -- the library surface -------------------------------------------------------


def test_reprs_are_short_and_notebooks_get_pngs(photo_png):
    big = vips_image(scene(1300, 1500))
    photo = ostrel.read_photo(photo_png)
    made = ostrel.make_print(photo, ostrel.get_preset("red").recipe)
    assert repr(photo) == f"Photo({str(photo_png)!r}, 56 x 40, Metadata(EXIF 180 B))"
    assert repr(ostrel.read_photo(vips_image(scene()).pngsave_buffer(keep="none"))) == "Photo(56 x 40, Metadata(empty))"
    assert repr(made) == f"Print({str(photo_png)!r}, 56 x 40, 16-bit TIFF)"
    tagged = ostrel.read_photo(big.copy(xres=300 / 25.4, yres=300 / 25.4).tiffsave_buffer())
    assert repr(tagged.metadata) == "Metadata(TIFF tags, 300 dpi)" and len(repr(tagged)) < 80
    for shown, size in ((photo, (56, 40)), (made, (56, 40)), (tagged, (1024, 887))):
        png = pyvips.Image.new_from_buffer(shown._repr_png_(), "")
        assert (png.width, png.height) == size and png.format == "uchar"
    shown = pyvips.Image.new_from_buffer(made._repr_png_(), "").numpy()
    assert np.array_equal(shown, made.to_array(8))


def test_photos_from_bytes_and_file_objects_and_prints_to_them(tmp_path, photo_png):
    by_path = ostrel.read_photo(photo_png)
    with open(photo_png, "rb") as handle:
        by_file = ostrel.read_photo(handle)
    by_bytes = ostrel.read_photo(photo_png.read_bytes())
    assert np.array_equal(by_file.pixels, by_path.pixels) and np.array_equal(by_bytes.pixels, by_path.pixels)
    assert by_file.path == photo_png and by_bytes.path is None
    with pytest.raises(ostrel.PhotoReadError, match="<bytes>: not an image format"):
        ostrel.read_photo(b"shopping list")
    with pytest.raises(TypeError, match="opened with 'rb'"):
        ostrel.read_photo(io.StringIO("text"))
    made = ostrel.make_print(by_path, ostrel.Recipe().updated({"output": {"format": "png"}}))
    buffer = io.BytesIO()
    assert made.save(buffer) is None
    written = made.save(tmp_path / "p.png")
    assert np.array_equal(pyvips.Image.new_from_buffer(buffer.getvalue(), "").numpy(), read_samples(written))
    assert ostrel.read_recipe(written) == made.recipe
    assert buffer.getvalue() == made.to_bytes()


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_srgb_arrays_in_and_out(dtype):
    codes = scene(dtype=dtype)
    linear = ostrel.from_srgb_array(codes)
    assert linear.dtype == np.float32 and linear.flags.c_contiguous and linear.shape == (40, 56, 3)
    assert np.abs(linear - srgb_decode(codes)).max() < 1e-5
    assert np.array_equal(ostrel.to_srgb_array(linear, 8 if dtype == np.uint8 else 16), codes)
    grey = ostrel.from_srgb_array(codes[:, :, 1])
    assert np.array_equal(grey[:, :, 0], grey[:, :, 2]) and np.abs(grey[:, :, 0] - linear[:, :, 1]).max() < 1e-5
    with pytest.raises(TypeError, match="uint8 or uint16"):
        ostrel.from_srgb_array(codes.astype(np.int32))


def test_pillow_images_in_and_out(tmp_path):
    codes = scene()
    p3 = vips_image(codes).copy()
    p3.set_type(pyvips.GValue.blob_type, "icc-profile-data", bytes(pyvips.Image.profile_load("p3")))
    path = save(p3, tmp_path / "p3.png")
    with Image.open(path) as opened:
        assert np.array_equal(ostrel.from_pil(opened), ostrel.read_photo(path).pixels)  # through its profile
    untagged = Image.fromarray(codes)
    assert np.abs(ostrel.from_pil(untagged) - srgb_decode(codes)).max() < 1e-5
    back = ostrel.to_pil(ostrel.from_pil(untagged))
    assert back.mode == "RGB" and np.array_equal(np.asarray(back), codes) and back.info["icc_profile"]
    made = ostrel.make_print(ostrel.read_photo(path))
    for bits, mode in ((8, "L"), (16, "I;16")):
        grey = made.to_pil(bits)
        assert grey.mode == mode and np.array_equal(np.asarray(grey).astype(np.uint16), made.to_array(bits))
