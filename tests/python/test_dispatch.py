# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The instruction-set switch: OSTREL_ISA forces one of the paths the
processor supports, and every path gives the bits of every other, for the
kernels whose element loops and math are dispatched (the luminance kernels,
zone_system, encode_srgb) and for the whole pipeline."""

import platform
import sys

import numpy as np
import pytest

import ostrel_core as oc


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def supported_sets():
    flags = cpu_flags()
    sets = ["scalar"]
    if sys.platform.startswith("linux") and "sse2" in flags:
        sets.append("sse2")
    if "avx2" in flags:
        sets.append("avx2")
    if "avx512f" in flags:
        sets.append("avx512")
    if platform.machine().lower() in ("aarch64", "arm64"):
        sets.append("neon")
    return sets


def awkward_values(shape):
    """Ordinary values with bit patterns of every kind mixed in."""
    rng = np.random.default_rng(21)
    a = rng.uniform(-0.05, 3.0, shape).astype(np.float32)
    flat = a.reshape(-1)
    specials = np.array([0.0, -0.0, 1e-45, 1e-38, 0.0031308, 1.0, 3e38, np.inf, -np.inf, np.nan], np.float32)
    flat[rng.integers(0, flat.size, 400)] = np.resize(specials, 400)
    flat[::97] = rng.integers(0, 2**32, flat[::97].size, dtype=np.uint64).astype(np.uint32).view(np.float32)
    return a


PIPELINE = """
import numpy as np, ostrel_core as oc
rgb = np.load({path!r})
lum = oc.color_filter_bw(rgb, oc.ColorFilter.Red25A)
zones = oc.zone_system(lum, oc.ZoneParams({{2: -0.4, 3: -0.3, 5: 0.5, 8: 1.0}}))
detail = oc.local_contrast(zones, oc.GuidedFilterParams(radius=3, eps=0.01), 0.6)
np.savez({out!r}, zones=zones, encoded=oc.encode_srgb(rgb), print=oc.encode_srgb(detail))
"""


@pytest.mark.parametrize("isa", ["scalar", "sse2", "avx2", "avx512", "neon"])
def test_every_supported_path_gives_the_same_bits(run_python, tmp_path, isa):
    if isa not in supported_sets():
        pytest.skip(f"this processor has no {isa}")
    rgb = awkward_values((67, 45, 3))  # odd sizes leave partial vectors
    np.save(tmp_path / "rgb.npy", rgb)
    results = {}
    for name, value in (("default", None), (isa, isa)):
        out = tmp_path / f"{name}.npz"
        run_python(PIPELINE.format(path=str(tmp_path / "rgb.npy"), out=str(out)), env={"OSTREL_ISA": value})
        with np.load(out) as saved:
            results[name] = {key: saved[key].view(np.uint32) for key in saved.files}
    for key, expected in results["default"].items():
        got = results[isa][key]
        assert np.array_equal(got, expected), f"{key} on {isa}: {np.count_nonzero(got != expected)} values differ"


@pytest.mark.parametrize("value", ["", "AVX2", "avx1024", "NEON", "neon" if platform.machine() == "x86_64" else "sse2"])
def test_unknown_or_unsupported_names_run_the_default_path(run_python, value):
    completed = run_python(
        """
        import numpy as np, ostrel_core as oc
        print(oc.encode_srgb(np.full((1, 3, 1), 0.5, np.float32)).view(np.uint32).tolist())
        """,
        env={"OSTREL_ISA": value},
    )
    expected = oc.encode_srgb(np.full((1, 3, 1), 0.5, np.float32)).view(np.uint32).tolist()
    assert completed.stdout.strip() == str(expected)
