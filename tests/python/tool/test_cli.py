# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The command line end to end: outputs, refusals, exit codes, interruptions."""

from __future__ import annotations

import hashlib
import io
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import exif_block, read_samples, save, scene, srgb_encode, vips_image, with_metadata
from ostrel import read_recipe
from ostrel.cli import main
from ostrel.preview import CLIPPED_BLACK, CLIPPED_WHITE, ZONE_GREYS
from ostrel.temporaries import TEMPORARY_SUFFIX

pyvips = pytest.importorskip("pyvips")


def run(*argv: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    code = main([str(a) for a in argv], out=out, err=err)
    return code, out.getvalue(), err.getvalue()


def photos(folder: Path, names: list[str], size: tuple[int, int] = (40, 56)) -> list[Path]:
    paths = []
    for index, name in enumerate(names):
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        paths.append(save(vips_image(scene(*size, seed=index)), path))
    return paths


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_convert_writes_one_print_per_photo(tmp_path):
    photos(tmp_path / "in", ["a.png", "b.jpg", "c.tif"])
    code, out, err = run("convert", tmp_path / "in", "-o", tmp_path / "out")
    assert code == 0, err
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.tif", "b.tif", "c.tif"]
    assert out.count("converted ") == 4  # three lines and the summary
    assert "converted 3, skipped 0, failed 0 in " in out and "images/s" in out
    samples = read_samples(tmp_path / "out" / "a.tif")
    assert samples.dtype == np.uint16 and samples.shape == (40, 56)


def test_parallel_batch_gives_the_same_prints_as_one_at_a_time(tmp_path):
    # Photos of two sizes in one batch: decode buffers are reused between photos of a shape.
    small = photos(tmp_path / "in", [f"small{i}.png" for i in range(4)], size=(40, 56))
    large = photos(tmp_path / "in", [f"large{i}.png" for i in range(4)], size=(64, 48))
    assert run("convert", tmp_path / "in", "-o", tmp_path / "parallel", "-j", "3")[0] == 0
    assert run("convert", tmp_path / "in", "-o", tmp_path / "serial", "-j", "1")[0] == 0
    for photo in small + large:
        name = photo.stem + ".tif"
        assert np.array_equal(read_samples(tmp_path / "parallel" / name), read_samples(tmp_path / "serial" / name))


def test_one_bad_file_fails_alone_with_its_path_and_reason(tmp_path):
    good = photos(tmp_path, ["good.png", "also.png"])
    (tmp_path / "notes.jpg").write_text("shopping list")
    whole = save(vips_image(scene(120, 160)), tmp_path / "whole.jpg").read_bytes()
    (tmp_path / "cut.jpg").write_bytes(whole[: len(whole) // 3])
    code, out, err = run(
        "convert", *good, tmp_path / "notes.jpg", tmp_path / "cut.jpg", tmp_path / "gone.png", "-o", tmp_path / "out"
    )
    assert code == 1
    assert f"error: {tmp_path / 'notes.jpg'}: not an image format" in err
    assert f"error: {tmp_path / 'cut.jpg'}: the file is truncated" in err
    assert f"error: {tmp_path / 'gone.png'}: no such file or folder" in err
    assert "converted 2, skipped 0, failed 3" in out
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["also.tif", "good.tif"]


def test_recursion_mirrors_folders_and_refuses_name_clashes(tmp_path):
    photos(tmp_path / "in", ["x.jpg", "sub/x.jpg", "sub/deeper/y.png", "x.png", ".hidden/z.png"])
    code, _out, err = run("convert", tmp_path / "in", "-r", "-o", tmp_path / "out")
    assert code == 1
    written = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.tif"))
    assert written == ["sub/deeper/y.tif", "sub/x.tif", "x.tif"]
    assert f"error: {tmp_path / 'in' / 'x.png'}: its print {tmp_path / 'out' / 'x.tif'} would overwrite" in err
    # Without -r, only the folder's own photos, and the clash is still caught.
    code, _out, err = run("convert", tmp_path / "in", "-o", tmp_path / "flat", "--format", "png")
    assert code == 1 and sorted(p.name for p in (tmp_path / "flat").iterdir()) == ["x.png"]


def test_output_folder_inside_the_input_is_not_read_back(tmp_path):
    photos(tmp_path / "in", ["a.png"])
    assert run("convert", tmp_path / "in", "-r", "-o", tmp_path / "in" / "prints")[0] == 0
    code, out, _ = run("convert", tmp_path / "in", "-r", "-o", tmp_path / "in" / "prints")
    assert code == 0 and "converted 1," in out


def test_an_output_that_is_an_input_is_refused_and_never_written(tmp_path):
    (photo,) = photos(tmp_path, ["scan.tif"])
    before = digest(photo)
    code, _, err = run("convert", photo, "-o", tmp_path)
    assert code == 1 and "refused: the print" in err and "would overwrite an input" in err
    assert digest(photo) == before
    linked = tmp_path / "other" / "scan.tif"
    linked.parent.mkdir()
    os.link(photo, linked)  # the same file under another name is still the input
    code, _, err = run("convert", photo, "-o", tmp_path / "other")
    assert code == 1 and digest(photo) == before


def test_skip_existing_and_dry_run(tmp_path):
    photos(tmp_path / "in", ["a.png", "b.png"])
    out_dir = tmp_path / "out"
    assert run("convert", tmp_path / "in" / "a.png", "-o", out_dir)[0] == 0
    stamp = (out_dir / "a.tif").stat().st_mtime_ns
    code, out, _ = run("convert", tmp_path / "in", "-o", tmp_path / "dry", "--dry-run")
    assert code == 0 and "would convert 2" in out and not (tmp_path / "dry").exists()
    code, out, _ = run("convert", tmp_path / "in", "-o", out_dir, "--skip-existing")
    assert code == 0 and "converted 1, skipped 1, failed 0" in out
    assert (out_dir / "a.tif").stat().st_mtime_ns == stamp


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--zones", "12=1"], "zones.12 = 1.0: zone 12 is outside 0..10"),
        (["--preset", "lith"], "unknown preset"),
        (["--radius", "-3"], "local_contrast.radius = -3"),
        (["--mixer", "1,0,0", "--standard", "bt601"], "--standard applies to a colour filter"),
        (["--format", "jpeg", "--bits", "16"], "JPEG is always 8-bit"),
        (["--recipe", "missing.toml"], "cannot read it"),
        (["-j", "0"], "-j/--jobs must be 1 or more"),
    ],
)
def test_usage_and_recipe_errors_exit_2_before_touching_files(tmp_path, argv, message):
    photos(tmp_path, ["a.png"])
    code, _out, err = run("convert", tmp_path / "a.png", "-o", tmp_path / "out", *argv)
    assert code == 2 and message in err and err.startswith("error: ")
    assert not (tmp_path / "out").exists()


def test_argument_errors_exit_2_with_a_hint(tmp_path, capsys):
    with pytest.raises(SystemExit) as caught:
        main(["convert", str(tmp_path), "-o", str(tmp_path / "o"), "--jobs", "many"])
    assert caught.value.code == 2
    assert "hint: run 'ostrel convert --help'" in capsys.readouterr().err


def test_recipe_command_writes_the_effective_recipe_and_reads_a_print(tmp_path):
    code, toml, _ = run("recipe", "--preset", "red", "--zones", "4=0.5", "--format", "png")
    assert code == 0 and toml.startswith("# ostrel recipe")
    (tmp_path / "my.toml").write_text(toml)
    photos(tmp_path, ["a.jpg"])
    assert run("convert", tmp_path / "a.jpg", "-o", tmp_path / "out", "--recipe", tmp_path / "my.toml")[0] == 0
    code, back, _ = run("recipe", "--from", tmp_path / "out" / "a.png")
    assert code == 0
    assert read_recipe(tmp_path / "out" / "a.png").updated({}) == read_recipe(tmp_path / "out" / "a.png")
    assert back.split("\n", 1)[1] == toml.split("\n", 1)[1]  # same settings, only the header differs


def test_metadata_reaches_the_print(tmp_path):
    block = exif_block(orientation=6, date_original="2019:10:11 12:13:14")
    photo = save(with_metadata(vips_image(scene()), exif=block), tmp_path / "phone.jpg", Q=90)
    assert run("convert", photo, "-o", tmp_path / "out", "--format", "jpeg")[0] == 0
    printed = pyvips.Image.new_from_file(str(tmp_path / "out" / "phone.jpg"))
    assert (printed.width, printed.height) == (40, 56)  # upright
    assert printed.get("exif-ifd2-DateTimeOriginal").startswith("2019:10:11 12:13:14")
    assert printed.get("orientation") == 1


def test_presets_lists_names_descriptions_and_settings():
    code, out, _ = run("presets")
    assert code == 0
    for name in ("neutral", "yellow", "red", "green", "infrared", "high-contrast"):
        assert f"\n{name} " in "\n" + out
    assert "filter Orange21" in out and "mixer -0.35, 2.35, -1" in out


def test_sheet_and_zone_map(tmp_path):
    (photo,) = photos(tmp_path, ["a.png"], size=(60, 90))
    code, out, _ = run(
        "sheet", photo, "-o", tmp_path / "sheet.png", "--presets", "neutral,red,infrared", "--tile", "64"
    )
    assert code == 0 and "3 presets" in out
    sheet = pyvips.Image.new_from_file(str(tmp_path / "sheet.png"))
    assert sheet.width > 2 * 64 and sheet.height > 2 * 64  # a 2 x 2 grid of labelled tiles
    code, _, _ = run("zones", photo, "-o", tmp_path / "zones.png", "--filter", "red")
    assert code == 0
    zone_map = pyvips.Image.new_from_file(str(tmp_path / "zones.png")).numpy()
    colours = {tuple(c) for c in zone_map[:60].reshape(-1, 3)}
    assert colours <= {(g, g, g) for g in ZONE_GREYS} | {CLIPPED_WHITE, CLIPPED_BLACK}
    code, _, err = run("sheet", photo, "-o", tmp_path / "sheet.bmp")
    assert code == 1 and "choose a .jpg, .png or .tif" in err


@pytest.mark.parametrize(
    ("linear", "zone"),
    [
        (0.18, 5),  # middle grey, L* 49.5
        (1.0, 10),  # paper white
        (0.0, 0),
        (-0.5, 0),
        (np.nan, 0),
        (np.inf, 10),
        (0.0185, 1),  # L* 14.6
        (0.0196, 2),  # L* 15.3
        (0.7, 9),  # L* 87.0
        (0.9, 10),  # L* 96.0
    ],
)
def test_print_zones_read_lightness_in_tens(linear, zone):
    from ostrel.preview import print_zones

    encoded = srgb_encode(np.array([linear])) if np.isfinite(linear) else np.array([linear])
    assert print_zones(encoded.astype(np.float32).reshape(1, 1, 1)).ravel().tolist() == [zone]


# -- whole processes ---------------------------------------------------------------------------------


def cli_process(*argv: object, **options) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "ostrel", *map(str, argv)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **options,
    )


