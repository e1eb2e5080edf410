# mypy: allow-untyped-calls
"""A fuzzing campaign of the command line: mutated photos of every format.

    python fuzz_cli.py SECONDS [--keep DIR]

The campaign makes small seed photos (JPEG, PNG, TIFF, WebP, and a DNG-like
TIFF), then round after round mutates them (flipped and inserted bytes,
truncations, repeated and spliced pieces) into a folder of files, and has
one long-lived worker process run ``ostrel convert`` over each folder, as
the command line does, in-process. It counts:

- crashes: the worker died (a signal, an abort); a new one carries on;
- hangs: a round gave no answer within its time limit; the worker is killed;
- foreign exceptions: failures that are not the tool's own reasons (an
  ``unexpected ...`` outcome, or an exception out of ``main``);
- peak memory: the largest resident size of any worker.

The files of every round that crashed or hung are kept under DIR (default
``fuzz-cli-findings``) to replay. The exit status is non-zero if there was
any crash, hang or foreign exception.
"""

from __future__ import annotations

import io
import json
import os
import random
import resource
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROUND_FILES = 24
ROUND_LIMIT = 90.0  # seconds a round may take before it counts as a hang
HERE = Path(__file__).resolve().parent


def seeds(folder: Path) -> list[Path]:
    import numpy as np
    import pyvips

    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:96, 0:128]
    rgb = np.stack([x * 2, y * 2, (x + y) % 256], axis=-1).astype(np.uint8)
    rgb = np.clip(rgb + rng.integers(0, 20, rgb.shape), 0, 255).astype(np.uint8)
    image = pyvips.Image.new_from_array(rgb, interpretation="srgb").copy()
    image.set_type(pyvips.GValue.gint_type, "orientation", 6)
    grey = pyvips.Image.new_from_array(rgb[:, :, 0].copy(), interpretation="b-w")
    made = []
    for name, save in (
        ("seed.jpg", lambda p: image.jpegsave(p, Q=80)),
        ("seed-progressive.jpg", lambda p: image.jpegsave(p, interlace=True)),
        ("seed.png", lambda p: image.pngsave(p)),
        ("seed-grey.png", lambda p: grey.pngsave(p, bitdepth=1)),
        ("seed.tif", lambda p: image.tiffsave(p, compression="deflate", tile=True, tile_width=32, tile_height=32)),
        ("seed.webp", lambda p: image.webpsave(p)),
    ):
        path = folder / name
        save(str(path))
        made.append(path)
    try:
        import tifffile

        dng = folder / "seed.dng"
        mosaic = rng.integers(0, 4095, (96, 128), dtype=np.uint16)
        tifffile.imwrite(dng, mosaic, photometric=32803, extratags=[(0xC612, "B", 4, (1, 4, 0, 0), True)])
        made.append(dng)
    except ImportError:
        pass
    return made


def mutate(data: bytes, other: bytes, rng: random.Random) -> bytes:
    buffer = bytearray(data)
    for _ in range(rng.choice((1, 2, 4, 8, 32))):
        kind = rng.randrange(6)
        if not buffer:
            break
        at = rng.randrange(len(buffer))
        if kind == 0:
            buffer[at] = rng.randrange(256)
        elif kind == 1:
            buffer[at] ^= 1 << rng.randrange(8)
        elif kind == 2:
            buffer[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 16)))
        elif kind == 3:
            del buffer[at : at + rng.randrange(1, 64)]
        elif kind == 4:
            piece = buffer[at : at + rng.randrange(4, 256)]
            buffer[at:at] = piece * rng.randrange(1, 8)
        else:
            buffer[at : at + 4] = rng.choice((b"\xff\xff\xff\xff", b"\0\0\0\0", b"\x7f\xff\xff\xff"))
    if rng.random() < 0.15:
        buffer = buffer[: rng.randrange(1, len(buffer) + 1)]
    if rng.random() < 0.05:
        cut = rng.randrange(len(buffer) + 1)
        buffer = buffer[:cut] + other[rng.randrange(len(other)) :]
    return bytes(buffer)


