# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The one error path under memory pressure: whichever of the interpreter's
allocations fails during a failing call, the call raises its own exception
or MemoryError, and the process carries on."""

import pytest

_testcapi = pytest.importorskip("_testcapi")

# Each failing call with its exception type name and message. For every n,
# the n-th interpreter allocation of the call is made to fail.
SWEEP = """
import numpy as np
import _testcapi
import ostrel_core as oc

rgb = np.zeros((2, 3, 3), np.float32)
calls = {
    "shape error": (lambda: oc.zone_system(rgb, oc.ZoneParams({5: 1.0})), "ValueError",
                    "shape error: zone_system expects (H, W, 1) luminance input, got shape [2, 3, 3]"),
    "internal fault": (lambda: oc.encode_srgb(rgb[:, ::2]), "PanicException",
                       "encode_srgb: input must be C-contiguous"),
    "success": (lambda: oc.encode_srgb(rgb), None, None),
}
# Warm-up: the NumPy lookup, the holder and exception classes are made once.
for call, kind, message in calls.values():
    try:
        call()
    except BaseException:
        pass
seen = {}
for name, (call, kind, message) in calls.items():
    for n in range(1, 120):
        outcome = "none"
        try:
            _testcapi.set_nomemory(n, n + 1)
            try:
                call()
            finally:
                _testcapi.remove_mem_hooks()
        except BaseException as error:  # PanicException derives from BaseException
            outcome = (type(error).__name__, str(error))
        if outcome == "none":
            assert kind is None, (name, n, "no exception")
        elif outcome[0] != "MemoryError":
            assert outcome == (kind, message), (name, n, outcome)
        seen.setdefault(name, set()).add(outcome if outcome == "none" else outcome[0])
    # The sweep went past the call's last allocation, the message's included.
    assert outcome == ("none" if kind is None else (kind, message)), (name, "sweep too short", outcome)
    # The call works normally once memory is back.
    if kind is None:
        call()
    else:
        try:
            call()
        except BaseException as error:
            assert (type(error).__name__, str(error)) == (kind, message)
print(sorted((name, sorted(outcomes)) for name, outcomes in seen.items()))
"""


def test_failing_allocations_give_the_call_exception_or_memory_error(run_python):
    completed = run_python(SWEEP, timeout=120)
    report = completed.stdout
    # Both outcomes occurred for each failing call: the sweep reached the
    # message building as well as the steps before it.
    assert "('internal fault', ['MemoryError', 'PanicException'])" in report, report
    assert "('shape error', ['MemoryError', 'ValueError'])" in report, report
