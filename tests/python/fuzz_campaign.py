"""A long fuzzing campaign over the property tests of test_properties.py.

    python fuzz_campaign.py SECONDS

Workers (child processes, one at a time) run the properties again and again
with fresh random seeds under the "fuzz" hypothesis profile until the time is
up, and report after every run how many examples they tried and which
failures hypothesis found. A worker that dies (a signal, an abort) counts as
a crash, and a new one carries on. The campaign prints examples tried,
distinct failures and crashes, and exits non-zero if there was any of either.
"""

import json
import os
import subprocess
import sys
import time
from collections.abc import Iterator

HERE = os.path.dirname(os.path.abspath(__file__))


def failure_key(test_name: str, error: BaseException) -> str:
    """Failures are told apart by property, exception type and first line."""
    first_line = (str(error).strip().splitlines() or [""])[0][:200]
    return f"{test_name}: {type(error).__name__}: {first_line}"


def leaf_errors(error: BaseException) -> Iterator[BaseException]:
    if isinstance(error, BaseExceptionGroup):
        for inner in error.exceptions:
            yield from leaf_errors(inner)
    else:
        yield error


def worker(deadline: float) -> None:
    os.environ["OSTREL_HYPOTHESIS_PROFILE"] = "fuzz"
    sys.path.insert(0, HERE)
    import test_properties

    properties = [
        getattr(test_properties, name)
        for name in dir(test_properties)
        if name.startswith("test_") and callable(getattr(test_properties, name))
    ]
    round_number = 0
    while time.time() < deadline:
        test = properties[round_number % len(properties)]
        round_number += 1
        before = sum(test_properties.EXAMPLES.values())
        failures = []
        try:
            test()
        except BaseException as error:
            if isinstance(error, KeyboardInterrupt):
                raise
            failures = sorted({failure_key(test.__name__, leaf) for leaf in leaf_errors(error)})
        examples = sum(test_properties.EXAMPLES.values()) - before
        print(json.dumps({"examples": examples, "failures": failures}), flush=True)


def campaign(seconds: float) -> int:
    start = time.time()
    deadline = start + seconds
    examples, workers = 0, 0
    failures: dict[str, int] = {}
    crashes: list[str] = []
    while time.time() < deadline:
        workers += 1
        process = subprocess.Popen(
            [sys.executable, __file__, "--worker", repr(deadline)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        assert process.stdout is not None and process.stderr is not None
        for line in process.stdout:
            report = json.loads(line)
            examples += report["examples"]
            for key in report["failures"]:
                failures[key] = failures.get(key, 0) + 1
        stderr = process.stderr.read()
        if process.wait() != 0:
            crashes.append(f"worker {workers} ended with status {process.returncode}: {stderr.strip()[-500:]}")
    elapsed = time.time() - start
    for key, count in sorted(failures.items()):
        print(f"failure ({count} runs): {key}")
    for crash in crashes:
        print(f"crash: {crash}")
    print(
        f"fuzz campaign: {elapsed:.0f} s, {examples} examples tried, {len(failures)} distinct failures, "
        f"{len(crashes)} crashes"
    )
    return 1 if failures or crashes else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(float(sys.argv[2]))
    else:
        sys.exit(campaign(float(sys.argv[1]) if len(sys.argv) > 1 else 600.0))
