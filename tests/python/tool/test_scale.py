# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Past one machine: batches on a Dask cluster, and tiled conversion of large images."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import ostrel
from conftest import exif_block, read_samples, save, scene, vips_image, with_metadata
from ostrel.batch import Tiling
from ostrel.cli import main
from ostrel.rendering import quantize, render
from ostrel.temporaries import TEMPORARY_SUFFIX

pyvips = pytest.importorskip("pyvips")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")
tiled = pytest.importorskip("ostrel.tiled")

# The worker-side hooks below are defined here; send them by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

# Under the sanitizers, worker processes and resident-memory figures say nothing useful.
unsanitized = pytest.mark.skipif(bool(os.environ.get("OSTREL_SANITIZED")), reason="not under the sanitizers")


@pytest.fixture(scope="module")
def client():
    from ostrel.distributed import local_cluster

    with local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture
def photo_folder(tmp_path) -> Path:
    folder = tmp_path / "in"
    folder.mkdir()
    for index in range(5):
        save(vips_image(scene(40, 56, seed=index)), folder / f"p{index}.png")
    save(with_metadata(vips_image(scene(48, 64, seed=9)), exif=exif_block(orientation=6)), folder / "phone.jpg")
    save(vips_image(scene(32, 32, dtype=np.uint16)[:, :, 0]), folder / "grey16.tif")
    return folder


@unsanitized
def test_cluster_prints_are_the_local_prints_byte_for_byte(client, photo_folder, tmp_path):
    seen: list[ostrel.Outcome] = []
    local = ostrel.convert_files([photo_folder], tmp_path / "local")
    remote = ostrel.convert_files([photo_folder], tmp_path / "cluster", client=client, on_outcome=seen.append)
    assert local.converted == remote.converted == 7 and remote.failed == 0
    assert len(seen) == 7  # progress is driven by each completed future
    for path in (tmp_path / "local").iterdir():
        assert digest(path) == digest(tmp_path / "cluster" / path.name), path.name


def _kill_while_writing(victim: str, marker: str) -> None:
    """Worker hook: the first write of `victim` leaves half a file and kills the worker process."""
    from ostrel import writing

    original = writing.save

    def save(image, path, output, recipe_text):
        if victim in path.name and not os.path.exists(marker):
            Path(marker).touch()
            path.write_bytes(b"II*\0half a print")
            os._exit(1)
        return original(image, path, output, recipe_text)

    writing._original_save = original
    writing.save = save


def _restore_writing() -> None:
    from ostrel import writing

    writing.save = getattr(writing, "_original_save", writing.save)


@unsanitized
def test_a_worker_killed_mid_write_loses_nothing(client, photo_folder, tmp_path):
    marker = tmp_path / "killed-once"
    client.wait_for_workers(2)  # every worker gets the hook
    client.run(_kill_while_writing, "p3.tif", str(marker))
    try:
        report = ostrel.convert_files([photo_folder], tmp_path / "out", client=client)
    finally:
        client.run(_restore_writing)
    assert marker.exists()  # a worker did die
    assert report.converted == 7 and report.failed == 0, report.outcomes
    local = ostrel.convert_files([photo_folder / "p3.png"], tmp_path / "local")
    assert local.converted == 1
    assert digest(tmp_path / "out" / "p3.tif") == digest(tmp_path / "local" / "p3.tif")
    assert not [p for p in (tmp_path / "out").iterdir() if p.name.endswith(TEMPORARY_SUFFIX)]


def _log_reads(log: str) -> None:
    from ostrel import batch

    original = batch.read_photo

    def read_photo(path, **options):
        with open(log, "a") as handle:
            handle.write(f"{Path(path).name}\n")
        return original(path, **options)

    batch._original_read = original
    batch.read_photo = read_photo


def _restore_reading() -> None:
    from ostrel import batch

    batch.read_photo = getattr(batch, "_original_read", batch.read_photo)


@unsanitized
def test_a_damaged_file_is_reported_once_and_not_retried(client, photo_folder, tmp_path):
    (photo_folder / "notes.jpg").write_text("not a photo")
    log = tmp_path / "reads.log"
    client.wait_for_workers(2)  # a worker killed by an earlier test is back
    client.run(_log_reads, str(log))
    try:
        report = ostrel.convert_files([photo_folder], tmp_path / "out", client=client)
    finally:
        client.run(_restore_reading)
    failures = [o for o in report.outcomes if o.status == "failed"]
    assert [o.source.name for o in failures] == ["notes.jpg"] and "not an image format" in failures[0].reason
    assert log.read_text().splitlines().count("notes.jpg") == 1
    assert report.converted == 7


