# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The module's place in the interpreter's life: a process whose threads are
inside kernels when it exits ends with its own status, and the module refuses
to load in a subinterpreter."""

import json
import os
import sys

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="forks and reads exit statuses")

SANITIZED = bool(os.environ.get("OSTREL_SANITIZED"))
HERE = os.path.dirname(os.path.abspath(__file__))

# Threads call kernels of every size (one element; below the pool's
# threshold; a pool loop; planes of a few MiB, the block cache's sizes) and
# kernels whose arguments run Python code that gives up the lock, then the
# main thread leaves by sys.exit, by the end of the script or by an uncaught
# exception. MODE "fork": a driver forks RUNS children that each do that (the
# children start from an imported module with no pool yet, and a fork costs
# far less than an interpreter); it prints every child's exit status and
# whatever a child wrote that shows a crash. MODE "exit", "return" or
# "raise": this interpreter does it once itself.
EXIT_STORM = r'''
import json, os, random, sys, tempfile, threading, time, warnings, _thread
import numpy as np
import ostrel_core as oc
from child_process import wait_for_child

warnings.filterwarnings("ignore", category=DeprecationWarning)  # fork while threads run
SIZES = [(1, 1), (17, 23), (90, 70), (700, 500)]
rng = np.random.default_rng(SEED)
rgb = {s: rng.uniform(-0.1, 1.2, s + (3,)).astype(np.float32) for s in SIZES}
lum = {s: rng.uniform(0.0, 1.0, s + (1,)).astype(np.float32) for s in SIZES}
zones = oc.ZoneParams({2: -0.5, 7: 0.4})
guided = oc.GuidedFilterParams(radius=3, eps=0.01)


class SlowNumber:
    """An argument whose conversion runs Python code that gives up the lock."""

    def __index__(self):
        time.sleep(0.0002)
        return 2

    def __float__(self):
        time.sleep(0.0002)
        return 0.5


CALLS = [
    lambda s: oc.luminance_bw(rgb[s]),
    lambda s: oc.color_filter_bw(rgb[s], oc.ColorFilter.Red25A),
    lambda s: oc.channel_mixer_bw(rgb[s], 0.5, 0.3, SlowNumber()),
    lambda s: oc.zone_system(lum[s], zones),
    lambda s: oc.local_contrast(lum[s], guided, 0.5),
    lambda s: oc.local_contrast(lum[s], oc.GuidedFilterParams(SlowNumber(), 0.01), SlowNumber()),
    lambda s: oc.encode_srgb(rgb[s]),
]
EXPECTED = {"exit": 7, "return": 0, "raise": 1}


def leave(style, threads, delay):
    def work(seed):
        r = random.Random(seed)
        while True:
            r.choice(CALLS)(r.choice(SIZES))

    for k in range(threads):
        if k % 2:
            _thread.start_new_thread(work, (k,))
        else:
            threading.Thread(target=work, args=(k,), daemon=True).start()
    time.sleep(delay)
    if style == "exit":
        sys.exit(7)
    if style == "raise":
        raise KeyError("leaving by an uncaught exception")


if MODE != "fork":
    leave(MODE, 4, 0.02)
else:
    r = random.Random(SEED)
    logs = tempfile.mkdtemp()
    statuses, crashes, child = [], [], None
    for i in range(RUNS):
        style = ("exit", "return", "raise")[i % 3]
        threads, delay = r.randint(1, 6), r.uniform(0.0, 0.03)
        log = os.path.join(logs, f"{i}.txt")
        pid = os.fork()
        if pid == 0:
            fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            os.dup2(fd, 1)
            os.dup2(fd, 2)
            child = (style, threads, delay)
            break
        code = wait_for_child(pid, 30)
        with open(log) as f:
            text = f.read()
        if code != EXPECTED[style] or any(s in text for s in ("terminate called", "Fatal Python", "Sanitizer")):
            crashes.append({"style": style, "threads": threads, "code": code, "output": text[-2000:]})
        statuses.append(code)
        os.unlink(log)
    if child is not None:
        leave(*child)
    else:
        print(json.dumps({"runs": len(statuses), "crashes": crashes}))
'''


def storm(run_python, mode, runs=0, seed=0):
    code = f"import sys\nsys.path.insert(0, {HERE!r})\nMODE, RUNS, SEED = {mode!r}, {runs}, {seed}\n" + EXIT_STORM
    return run_python(code, timeout=600, check=False)


@pytest.mark.parametrize("seed", [1, 2])
def test_forked_processes_exit_with_their_own_status_while_threads_run_kernels(run_python, seed):
    runs = 9 if SANITIZED else 60
    completed = storm(run_python, "fork", runs, seed)
    assert completed.returncode == 0, completed.stderr[-3000:]
    report = json.loads(completed.stdout)
    assert report["runs"] == runs
    assert report["crashes"] == []


@pytest.mark.parametrize("style, expected", [("exit", 7), ("return", 0), ("raise", 1)])
def test_interpreter_exits_with_its_own_status_while_threads_run_kernels(run_python, style, expected):
    # A fresh interpreter: the exit may also meet the first call's pool
    # creation and NumPy lookup.
    for seed in range(2):
        completed = storm(run_python, style, seed=seed)
        assert completed.returncode == expected, completed.stderr[-3000:]
        assert "terminate called" not in completed.stderr
        assert "Fatal Python" not in completed.stderr


def test_pool_workers_neither_keep_the_process_alive_nor_outlive_it(run_python):
    # The pool's workers are still parked when the interpreter ends; the
    # process exits at once with its status (a deadline turns a hang into a
    # failure).
    completed = run_python(
        """
        import sys
        import numpy as np
        import ostrel_core
        ostrel_core.encode_srgb(np.zeros((300, 300, 3), np.float32))
        sys.exit(5)
        """,
        env={"RAYON_NUM_THREADS": "4"},
        check=False,
        timeout=30,
    )
    assert completed.returncode == 5, completed.stderr


# Prints, one line per attempt, how importing ostrel_core in a subinterpreter
# ended. IMPORTED_FIRST: the main interpreter has the module already.
SUBINTERPRETER = r'''
import os
import sys

if IMPORTED_FIRST:
    import ostrel_core

ATTEMPT = """
import os
try:
    import ostrel_core
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
except BaseException as error:
    outcome = type(error).__name__ + ": " + str(error)
