"""Soak: mixed kernels from 4 Python threads for SECONDS, forks in the middle
of their calls, and parameter objects made and dropped all the time.

    python soak.py SECONDS

Every result is compared with the bits computed once at the start, in the
threads and in each forked child. Prints calls made, forks, and the resident
set size after a warm-up and at the end; exits non-zero on a wrong result,
a failed child, or RSS that grew by more than 10 % + 16 MiB."""

import os
import sys
import threading
import time
import warnings

import numpy as np

import ostrel_core as oc
from child_process import wait_for_child

warnings.filterwarnings("ignore", category=DeprecationWarning)  # fork while threads run

THREADS = 4
rng = np.random.default_rng(2024)
SHAPES = [(1, 1), (19, 33), (120, 90), (600, 500)]
RGB = {s: rng.uniform(-0.1, 1.3, s + (3,)).astype(np.float32) for s in SHAPES}
LUM = {s: rng.uniform(0.0, 1.5, s + (1,)).astype(np.float32) for s in SHAPES}


def zone_params(seed: int) -> oc.ZoneParams:
    return oc.ZoneParams({seed % 11: 0.25, (seed + 4) % 11: -0.5})


def guided_params(seed: int) -> oc.GuidedFilterParams:
    return oc.GuidedFilterParams(seed % 5, 0.01)


# Each call makes its parameter objects afresh, so they are created and
# dropped all the time; the seed picks which.
CALLS = [
    lambda s, k: oc.luminance_bw(RGB[s], oc.LuminanceStandard.Bt2020),
    lambda s, k: oc.color_filter_bw(RGB[s], oc.ColorFilter.Orange21),
    lambda s, k: oc.channel_mixer_bw(RGB[s], 0.6, 0.5, -0.1),
    lambda s, k: oc.zone_system(LUM[s], zone_params(k)),
    lambda s, k: oc.local_contrast(LUM[s], guided_params(k), 0.8),
    lambda s, k: oc.encode_srgb(RGB[s]),
]
JOBS = [(call, shape, k) for call in range(len(CALLS)) for shape in SHAPES for k in range(3)]
EXPECTED = [CALLS[call](shape, k).view(np.uint32).copy() for call, shape, k in JOBS]


def run_job(index: int) -> bool:
    call, shape, k = JOBS[index]
    return np.array_equal(CALLS[call](shape, k).view(np.uint32), EXPECTED[index])


def rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def soak(seconds: float) -> int:
    stop = threading.Event()
    calls = [0] * THREADS
    wrong = []

    def work(t: int) -> None:
        r = np.random.default_rng(t)
        while not stop.is_set():
            index = int(r.integers(len(JOBS)))
            if not run_job(index):
                wrong.append(JOBS[index])
            calls[t] += 1

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    start = time.monotonic()
    warm_up = min(10.0, seconds / 10)
    rss_start = None
    forks = 0
    failed_children = []
    r = np.random.default_rng(99)
    while time.monotonic() - start < seconds:
        time.sleep(float(r.uniform(0.05, 0.3)))
        if rss_start is None and time.monotonic() - start >= warm_up:
            rss_start = rss_bytes()
        # Fork while the threads are inside kernels; the child checks a few
        # results on its own fresh pool.
        jobs = [int(j) for j in r.integers(len(JOBS), size=3)]
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if all(run_job(j) for j in jobs) else 3)
            except BaseException:  # noqa: BLE001 - whatever happened, the parent hears of it
                os._exit(4)
        forks += 1
        code = wait_for_child(pid, 60)
        if code != 0:
            failed_children.append(code)
    stop.set()
    for thread in threads:
        thread.join()
    rss_end = rss_bytes()
    rss_start = rss_start or rss_end
    mib = 1 << 20
    print(
        f"soak: {time.monotonic() - start:.0f} s, {sum(calls)} calls from {THREADS} threads, {forks} forks "
        f"({len(failed_children)} failed), RSS {rss_start / mib:.1f} MiB after warm-up, {rss_end / mib:.1f} MiB "
        f"at the end"
    )
    grew = rss_end > rss_start * 1.10 + 16 * mib
    if wrong:
        print(f"wrong results: {len(wrong)}, first {wrong[0]}")
    if failed_children:
        print(f"failed children: {failed_children[:10]}")
    if grew:
        print("RSS grew")
    return 1 if wrong or failed_children or grew else 0


if __name__ == "__main__":
    sys.exit(soak(float(sys.argv[1]) if len(sys.argv) > 1 else 60.0))
