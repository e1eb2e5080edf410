# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""NumPy is found at run time, on the first kernel call: a module without a
usable NumPy imports fine, its kernel calls raise PanicException until NumPy
can be reached, and argument matching never needs NumPy. Each case runs in a
fresh interpreter, since the interface table is kept once found."""

from conftest import stub_all_names

# Blocks every import of numpy until BLOCKER.active is cleared.
BLOCK_NUMPY = """
import sys

class NumpyBlocker:
    active = True

    def find_spec(self, name, path=None, target=None):
        if self.active and (name == "numpy" or name.startswith("numpy.")):
            raise ImportError(f"blocked import of {name}")
        return None

BLOCKER = NumpyBlocker()
sys.meta_path.insert(0, BLOCKER)
"""

PREFIX = "Failed to access NumPy array API capsule"


def test_without_numpy(run_python):
    run_python(
        BLOCK_NUMPY
        + f"""
import ostrel_core

assert "numpy" not in sys.modules
assert ostrel_core.__all__ == {stub_all_names()!r}
assert callable(ostrel_core.encode_srgb)

def panic_message(call):
    try:
        call()
    except BaseException as error:
        assert type(error).__qualname__ == "PanicException", repr(error)
        assert type(error).__module__ == "pyo3_runtime"
        return str(error)
    raise AssertionError("no exception")

# A matching call needs NumPy's array type even to refuse a non-array.
for call in (
    lambda: ostrel_core.encode_srgb([[[0.5]]]),
    lambda: ostrel_core.encode_srgb(None),
    lambda: ostrel_core.encode_srgb(img=1.0),
):
    message = panic_message(call)
    assert message.startswith({PREFIX!r}), message

# Argument matching needs no NumPy.
for call, expected in (
    (lambda: ostrel_core.encode_srgb(1, 2), "encode_srgb() takes 1 positional arguments but 2 were given"),
    (lambda: ostrel_core.encode_srgb(), "encode_srgb() missing 1 required positional argument: 'img'"),
    (lambda: ostrel_core.encode_srgb(im=1), "encode_srgb() got an unexpected keyword argument 'im'"),
):
    try:
        call()
    except TypeError as error:
        assert str(error) == expected, str(error)
    else:
        raise AssertionError("no TypeError")

# Once NumPy can be imported, the next call finds it.
BLOCKER.active = False
import numpy as np
result = ostrel_core.encode_srgb(np.ones((1, 2, 1), np.float32))
assert result.view(np.uint32).tolist() == [[[0x3F7FFFFF], [0x3F7FFFFF]]]
try:
    ostrel_core.encode_srgb([[[0.5]]])
except TypeError as error:
    assert str(error) == "argument 'img': 'list' object is not an instance of 'ndarray'", str(error)
"""
    )


def test_unusable_numpy_is_retried_and_then_kept(run_python):
    # Broken in turn: NumpyVersion, then the _ARRAY_API capsule of the core
    # package that matches NumPy's major version (numpy._core for 2.x,
    # numpy.core for 1.x). Patching the other package would change nothing.
    run_python(
        f"""
import numpy as np
import numpy.lib
import ostrel_core

major = int(np.__version__.split(".")[0])
if major >= 2:
    import numpy._core.multiarray as multiarray
else:
    import numpy.core.multiarray as multiarray

def expect_panic():
    try:
        ostrel_core.encode_srgb(np.zeros((1, 1, 1), np.float32))
    except BaseException as error:
        assert type(error).__qualname__ == "PanicException", repr(error)
        assert str(error).startswith({PREFIX!r}), str(error)
    else:
        raise AssertionError("no PanicException")

version_class = numpy.lib.NumpyVersion
del numpy.lib.NumpyVersion
expect_panic()
expect_panic()
numpy.lib.NumpyVersion = version_class

capsule = multiarray._ARRAY_API
multiarray._ARRAY_API = 42
expect_panic()
multiarray._ARRAY_API = capsule

assert ostrel_core.encode_srgb(np.ones((1, 1, 1), np.float32)).view(np.uint32)[0, 0, 0] == 0x3F7FFFFF

# Found once, the table is kept for the life of the process.
multiarray._ARRAY_API = 42
del numpy.lib.NumpyVersion
assert ostrel_core.encode_srgb(np.ones((1, 1, 1), np.float32)).view(np.uint32)[0, 0, 0] == 0x3F7FFFFF
"""
    )


def test_lookup_uses_no_deprecated_numpy_module(run_python):
    # NumPy 2 warns on any use of numpy.core; the lookup must not touch it.
    run_python(
        """
import warnings
warnings.simplefilter("error")
import numpy as np
import ostrel_core
result = ostrel_core.encode_srgb(np.full((2, 2, 1), 0.5, np.float32))
assert result.shape == (2, 2, 1)
"""
    )


def test_lookup_from_several_threads_at_once(run_python):
    run_python(
        """
import threading
import numpy as np
import ostrel_core

barrier = threading.Barrier(8)
results = []
errors = []

def work():
    image = np.full((16, 16, 3), 0.5, np.float32)
    barrier.wait()
    try:
        results.append(ostrel_core.encode_srgb(image))
    except BaseException as error:
        errors.append(error)

threads = [threading.Thread(target=work) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert not errors, errors
assert len(results) == 8
assert all(np.array_equal(r, results[0]) for r in results)
"""
    )
