"""Benchmark table: every kernel against its peers, at 1 thread and all threads.

    python benchmarks/run.py [--quick] [--kernels encode_srgb,zone_system]

Each (kernel, image size, thread count) is timed in a fresh process, because
the pool size is fixed per process (RAYON_NUM_THREADS). Peers run in the same
process, interleaved with the kernel, so the ratios compare like with like.
Times are medians. The script only reports; it never fails on a figure.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from collections.abc import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = {"1MP": (1000, 1000), "12MP": (3000, 4000)}


def median_seconds(job: Callable[[], object], repeats: int) -> float:
    job()  # warm-up: page faults of first use, lazy initialisation
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        job()
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2]


def measure(kernel: str, size: str, repeats: int) -> dict[str, float]:
    """Runs inside the child process."""
    sys.path.insert(0, HERE)
    import peers

    height, width = SIZES[size]
    jobs = peers.jobs(kernel, height, width)
    results: dict[str, list[float]] = {name: [] for name in jobs}
    for _ in range(3):  # interleave the contenders against drifting machine load
        for name, job in jobs.items():
            results[name].append(median_seconds(job, max(1, repeats // 3)))
    return {name: sorted(values)[1] for name, values in results.items()}


def call_overhead() -> dict[str, float]:
    import numpy as np

    import ostrel_core as oc

    one_pixel = np.zeros((1, 1, 1), np.float32)
    one = np.zeros(1, np.float32)
    n = 20000

    def loop(job: Callable[[], object]) -> float:
        def run() -> None:
            for _ in range(n):
                job()

        return median_seconds(run, 5) / n

    return {"encode_srgb 1x1": loop(lambda: oc.encode_srgb(one_pixel)), "np.add 1": loop(lambda: np.add(one, one))}


def peak_memory(radius: int) -> float:
    """Peak extra resident bytes per pixel of local_contrast on 12MP."""
    import resource

    import numpy as np

    import ostrel_core as oc

    height, width = SIZES["12MP"]
    image = np.random.default_rng(1).random((height, width, 1), dtype=np.float32)
    params = oc.GuidedFilterParams(radius, 0.01)
    oc.local_contrast(np.zeros((8, 8, 1), np.float32), params, 1.0)  # start the pool and load NumPy's API
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    output = oc.local_contrast(image, params, 0.6)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return (after - before - output.nbytes) / (height * width)


def child(task: str) -> None:
    spec = json.loads(task)
    if spec["what"] == "time":
        result = measure(spec["kernel"], spec["size"], spec["repeats"])
    elif spec["what"] == "overhead":
        result = call_overhead()
    else:
        result = {"bytes_per_pixel": peak_memory(spec["radius"])}
    print(json.dumps(result))


def in_fresh_process(spec: dict[str, object], threads: int | None) -> dict[str, float]:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", json.dumps(spec)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    result: dict[str, float] = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="1MP only, fewer repeats")
    parser.add_argument("--kernels", help="comma-separated subset")
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return

    sys.path.insert(0, HERE)
    import peers

    kernels = args.kernels.split(",") if args.kernels else list(peers.KERNELS)
    sizes = ["1MP"] if args.quick else list(SIZES)
    repeats = 3 if args.quick else 9
    cores = len(os.sched_getaffinity(0))
    print(f"# {platform.processor() or platform.machine()}, {cores} cores, Python {platform.python_version()}")
    header = (
        f"{'kernel':<20} {'size':>5} {'thr':>3} {'ostrel ms':>10} {'numpy ms':>9} {'opencv ms':>9} "
        f"{'copy ms':>8} {'vs numpy':>8} {'vs opencv':>9} {'/ copy':>7}"
    )
    print(header)
    print("-" * len(header))
    for kernel in kernels:
        for size in sizes:
            for threads in (1, cores):
                r = in_fresh_process({"what": "time", "kernel": kernel, "size": size, "repeats": repeats}, threads)
                ours = r["ostrel"]

                def cell(name: str, r: dict[str, float] = r) -> str:
                    return f"{r[name] * 1e3:.2f}" if name in r else "-"

                def ratio(name: str, r: dict[str, float] = r, ours: float = ours) -> str:
                    return f"{r[name] / ours:.2f}x" if name in r else "-"

                slow = f"{ours / r['roofline']:.2f}" if "roofline" in r else "-"
                print(
                    f"{kernel:<20} {size:>5} {threads:>3} {ours * 1e3:>10.2f} {cell('numpy'):>9} "
                    f"{cell('opencv'):>9} {cell('roofline'):>8} {ratio('numpy'):>8} {ratio('opencv'):>9} {slow:>7}",
                    flush=True,
                )
    overhead = in_fresh_process({"what": "overhead"}, None)
    print()
    for name, seconds in overhead.items():
        print(f"call overhead  {name:<16} {seconds * 1e6:8.2f} us")
    for radius in (2, 8, 64):
        memory = in_fresh_process({"what": "memory", "radius": radius}, None)
        print(f"local_contrast r={radius:<3} peak extra memory {memory['bytes_per_pixel']:6.2f} bytes/pixel (12MP)")
    print(
        "\n'vs numpy' and 'vs opencv': how many times faster ostrel is; '/ copy': ostrel time over the copy of the "
        "same bytes."
    )


if __name__ == "__main__":
    main()
