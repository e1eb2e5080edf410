"""Scale benchmark: a 200-file batch locally and on Dask clusters, and a 1-gigapixel scan by tiles.

    python benchmarks/scale.py [--files 200] [--gigapixel-width 40000 --gigapixel-height 25000] [--skip-batch]

(a) images/s of a batch of 12-megapixel JPEGs (the 20 photos of batch.py,
    each linked 10 times) through `ostrel convert`, three runs side by side:
    the local run, `--cluster 2`, and `--scheduler` on a scheduler and two
    single-threaded worker processes started here (`dask scheduler`, `dask
    worker`), which shows the cost of the distributed path.
(b) for a synthetic 8-bit RGB tiled TIFF of 40000 x 25000 pixels, made here,
    the wall time and peak resident memory of `ostrel convert --tiled`, next
    to the in-memory pipeline's time per megapixel on a 12-megapixel tiled
    TIFF cut from the same image.

Only reports; it never fails on a figure.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from batch import OUT, SOURCE, make_photos  # noqa: E402

PEAK_WRAPPER = """
import resource, subprocess, sys
completed = subprocess.run(sys.argv[1:], capture_output=True, text=True)
if completed.returncode:
    sys.exit(completed.stderr)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def ostrel(*argv: object) -> list[str]:
    return [sys.executable, "-m", "ostrel", *map(str, argv)]


def timed_run(command: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    return time.perf_counter() - start


def batch_folder(files: int) -> Path:
    photos = make_photos(20)
    folder = OUT / f"batch{files}"
    folder.mkdir(parents=True, exist_ok=True)
    for index in range(files):
        link = folder / f"photo{index:03d}.jpg"
        if not link.exists():
            os.link(photos[index % len(photos)], link)
    return folder


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@contextlib.contextmanager
def scheduler_with_workers(workers: int) -> Iterator[str]:
    """A `dask scheduler` and `workers` single-threaded `dask worker` processes, as on several machines."""
    address = f"tcp://127.0.0.1:{free_port()}"
    share = str(max(1, (os.cpu_count() or 1) // workers))
    env = dict(os.environ, RAYON_NUM_THREADS=share, VIPS_CONCURRENCY=share)
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    processes = [
        subprocess.Popen(
            [*dask, "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1], "--dashboard-address", ":0"],
            stderr=subprocess.DEVNULL,
        )
    ]
    time.sleep(2)
    for _ in range(workers):
        processes.append(
            subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "distributed.cli.dask_worker",
                    address,
                    "--nthreads",
                    "1",
                    "--nworkers",
                    "1",
                    "--dashboard-address",
                    ":0",
                ],
                env=env,
                stderr=subprocess.DEVNULL,
            )
        )
    from distributed import Client

    with Client(address, timeout="30s") as client:  # type: ignore[no-untyped-call]
        client.wait_for_workers(workers, timeout=60)
    try:
        yield address
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            process.wait(timeout=30)


def run_batches(files: int, scratch: Path) -> None:
    folder = batch_folder(files)
    rates: dict[str, float] = {}
    rates["local"] = files / timed_run(ostrel("convert", folder, "-o", scratch / "local", "-q"))
    rates["--cluster 2"] = files / timed_run(
        ostrel("convert", folder, "-o", scratch / "cluster", "-q", "--cluster", "2")
    )
    with scheduler_with_workers(2) as address:
        rates["--scheduler (2 workers)"] = files / timed_run(
            ostrel("convert", folder, "-o", scratch / "scheduler", "-q", "--scheduler", address)
        )
    same = all(
        (scratch / "local" / name).read_bytes() == (scratch / other / name).read_bytes()
        for other in ("cluster", "scheduler")
        for name in sorted(os.listdir(scratch / "local"))[:5]
    )
    print(f"(a) {files} JPEGs of 12 MP -> 16-bit TIFF, default recipe")
    for name, rate in rates.items():
        print(f"    {name:<26} {rate:6.2f} images/s   {rate / rates['local'] * 100:5.1f} % of local")
    print(f"    first prints byte-identical across the three runs: {same}")


def make_scan(width: int, height: int) -> tuple[Path, Path]:
    import pyvips

    big = OUT / f"scan-{width}x{height}.tif"
    crop = OUT / f"scan-{width}x{height}-12mp.tif"  # cut from the same scan
    if not big.exists():
        tile = pyvips.Image.new_from_file(str(SOURCE)).resize(2.0, kernel="lanczos3")
        across, down = -(-width // tile.width), -(-height // tile.height)
        mosaic = tile.replicate(across, down).crop(0, 0, width, height)
        grain = pyvips.Image.gaussnoise(width, height, sigma=4.0)
        scan = (mosaic + grain).cast("uchar").copy(interpretation="srgb")
        scan.tiffsave(str(big), tile=True, tile_width=256, tile_height=256, bigtiff=True)
    if not crop.exists():
        pyvips.Image.new_from_file(str(big)).crop(0, 0, 4000, 3000).tiffsave(
            str(crop), tile=True, tile_width=256, tile_height=256
        )
    return big, crop


def run_gigapixel(width: int, height: int, scratch: Path, tile: int | None) -> None:
    big, crop = make_scan(width, height)
    megapixels = width * height / 1e6
    whole = [timed_run(ostrel("convert", crop, "-o", scratch / f"crop{run}", "-q")) for run in range(3)]
    startup = min(timed_run(ostrel("--version")) for _ in range(3))
    in_memory = (sorted(whole)[1] - startup) / 12.0  # seconds per megapixel, process start-up left out
    options = ["--tile-size", str(tile)] if tile else []
    start = time.perf_counter()
    completed = subprocess.run(
        [sys.executable, "-c", PEAK_WRAPPER, *ostrel("convert", big, "-o", scratch / "big", "-q", "--tiled", *options)],
        check=True,
        capture_output=True,
        text=True,
    )
    seconds = time.perf_counter() - start
    peak_gb = int(completed.stdout) / 2**20
    tiled_rate = megapixels / (seconds - startup)
    print(
        f"(b) {width} x {height} 8-bit RGB tiled TIFF ({megapixels:.0f} MP) -> tiled 16-bit BigTIFF, --tiled"
        + (f" --tile-size {tile}" if tile else "")
    )
    print(f"    wall {seconds:.1f} s, peak resident memory {peak_gb:.2f} GB")
    print(
        f"    tiled {tiled_rate:.1f} MP/s against in-memory {1 / in_memory:.1f} MP/s (12 MP crop): "
        f"{tiled_rate * in_memory * 100:.0f} %"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--gigapixel-width", type=int, default=40000)
    parser.add_argument("--gigapixel-height", type=int, default=25000)
    parser.add_argument("--tile-size", type=int, default=None)
    parser.add_argument("--skip-batch", action="store_true")
    parser.add_argument("--skip-gigapixel", action="store_true")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    print(f"{os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory(dir=OUT) as temporary:
        scratch = Path(temporary)
        if not args.skip_batch:
            run_batches(args.files, scratch)
            for name in ("local", "cluster", "scheduler"):
                shutil.rmtree(scratch / name, ignore_errors=True)
        if not args.skip_gigapixel:
            run_gigapixel(args.gigapixel_width, args.gigapixel_height, scratch, args.tile_size)
    return 0


if __name__ == "__main__":
    sys.exit(main())
