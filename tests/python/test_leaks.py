# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""No references or memory left behind by kernel calls, successful or not.

Release builds have no sys.gettotalrefcount, and tracemalloc does not see the
result buffers, so three measures stand in: the reference counts of the
objects a call touches, the interpreter's count of allocated blocks (leaked
exceptions, strings, tuples), and the resident set size for the buffers."""

import gc
import os
import sys

import numpy as np
import pytest

from ostrel_core import encode_srgb

SANITIZED = bool(os.environ.get("OSTREL_SANITIZED"))
MIB = 1 << 20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call_and_swallow(call):
    try:
        call()
    except BaseException as error:
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise


IMAGE = np.random.default_rng(0).uniform(0, 1, (8, 8, 3)).astype(np.float32)
NOT_CONTIGUOUS = IMAGE[:, ::2]
WRONG_DTYPE = IMAGE.astype(np.float64)

CALLS = {
    "success": lambda: encode_srgb(IMAGE),
    "by keyword": lambda: encode_srgb(img=IMAGE),
    "too many positional": lambda: encode_srgb(IMAGE, IMAGE),
    "missing": lambda: encode_srgb(),
    "unexpected keyword": lambda: encode_srgb(IMAGE, other=IMAGE),
    "duplicate": lambda: encode_srgb(IMAGE, img=IMAGE),
    "not an array": lambda: encode_srgb([IMAGE]),
    "None": lambda: encode_srgb(None),
    "wrong dtype": lambda: encode_srgb(WRONG_DTYPE),
    "not contiguous": lambda: encode_srgb(NOT_CONTIGUOUS),
    "empty": lambda: encode_srgb(IMAGE[:0]),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_no_reference_leaks(name):
    call = CALLS[name]
    watched = [IMAGE, NOT_CONTIGUOUS, WRONG_DTYPE, IMAGE.base, type(IMAGE)]
    holder_type = type(encode_srgb(IMAGE).base)
    for _ in range(50):  # warm-up: caches, the PanicException class, the holder class
        call_and_swallow(call)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    holder_type_count = sys.getrefcount(holder_type)
    blocks = sys.getallocatedblocks()
    for _ in range(2000):
        call_and_swallow(call)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert sys.getrefcount(holder_type) == holder_type_count
    # A few blocks of slack for interpreter caches; a leak per call gives thousands.
    assert sys.getallocatedblocks() - blocks < 200


def test_holder_is_only_referenced_by_its_array():
    alone = object()
    result = encode_srgb(IMAGE)
    holder = result.base
    assert sys.getrefcount(holder) == sys.getrefcount(alone) + 1  # the array's base pointer
    del result
    assert sys.getrefcount(holder) == sys.getrefcount(alone)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer keeps freed memory in quarantine")
def test_result_buffers_are_freed():
    image = np.random.default_rng(1).uniform(0, 1, (256, 256, 4)).astype(np.float32)  # 1 MiB
    for _ in range(20):
        encode_srgb(image)
    gc.collect()
    before = resident_bytes()
    for _ in range(500):
        result = encode_srgb(image)
        view = result[::2]  # the buffer must outlive the array while a view exists
        del result
        assert view[0, 0, 0] == view[0, 0, 0] or np.isnan(view[0, 0, 0])
        del view
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 32 * MIB, f"resident set grew by {growth / MIB:.1f} MiB over 500 results of 1 MiB"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer keeps freed memory in quarantine")
def test_failed_calls_release_their_inputs():
    # A fresh 1 MiB input per call: a reference to it kept by a failing call
    # would keep all of them alive.
    rng = np.random.default_rng(2)
    template = rng.uniform(0, 1, (256, 512, 4)).astype(np.float32)  # 2 MiB, viewed in halves
    bad_calls = [
        lambda a: encode_srgb(a[:, ::2]),  # PanicException: not contiguous
        lambda a: encode_srgb(a, a),  # TypeError: matching
        lambda a: encode_srgb(a, img=a),
        lambda a: encode_srgb(a.astype(np.float64)[:, :1]),  # TypeError: conversion
    ]
    for call in bad_calls:
        call_and_swallow(lambda call=call: call(template.copy()))
    gc.collect()
    before = resident_bytes()
    for i in range(400):
        call = bad_calls[i % len(bad_calls)]
        call_and_swallow(lambda call=call: call(template.copy()))
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 32 * MIB, f"resident set grew by {growth / MIB:.1f} MiB over 400 failed calls on 2 MiB inputs"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer keeps freed memory in quarantine")
def test_large_results_reuse_memory_but_never_a_live_array():
    # 8 MiB results: large enough for the library to keep freed blocks for
    # reuse. Live results must keep their values (every call encodes other
    # values, so a reused live block would show); dead ones must not pile up.
    rng = np.random.default_rng(3)
    images = [rng.uniform(0, 1, (512, 1024, 4)).astype(np.float32) for _ in range(6)]
    kept = [encode_srgb(image) for image in images[:2]]
    copies = [k.copy() for k in kept]
    gc.collect()
    before = resident_bytes()
    for i in range(60):
        source = 2 + i % 4
        result = encode_srgb(images[source])
        if i % 9 == 0:  # the old one dies, the new one lives on
            kept[i % 2], copies[i % 2] = result, result.copy()
        del result
        for k, c in zip(kept, copies, strict=True):
            assert np.array_equal(k, c)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 48 * MIB, f"resident set grew by {growth / MIB:.1f} MiB over 60 results of 8 MiB"