def make_round(folder: Path, seed_files: list[Path], rng: random.Random) -> int:
    folder.mkdir(parents=True)
    contents = [path.read_bytes() for path in seed_files]
    for index in range(ROUND_FILES):
        pick = rng.randrange(len(seed_files))
        data = mutate(contents[pick], rng.choice(contents), rng)
        (folder / f"m{index:03d}{seed_files[pick].suffix}").write_bytes(data)
    return ROUND_FILES


def worker() -> None:
    """Reads round folders from stdin, converts each, reports one JSON line per round."""
    from ostrel.cli import main

    for line in sys.stdin:
        folder = Path(line.strip())
        out, err = io.StringIO(), io.StringIO()
        foreign: list[str] = []
        try:
            code = main(["convert", str(folder), "-o", str(folder / "prints"), "-q", "-j", "2"], out=out, err=err)
        except BaseException as error:  # noqa: BLE001 - an exception out of main is what we count
            code = -1
            foreign.append(f"{type(error).__name__}: {str(error)[:200]}")
        foreign += [text[:300] for text in err.getvalue().splitlines() if "unexpected " in text]
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
        print(json.dumps({"code": code, "foreign": foreign, "peak_mb": peak}), flush=True)


class Worker:
    def __init__(self) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--worker"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )

    def run(self, folder: Path, limit: float) -> dict[str, object] | str:
        """The round's report, or "crash" or "hang"."""
        assert self.process.stdin is not None and self.process.stdout is not None
        try:
            self.process.stdin.write(f"{folder}\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            return "crash"
        ready, _, _ = select.select([self.process.stdout], [], [], limit)
        if not ready:
            self.process.kill()
            self.process.wait()
            return "hang"
        line = self.process.stdout.readline()
        if not line:
            self.process.wait()
            return "crash"
        report: dict[str, object] = json.loads(line)
        return report

    def close(self) -> None:
        if self.process.poll() is None:
            assert self.process.stdin is not None
            self.process.stdin.close()
            self.process.wait(timeout=60)


def campaign(seconds: float, keep: Path) -> int:
    deadline = time.monotonic() + seconds
    rng = random.Random(int(os.environ.get("OSTREL_FUZZ_SEED", time.time_ns())))
    tried = crashes = hangs = 0
    foreign: dict[str, int] = {}
    peak = 0
    with tempfile.TemporaryDirectory(prefix="ostrel-fuzz-") as scratch:
        root = Path(scratch)
        (root / "seeds").mkdir()
        seed_files = seeds(root / "seeds")
        current = Worker()
        round_number = 0
        while time.monotonic() < deadline:
            round_number += 1
            folder = root / f"round-{round_number:05d}"
            tried += make_round(folder, seed_files, rng)
            result = current.run(folder, ROUND_LIMIT)
            if isinstance(result, str):
                if result == "crash":
                    crashes += 1
                    print(f"round {round_number}: worker died ({current.process.returncode})", flush=True)
                else:
                    hangs += 1
                    print(f"round {round_number}: no answer in {ROUND_LIMIT:.0f} s", flush=True)
                shutil.copytree(folder, keep / f"{result}-{round_number:05d}", ignore=shutil.ignore_patterns("prints"))
                current = Worker()
            else:
                peak = max(peak, int(str(result["peak_mb"])))
                for text in result["foreign"]:  # type: ignore[attr-defined]
                    key = str(text).split(": ", 2)[-1][:120]
                    foreign[key] = foreign.get(key, 0) + 1
            shutil.rmtree(folder, ignore_errors=True)
        current.close()
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024
    total_foreign = sum(foreign.values())
    print(f"files tried: {tried} in {round_number} rounds")
    print(f"crashes: {crashes}, hangs: {hangs}, foreign exceptions: {total_foreign}")
    for key, count in sorted(foreign.items(), key=lambda item: -item[1])[:20]:
        print(f"  {count} x {key}")
    print(f"peak memory of a worker: {max(peak, children)} MB")
    return 1 if crashes or hangs or total_foreign else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        budget = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
        keep_dir = Path(sys.argv[sys.argv.index("--keep") + 1]) if "--keep" in sys.argv else Path("fuzz-cli-findings")
        keep_dir.mkdir(parents=True, exist_ok=True)
        sys.exit(campaign(budget, keep_dir))