def wait_for_lines(process: subprocess.Popen[str], count: int, timeout: float = 60) -> list[str]:
    lines: list[str] = []
    deadline = time.monotonic() + timeout
    assert process.stdout is not None
    while len(lines) < count and time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line)
    return lines


@pytest.fixture
def batch_folder(tmp_path) -> Path:
    photos(tmp_path / "in", [f"p{i:02d}.png" for i in range(24)], size=(300, 400))
    return tmp_path / "in"


def test_killed_batch_leaves_only_complete_prints_and_a_rerun_finishes(tmp_path, batch_folder):
    out_dir = tmp_path / "out"
    process = cli_process("convert", batch_folder, "-o", out_dir, "-q", "-j", "3")
    wait_for_lines(process, 4)
    process.send_signal(signal.SIGKILL)
    process.wait(timeout=30)
    finished = [p for p in out_dir.iterdir() if p.suffix == ".tif"]
    assert 0 < len(finished) < 24
    for path in finished:  # every print present is whole and readable
        assert read_samples(path).shape == (300, 400)
        assert read_recipe(path).output.bits == 16
    code = subprocess.run(
        [sys.executable, "-m", "ostrel", "convert", batch_folder, "-o", out_dir, "-q", "--skip-existing"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert code.returncode == 0, code.stderr
    assert f"skipped {len(finished)}, failed 0" in code.stdout
    assert sorted(p.name for p in out_dir.iterdir()) == [f"p{i:02d}.tif" for i in range(24)]


def test_ctrl_c_stops_the_batch_cleanly_with_exit_130(tmp_path, batch_folder):
    out_dir = tmp_path / "out"
    process = cli_process("convert", batch_folder, "-o", out_dir, "-q")
    wait_for_lines(process, 3)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 130, err
    assert "interrupted," in out and "not converted" in out
    assert not [p for p in out_dir.iterdir() if p.name.endswith(TEMPORARY_SUFFIX)]
    for path in out_dir.iterdir():
        assert read_samples(path).shape == (300, 400)


def test_module_and_console_script_run():
    completed = subprocess.run([sys.executable, "-m", "ostrel", "--version"], capture_output=True, text=True)
    assert completed.returncode == 0 and completed.stdout.startswith("ostrel ")
    script = Path(sys.executable).with_name("ostrel")
    if script.exists():
        completed = subprocess.run([script, "presets"], capture_output=True, text=True)
        assert completed.returncode == 0 and "neutral" in completed.stdout


def test_display_p3_photo_prints_as_the_same_scene_in_srgb(tmp_path):
    codes = scene(dtype=np.uint16)
    (tmp_path / "in").mkdir()
    save(vips_image(codes), tmp_path / "in" / "srgb.png")
    p3 = vips_image(codes).icc_transform("p3", input_profile="srgb", depth=16)
    save(p3, tmp_path / "in" / "p3.png")
    untagged = p3.copy()
    untagged.remove("icc-profile-data")
    save(untagged, tmp_path / "in" / "p3-profile-lost.png")
    assert run("convert", tmp_path / "in", "-o", tmp_path / "out")[0] == 0
    reference = read_samples(tmp_path / "out" / "srgb.tif").astype(int)
    # Within half an 8-bit step; the same codes read as sRGB are several 8-bit steps off.
    assert np.abs(read_samples(tmp_path / "out" / "p3.tif").astype(int) - reference).max() < 128
    assert np.abs(read_samples(tmp_path / "out" / "p3-profile-lost.tif").astype(int) - reference).max() > 3 * 257


@pytest.mark.parametrize("how", ["permissions", "simulated"])
def test_unreadable_folder_is_reported_and_the_rest_converted(tmp_path, monkeypatch, how):
    photos(tmp_path / "in", ["a.png", "locked/b.png"])
    locked = tmp_path / "in" / "locked"
    if how == "permissions":
        if os.geteuid() == 0:
            pytest.skip("root reads any folder; the simulated case covers it")
        locked.chmod(0)
    else:
        real_scandir = os.scandir

        def scandir(path="."):
            if Path(path) == locked:
                raise PermissionError(13, "Permission denied", str(path))
            return real_scandir(path)

        monkeypatch.setattr(os, "scandir", scandir)
    try:
        code, out, err = run("convert", tmp_path / "in", "-r", "-o", tmp_path / "out")
    finally:
        locked.chmod(0o755)
    assert code == 1
    assert f"error: {locked}: cannot read this folder: Permission denied" in err
    assert "converted 1, skipped 0, failed 1" in out


def test_file_names_that_are_not_utf8(tmp_path):
    folder = os.fsencode(tmp_path / "archive")
    os.mkdir(folder)
    name = os.path.join(folder, b"caf\xe9.png")  # a Latin-1 name from an old archive
    save(vips_image(scene()), tmp_path / "plain.png")
    os.rename(tmp_path / "plain.png", name)
    code, out, err = run("convert", tmp_path / "archive", "-o", tmp_path / "out")
    assert code == 0, err
    assert "caf\\xe9.png" in out  # shown escaped
    (printed,) = os.listdir(os.fsencode(tmp_path / "out"))
    assert printed == b"caf\xe9.tif"
    from ostrel.reading import open_image

    assert open_image(tmp_path / "out" / os.fsdecode(printed)).numpy().shape == (40, 56)
