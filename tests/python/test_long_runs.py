# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""scripts/fuzz and scripts/soak run their drivers for as long as asked; here
each runs for a few seconds, so that a broken driver shows in the test command."""

import os
import re
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

pytestmark = pytest.mark.skipif(bool(os.environ.get("OSTREL_SANITIZED")), reason="too slow under the sanitizers")


def run_driver(name, seconds):
    return subprocess.run(
        [sys.executable, os.path.join(HERE, name), str(seconds)], capture_output=True, text=True, timeout=300
    )


def test_fuzz_campaign_reports_examples_failures_and_crashes():
    completed = run_driver("fuzz_campaign.py", 3)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    found = re.fullmatch(
        r"fuzz campaign: \d+ s, (\d+) examples tried, 0 distinct failures, 0 crashes\n", completed.stdout
    )
    assert found and int(found.group(1)) > 0, completed.stdout


def test_soak_reports_calls_forks_and_rss():
    completed = run_driver("soak.py", 3)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    found = re.fullmatch(
        r"soak: \d+ s, (\d+) calls from 4 threads, (\d+) forks \(0 failed\), "
        r"RSS [\d.]+ MiB after warm-up, [\d.]+ MiB at the end\n",
        completed.stdout,
    )
    assert found and int(found.group(1)) > 0 and int(found.group(2)) > 0, completed.stdout