os.write(1, (KIND + " " + outcome + "\\n").encode())
"""


def attempt(kind):
    return f"KIND = {kind!r}\n" + ATTEMPT


import _testcapi

_testcapi.run_in_subinterp(attempt("legacy"))
if hasattr(_testcapi, "run_in_subinterp_with_config"):
    _testcapi.run_in_subinterp_with_config(
        attempt("isolated"), use_main_obmalloc=False, allow_fork=False, allow_exec=False, allow_threads=True,
        allow_daemon_threads=False, check_multi_interp_extensions=True, gil=2)
try:
    import _interpreters
except ImportError:
    pass
else:
    _interpreters.exec(_interpreters.create(), attempt("isolated"))
    _interpreters.exec(_interpreters.create(_interpreters.new_config("legacy")), attempt("legacy"))

# The main interpreter's module is whole afterwards.
import numpy as np
import ostrel_core
out = ostrel_core.zone_system(np.full((2, 2, 1), 0.18, np.float32), ostrel_core.ZoneParams({5: 1.0}))
print("main", out.shape, ostrel_core.ColorFilter.Red25A == 3)
'''


@pytest.mark.parametrize("imported_first", [False, True])
def test_subinterpreters_get_an_import_error(run_python, imported_first):
    pytest.importorskip("_testcapi")
    completed = run_python(f"IMPORTED_FIRST = {imported_first}\n" + SUBINTERPRETER)
    lines = completed.stdout.splitlines()
    refused = "ImportError: module ostrel_core does not support loading in subinterpreters"
    kinds = [line.split(" ", 1)[0] for line in lines[:-1]]
    assert "legacy" in kinds and "isolated" in kinds, lines
    assert lines[:-1] == [f"{kind} {refused}" for kind in kinds]
    assert lines[-1] == "main (2, 2, 1) True"
