# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The worker pool: its size from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS, results
that do not depend on it, concurrent calls, and fork. The size is fixed per
process, so each setting runs in a fresh interpreter."""

import json
import os
import sys
import threading

import numpy as np
import pytest

from ostrel_core import encode_srgb

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts threads through /proc")

DEFAULT = len(os.sched_getaffinity(0))
OTHER = DEFAULT + 3  # a RAYON_RS_NUM_CPUS value that is never the default

# Prints, as JSON, how many threads the first kernel call adds and whether
# importing the module added any; also whether the new threads carry the
# process's own name (the pool names none).
COUNT_POOL_THREADS = """
import json, os
import numpy as np

def tasks():
    return set(os.listdir("/proc/self/task"))

def name(task):
    with open(f"/proc/self/task/{task}/comm") as f:
        return f.read()

image = np.full((64, 64, 3), 0.25, np.float32)
before_import = tasks()
import ostrel_core
before_call = tasks()
ostrel_core.encode_srgb(image)
after_call = tasks()
ostrel_core.encode_srgb(image)
new = after_call - before_call
print(json.dumps({
    "import": len(before_call - before_import),
    "pool": len(new),
    "again": len(tasks() - after_call),
    "unnamed": all(name(t) == name(str(os.getpid())) for t in new),
}))
"""


def pool_report(run_python, num_threads, rs_num_cpus):
    env = {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus}
    return json.loads(run_python(COUNT_POOL_THREADS, env=env).stdout)


@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, expected",
    [
        (None, None, DEFAULT),
        ("1", None, 1),
        ("3", None, 3),
        ("+2", str(OTHER), 2),
        ("0", None, DEFAULT),
        ("0", str(OTHER), DEFAULT),  # 0 selects the default at once
        ("abc", None, DEFAULT),
        ("abc", str(OTHER), OTHER),
        ("", str(OTHER), OTHER),
        (" 4", str(OTHER), OTHER),
        ("18446744073709551616", str(OTHER), OTHER),
        (None, "5", 5),
        (None, "0", DEFAULT),
    ],
)
def test_pool_size_from_environment(run_python, num_threads, rs_num_cpus, expected):
    report = pool_report(run_python, num_threads, rs_num_cpus)
    assert report["import"] == 0, "importing the module started threads"
    assert report["pool"] == expected
    assert report["again"] == 0, "a second call started more threads"
    assert report["unnamed"]


def awkward_image():
    rng = np.random.default_rng(99)
    a = rng.uniform(-0.5, 3.0, (300, 200, 3)).astype(np.float32)
    flat = a.reshape(-1)
    specials = np.array(
        [0x3B4D2E1C, 0x3B4D2E1D, 0x00000001, 0x807FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000, 0x3F800000, 0x80000000],
        np.uint32,
    ).view(np.float32)
    flat[rng.integers(0, flat.size, 5000)] = np.resize(specials, 5000)
    flat[::1009] = rng.integers(0, 2**32, flat[::1009].size, dtype=np.uint64).astype(np.uint32).view(np.float32)
    return a


def test_results_are_bit_identical_for_any_thread_count(run_python, tmp_path):
    image = awkward_image()
    np.save(tmp_path / "input.npy", image)
    expected = encode_srgb(image).view(np.uint32)
    for threads in ("1", "2", "3", "8"):
        output = tmp_path / f"out{threads}.npy"
        run_python(
            f"""
            import numpy as np, ostrel_core
            image = np.load({str(tmp_path / "input.npy")!r})
            np.save({str(output)!r}, ostrel_core.encode_srgb(image))
            """,
            env={"RAYON_NUM_THREADS": threads},
        )
        got = np.load(output).view(np.uint32)
        assert np.array_equal(got, expected), f"{threads} threads: {np.count_nonzero(got != expected)} differ"


def test_concurrent_calls_from_python_threads():
    rng = np.random.default_rng(5)
    images = [rng.uniform(-0.1, 1.2, (100 + 7 * i, 90, 3)).astype(np.float32) for i in range(8)]
    expected = [encode_srgb(image).view(np.uint32) for image in images]
    barrier = threading.Barrier(len(images))
    failures = []

    def work(index):
        barrier.wait()
        for _ in range(15):
            got = encode_srgb(images[index]).view(np.uint32)
            if not np.array_equal(got, expected[index]):
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


@pytest.mark.parametrize("threads", ["1", "3"])
def test_fork_after_the_pool_exists(run_python, threads):
    # The child must get its own working pool; a hang is turned into a failure
    # by a deadline on waitpid (and the child is killed).
    run_python(
        """
        import os, signal, sys, time, warnings
        import numpy as np
        import ostrel_core

        warnings.filterwarnings("ignore", category=DeprecationWarning)  # fork with threads
        image = np.linspace(-0.5, 2.0, 64 * 128 * 3, dtype=np.float32).reshape(64, 128, 3)
        expected = ostrel_core.encode_srgb(image)  # the pool exists from here on
        pid = os.fork()
        if pid == 0:
            try:
                ok = all(np.array_equal(ostrel_core.encode_srgb(image), expected) for _ in range(3))
                os._exit(0 if ok else 3)
            except BaseException:
                os._exit(4)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                sys.exit("the forked child hung")
            time.sleep(0.01)
        assert os.waitstatus_to_exitcode(status) == 0, os.waitstatus_to_exitcode(status)
        # The parent's pool carries on.
        assert np.array_equal(ostrel_core.encode_srgb(image), expected)
        """,
        env={"RAYON_NUM_THREADS": threads},
        timeout=60,
    )