@unsanitized
def test_command_line_on_a_running_scheduler(client, photo_folder, tmp_path, capsys):
    code = main(
        [
            "convert",
            str(photo_folder),
            "-o",
            str(tmp_path / "out"),
            "-q",
            "--scheduler",
            client.scheduler.address,
            "--skip-existing",
        ]
    )
    assert code == 0
    assert "converted 7, skipped 0, failed 0" in capsys.readouterr().out


@unsanitized
def test_command_line_local_cluster(photo_folder, tmp_path, capsys):
    code = main(["convert", str(photo_folder / "p0.png"), "-o", str(tmp_path / "out"), "-q", "--cluster", "1"])
    assert code == 0 and (tmp_path / "out" / "p0.tif").exists()


# -- tiled conversion --------------------------------------------------------------------------------


def rgb_image(height: int, width: int, seed: int = 0) -> np.ndarray:
    """Linear RGB with edges, flat areas and texture, where local contrast has work to do."""
    rng = np.random.default_rng(seed)
    rgb = rng.random((height, width, 3), dtype=np.float32) ** 2
    rgb[height // 3 :, : width // 2] *= np.float32(0.05)
    rgb[: height // 4, width // 3 :] = np.float32(0.6)
    return rgb


SHAPES = [(150, 230), (1, 200), (200, 1), (97, 61)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("tile", [16, 37, 64])
def test_per_pixel_steps_are_bit_identical_in_tiles(shape, tile):
    rgb = rgb_image(*shape)
    recipe = ostrel.Recipe().updated({"local_contrast": {"strength": 0}, "zones": {"1": -0.4, "6": 0.3}})
    tiles = tiled.render_dask(da.from_array(rgb, chunks=(tile, tile, 3)), recipe).compute(scheduler="threads")
    assert np.array_equal(tiles.view(np.uint32), render(rgb, recipe).view(np.uint32))


# The largest difference of tiled local contrast from the whole-image result,
# measured over these shapes, tile sizes 16 to 1024 and radii 1 to 100: the
# summed-area tables round differently from another origin, by a few units in
# the last place of the display value, and at most one code of a 16-bit print.
TILED_BOUND = 2.5e-7


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize(("radius", "tile"), [(1, 16), (4, 37), (16, 64), (40, 16), (100, 37)])
def test_tiled_local_contrast_stays_within_the_stated_bound(shape, radius, tile):
    rgb = rgb_image(*shape, seed=radius)
    recipe = ostrel.Recipe().updated({"local_contrast": {"radius": radius, "strength": 1.0}})
    whole = render(rgb, recipe)
    tiles = tiled.render_dask(da.from_array(rgb, chunks=(tile, tile, 3)), recipe).compute(scheduler="threads")
    assert np.abs(tiles.astype(np.float64) - whole).max() <= TILED_BOUND
    assert np.abs(quantize(tiles, 16).astype(int) - quantize(whole, 16).astype(int)).max() <= 1


@pytest.mark.parametrize(
    ("orientation", "look"),
    [
        (1, {}),
        (3, {}),
        (6, {}),
        (8, {}),
        # metered on the same strided sample tiled or whole; the paper's shoulder takes the pushed highlights
        (1, {"exposure": {"meter": "average", "stops": 0.7}, "zones": {"7": 0.4, "8": 0.5}}),
        (6, {"print": {"white": 1.5, "black": -5, "shoulder": 0.8}, "luminance": {"mixer": [1.15, 0, -0.15]}}),
        (
            1,
            {
                "film": {"stock": "ilford-delta-400"},
                "luminance": {"filter": "Orange21"},
                "exposure": {"meter": "average"},
            },
        ),
    ],
)
def test_tiled_print_matches_the_whole_image_print(tmp_path, orientation, look):
    source = with_metadata(vips_image(scene(130, 170, dtype=np.uint16)), orientation=orientation)
    path = save(source, tmp_path / "scan.tif", tile=True, tile_width=64, tile_height=64)
    recipe = ostrel.Recipe().updated({"local_contrast": {"radius": 20}, **look})
    whole = ostrel.convert_file(path, tmp_path / "whole.tif", recipe)
    report = ostrel.convert_files([path], tmp_path / "tiles", recipe, tiling=Tiling(force=True, tile=48))
    assert report.converted == 1, report.outcomes
    printed = tmp_path / "tiles" / "scan.tif"
    assert np.abs(read_samples(printed).astype(int) - read_samples(whole).astype(int)).max() <= 1
    assert ostrel.read_recipe(printed) == recipe
    image = pyvips.Image.new_from_file(str(printed))
    assert image.get("tile-width") == 48
    assert bytes(image.get("icc-profile-data")) == bytes(pyvips.Image.profile_load("sgrey"))


def test_large_inputs_are_tiled_by_themselves_and_need_tiff(tmp_path):
    path = save(vips_image(scene(60, 80)), tmp_path / "big.png")
    small_threshold = Tiling(threshold=1000)
    report = ostrel.convert_files([path], tmp_path / "out", tiling=small_threshold)
    assert report.converted == 1
    assert pyvips.Image.new_from_file(str(tmp_path / "out" / "big.tif")).get("tile-width") > 0
    as_png = ostrel.Recipe().updated({"output": {"format": "png"}})
    report = ostrel.convert_files([path], tmp_path / "png", as_png, tiling=small_threshold)
    assert report.failed == 1 and "a tiled print is a BigTIFF" in report.outcomes[0].reason


def _peak_megabytes(source: Path, out: Path, tiling: str) -> int:
    code = textwrap.dedent(f"""
        import ostrel
        from ostrel.batch import Tiling
        report = ostrel.convert_files([{str(source)!r}], {str(out)!r}, tiling={tiling})
        assert report.converted == 1, report.outcomes
        # VmHWM: this process's own peak (ru_maxrss would keep the peak of the
        # parent it was forked from, a test runner that may have grown large).
        with open("/proc/self/status") as status:
            peak = next(line for line in status if line.startswith("VmHWM:"))
        print(int(peak.split()[1]) // 1024)
    """)
    # Two malloc arenas keep the figure about this code, not about glibc's per-thread caches.
    env = dict(os.environ, MALLOC_ARENA_MAX="2")
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert completed.returncode == 0, completed.stderr
    return int(completed.stdout)


@unsanitized
def test_tiled_peak_memory_follows_the_tile_not_the_image(tmp_path):
    def make(height: int, width: int, name: str) -> Path:
        noise = pyvips.Image.gaussnoise(width, height, mean=128, sigma=40).cast("uchar")
        rgb = noise.bandjoin([noise.flip("horizontal"), noise.flip("vertical")]).copy(interpretation="srgb")
        return save(rgb, tmp_path / name, tile=True, tile_width=256, tile_height=256)

    short, tall = make(1000, 3000, "short.tif"), make(5000, 3000, "tall.tif")
    tiles = "Tiling(force=True, tile=256)"
    short_peak = _peak_megabytes(short, tmp_path / "a", tiles)
    tall_peak = _peak_megabytes(tall, tmp_path / "b", tiles)
    whole_peak = _peak_megabytes(tall, tmp_path / "c", "Tiling(force=False)")
    # Five times the pixels (15 MP, 180 MB as float RGB): the whole-image
    # pipeline needs far more, the tiled one about the same as for the short image.
    assert whole_peak - tall_peak > 120, (short_peak, tall_peak, whole_peak)
    assert tall_peak - short_peak < 50, (short_peak, tall_peak, whole_peak)


def test_tiles_computed_ahead_keep_order_errors_and_stop_early():
    from ostrel.tiled import _ahead

    assert list(_ahead(iter(range(50)), depth=3)) == list(range(50))

    def failing():
        yield 1
        raise RuntimeError("band 2 could not be read")

    consumer = _ahead(failing(), depth=2)
    assert next(consumer) == 1
    with pytest.raises(RuntimeError, match="band 2"):
        next(consumer)

    produced = []

    def endless():
        for index in range(10**9):
            produced.append(index)
            yield index

    early = _ahead(endless(), depth=2)
    assert [next(early) for _ in range(3)] == [0, 1, 2]
    early.close()  # the writer stopped: the producer thread must end, not run on
    assert len(produced) <= 3 + 2 + 1
