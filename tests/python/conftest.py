"""Shared helpers for the Python tests of ostrel_core."""

import ast
import os
import pathlib
import subprocess
import sys
import textwrap
from collections.abc import Callable, Mapping

import numpy as np
import pytest

import ostrel_core


def run_in_subprocess(
    code: str, env: Mapping[str, str | None] | None = None, timeout: float = 60, check: bool = True
) -> subprocess.CompletedProcess[str]:
    """Runs `code` (dedented) in a fresh interpreter and returns the CompletedProcess.

    The child inherits this process's environment (PYTHONPATH included, so it
    finds the same ostrel_core); `env` adds to it, and a value of None removes
    a variable. With `check`, a non-zero exit fails the test with its output.
    """
    child_env = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = value
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check and completed.returncode != 0:
        pytest.fail(
            f"subprocess exited with {completed.returncode}\n"
            f"--- stdout ---\n{completed.stdout}\n--- stderr ---\n{completed.stderr}"
        )
    return completed


@pytest.fixture
def run_python() -> Callable[..., subprocess.CompletedProcess[str]]:
    """The run_in_subprocess helper, as a fixture."""
    return run_in_subprocess


STUB_FILE = pathlib.Path(__file__).resolve().parents[2] / "stubs" / "ostrel_core" / "__init__.pyi"


def stub_all_names() -> list[str]:
    """The `__all__` of the shipped stubs, in its order: the registration order
    the module must follow (stubtest ties the stubs to the module's names and
    signatures)."""
    tree = ast.parse(STUB_FILE.read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return [str(name) for name in ast.literal_eval(node.value)]
    raise AssertionError(f"no __all__ in {STUB_FILE}")


def stub_functions() -> dict[str, list[tuple[str, bool]]]:
    """The stubs' module-level functions: name -> [(parameter, has default)]."""
    tree = ast.parse(STUB_FILE.read_text(encoding="utf-8"))
    functions: dict[str, list[tuple[str, bool]]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            parameters = node.args.args
            first_default = len(parameters) - len(node.args.defaults)
            functions[node.name] = [(p.arg, i >= first_default) for i, p in enumerate(parameters)]
    return functions


def non_contiguous_image() -> np.ndarray:
    return np.zeros((2, 4, 3), np.float32)[:, ::2]


@pytest.fixture(scope="session")
def panic_exception() -> type[BaseException]:
    """The PanicException class, obtained by provoking an internal fault."""
    try:
        ostrel_core.encode_srgb(non_contiguous_image())
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            return type(error)
        raise
    pytest.fail("a non-contiguous input to encode_srgb did not raise")
