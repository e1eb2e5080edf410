# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The step-by-step example: the kernels in pipeline order on the bundled photograph."""

import importlib.util
import pathlib

import numpy as np
import pytest

pyvips = pytest.importorskip("pyvips")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "bw_pipeline.py"


def load_example():
    spec = importlib.util.spec_from_file_location("bw_pipeline", EXAMPLE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    ("options", "suffix", "dtype"),
    [
        ([], ".png", np.uint8),
        (["--bits", "16", "--filter", "Red25A", "--standard", "Bt2020"], ".tif", np.uint16),
        (["--zones", "", "--strength", "0"], ".jpg", np.uint8),
    ],
)
def test_pipeline_writes_a_single_channel_print(tmp_path, capsys, options, suffix, dtype):
    output = tmp_path / f"print{suffix}"
    assert load_example().main(["-o", str(output), *options]) == 0
    samples = pyvips.Image.new_from_file(str(output)).numpy()
    assert samples.shape == (512, 512)
    assert samples.dtype == dtype
    assert samples.min() < samples.max()  # a picture, not a flat field
    report = capsys.readouterr().out
    for kernel in ("zone_system", "local_contrast", "encode_srgb"):
        assert kernel in report
