# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""The module frame, seen through encode_srgb: argument matching and conversion,
the output arrays and their holder, PanicException, module attributes."""

import gc
import inspect
import shutil
import subprocess
import weakref

import numpy as np
import pytest

import ostrel_core
from conftest import stub_all_names, stub_functions
from ostrel_core import encode_srgb

# Registration order of every public name, as the stubs list it.
ALL_NAMES = stub_all_names()

MODULE_DOC = (
    "The `ostrel_core` Python extension module.\n\n"
    "Exposes the numerical kernels as Python-callable functions. All\n"
    "arrays are `numpy.float32`, C-contiguous, shape `(H, W, C)`."
)

ENCODE_SRGB_DOC = (
    "Apply the IEC 61966-2-1 sRGB transfer encoding.\n"
    "\n"
    "This is always the last kernel in the pipeline. Converts scene-referred\n"
    "linear f32 values to display-referred sRGB. Values are not clamped \u2014\n"
    "caller should clamp to [0, 1] beforehand if required.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "img : numpy.ndarray\n"
    "    Input array, shape ``(H, W, C)``, dtype ``float32``, C-contiguous.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    Shape ``(H, W, C)``, dtype ``float32``, display-referred sRGB.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If ``img`` does not have exactly 3 dimensions."
)

NOT_NDARRAY = "argument 'img': 'ndarray' object is not an instance of 'ndarray'"


def image(shape=(4, 5, 3), seed=0):
    return np.random.default_rng(seed).uniform(-0.5, 2.0, shape).astype(np.float32)


class Wrapper:
    class ImageSubclass(np.ndarray):
        """An ndarray subclass whose __qualname__ differs from its __name__."""


# --- argument matching ------------------------------------------------------


def test_img_by_keyword_equals_img_by_position():
    a = image()
    assert np.array_equal(encode_srgb(img=a).view(np.uint32), encode_srgb(a).view(np.uint32))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: encode_srgb(a, a), "encode_srgb() takes 1 positional arguments but 2 were given"),
        (lambda a: encode_srgb(a, a, a), "encode_srgb() takes 1 positional arguments but 3 were given"),
        # Too many positional arguments is reported before any keyword.
        (lambda a: encode_srgb(a, None, img=a), "encode_srgb() takes 1 positional arguments but 2 were given"),
        (lambda a: encode_srgb(), "encode_srgb() missing 1 required positional argument: 'img'"),
        (lambda a: encode_srgb(a, img=a), "encode_srgb() got multiple values for argument 'img'"),
        (lambda a: encode_srgb(a, image=a), "encode_srgb() got an unexpected keyword argument 'image'"),
        # Keywords are examined before missing arguments, and compared exactly.
        (lambda a: encode_srgb(Img=a), "encode_srgb() got an unexpected keyword argument 'Img'"),
        (lambda a: encode_srgb(img=a, x=1), "encode_srgb() got an unexpected keyword argument 'x'"),
        (lambda a: encode_srgb(x=1, img=a), "encode_srgb() got an unexpected keyword argument 'x'"),
        (lambda a: encode_srgb(**{"img\u00e9": a}), "encode_srgb() got an unexpected keyword argument 'img\u00e9'"),  # noqa: PIE804
        # Matching comes first: the values are never looked at.
        (lambda a: encode_srgb(None, None), "encode_srgb() takes 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as raised:
        call(image())
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


# --- conversion of img --------------------------------------------------------


@pytest.mark.parametrize(
    "value, message",
    [
        ([[[0.5]]], "argument 'img': 'list' object is not an instance of 'ndarray'"),
        (None, "argument 'img': 'None' is not an instance of 'ndarray'"),
        (0.5, "argument 'img': 'float' object is not an instance of 'ndarray'"),
        (np.float32(0.5), "argument 'img': 'float32' object is not an instance of 'ndarray'"),
        (b"\0\0\0\0", "argument 'img': 'bytes' object is not an instance of 'ndarray'"),
        (
            memoryview(np.zeros((1, 1, 1), np.float32)),
            "argument 'img': 'memoryview' object is not an instance of 'ndarray'",
        ),
        (np.zeros((2, 2, 3), np.float64), NOT_NDARRAY),
        (np.zeros((2, 2, 3), np.float16), NOT_NDARRAY),
        (np.zeros((2, 2, 3), np.int32), NOT_NDARRAY),
        (np.zeros((2, 2, 3), np.uint32), NOT_NDARRAY),
        (np.zeros((2, 2, 3), np.complex64), NOT_NDARRAY),
        (np.zeros((2, 2, 3), ">f4"), NOT_NDARRAY),  # non-native byte order
        (np.zeros((2, 2), np.float32), NOT_NDARRAY),
        (np.zeros((), np.float32), NOT_NDARRAY),
        (np.zeros((6,), np.float32), NOT_NDARRAY),
        (np.zeros((1, 2, 2, 3), np.float32), NOT_NDARRAY),
        (
            np.zeros((2, 2, 3), np.float32).view(Wrapper.ImageSubclass)[0],
            "argument 'img': 'Wrapper.ImageSubclass' object is not an instance of 'ndarray'",
        ),
        (
            np.zeros((2, 2, 3), np.float64).view(Wrapper.ImageSubclass),
            "argument 'img': 'Wrapper.ImageSubclass' object is not an instance of 'ndarray'",
        ),
    ],
    ids=lambda v: type(v).__name__ if not isinstance(v, str) else None,
)
def test_img_conversion_messages(value, message):
    with pytest.raises(TypeError) as raised:
        encode_srgb(value)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert raised.value.__cause__ is None


def test_img_given_by_keyword_is_converted_alike():
    with pytest.raises(TypeError, match=r"^argument 'img': 'None' is not an instance of 'ndarray'$"):
        encode_srgb(img=None)


def test_ndarray_subclass_of_three_axes_is_accepted():
    a = image()
    result = encode_srgb(a.view(Wrapper.ImageSubclass))
    assert type(result) is np.ndarray
    assert np.array_equal(result.view(np.uint32), encode_srgb(a).view(np.uint32))


def test_native_byte_order_spelled_explicitly_is_accepted():
    a = image()
    native = a.view(np.dtype("<f4") if np.little_endian else np.dtype(">f4"))
    assert np.array_equal(encode_srgb(native).view(np.uint32), encode_srgb(a).view(np.uint32))


def unaligned_offset_view(shape):
    count = int(np.prod(shape))
    buffer = bytearray(4 * count + 1)
    return np.frombuffer(buffer, np.float32, count=count, offset=1).reshape(shape)


def structured_field_view(shape, pad_bytes):
    record = np.dtype([("value", np.float32), ("pad", np.uint8, (pad_bytes,))])
    return np.ones(shape, record)["value"]


@pytest.mark.parametrize(
    "make",
    [
        lambda: unaligned_offset_view((2, 3, 3)),
        lambda: unaligned_offset_view((1, 1, 1)),
        lambda: structured_field_view((2, 3, 3), 1),  # element stride 5 bytes
        lambda: structured_field_view((2, 3, 1), 1),  # column stride 5 bytes
        lambda: structured_field_view((3, 1, 1), 2),  # row stride 6 bytes
    ],
)
def test_unaligned_arrays_are_refused(make):
    a = make()
    assert a.dtype == np.float32 and a.ndim == 3
    before = a.tobytes()
    with pytest.raises(TypeError, match=r"^argument 'img': "):
        encode_srgb(a)
    assert a.tobytes() == before


# --- the output array ----------------------------------------------------------


def test_result_array_properties():
    a = image()
    result = encode_srgb(a)
    assert type(result) is np.ndarray
    assert result.dtype == np.float32
    assert result.shape == a.shape
    assert result.strides == (5 * 3 * 4, 3 * 4, 4)
    assert result.flags.c_contiguous
    assert result.flags.writeable
    assert result.flags.aligned
    assert not result.flags.owndata
    assert not np.shares_memory(result, a)
    holder = result.base
    assert type(holder).__name__ == "PySliceContainer"
    assert type(holder).__qualname__ == "PySliceContainer"
    assert type(holder).__module__ == "builtins"
    assert repr(type(holder)) == "<class 'builtins.PySliceContainer'>"
    assert type(holder).__bases__ == (object,)
    assert not hasattr(ostrel_core, "PySliceContainer")


def test_results_have_their_own_buffers():
    a = image()
    first, second = encode_srgb(a), encode_srgb(a)
    assert not np.shares_memory(first, second)
    assert type(first.base) is type(second.base)
    assert first.base is not second.base


def test_holder_class_cannot_be_instantiated_or_subclassed():
    holder_type = type(encode_srgb(image()).base)
    with pytest.raises(TypeError):
        holder_type()
    with pytest.raises(TypeError):
        type("Derived", (holder_type,), {})
    holder = encode_srgb(image()).base
    assert not hasattr(holder, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(holder)


def test_writing_the_result_leaves_the_input_alone():
    a = image()
    before = a.copy()
    result = encode_srgb(a)
    result[...] = 7.0
    assert np.array_equal(a, before)
    assert np.all(encode_srgb(a) != 7.0)


def test_views_keep_the_buffer_alive():
    a = image((64, 64, 3))
    expected = encode_srgb(a)
    result = encode_srgb(a)
    view = result[10:20, ::3]
    del result
    gc.collect()
    # Allocate and free other results so that a freed buffer would be reused.
    for _ in range(5):
        encode_srgb(image((64, 64, 3), seed=1))
    assert np.array_equal(view.view(np.uint32), expected[10:20, ::3].view(np.uint32))


def test_empty_result_is_a_proper_array():
    result = encode_srgb(np.zeros((0, 5, 3), np.float32))
    assert result.shape == (0, 5, 3)
    assert result.dtype == np.float32
    assert result.flags.c_contiguous and result.flags.writeable
    assert type(result.base).__name__ == "PySliceContainer"


# --- the input is never modified ------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: image(),
        lambda: image()[:, ::2],  # refused: not C-contiguous
        lambda: image()[::-1],  # refused
        lambda: np.asfortranarray(image()),  # refused
        lambda: image((0, 5, 3)),
    ],
)
@pytest.mark.parametrize("read_only", [False, True])
def test_input_is_never_modified(make, read_only):
    a = make()
    if read_only:
        a.setflags(write=False)
    before = a.copy()
    base_before = None if a.base is None else np.array(a.base, copy=True)
    try:
        encode_srgb(a)
    except BaseException as error:  # noqa: BLE001 - PanicException
        assert type(error).__name__ == "PanicException"
    assert np.array_equal(a.view(np.uint32), before.view(np.uint32))
    if base_before is not None:
        assert np.array_equal(np.asarray(a.base).view(np.uint32), base_before.view(np.uint32))
    assert a.flags.writeable is not read_only


# --- PanicException -------------------------------------------------------------


def test_panic_exception_class(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert "BaseException" in panic_exception.__doc__
    assert not hasattr(ostrel_core, "PanicException")


def test_panic_exception_is_one_class_with_the_message(panic_exception):
    for bad in (image()[:, ::2], image().transpose(1, 0, 2)):
        with pytest.raises(panic_exception) as raised:
            encode_srgb(bad)
        assert type(raised.value) is panic_exception
        assert raised.value.args == ("encode_srgb: input must be C-contiguous",)
        assert str(raised.value) == "encode_srgb: input must be C-contiguous"


def test_panic_exception_passes_through_except_exception(panic_exception):
    def swallow_ordinary_errors():
        try:
            encode_srgb(image()[::-1])
        except Exception:  # noqa: BLE001 - the point of the test
            return "swallowed"
        return "returned"

    with pytest.raises(panic_exception):
        swallow_ordinary_errors()


# --- module attributes -------------------------------------------------------------


def test_module_docstring():
    assert ostrel_core.__doc__ == MODULE_DOC


def test_all_lists_the_registered_names_in_order():
    names = ostrel_core.__all__
    assert type(names) is list
    assert names == ALL_NAMES
    # Classes first, then the kernel functions.
    kinds = [isinstance(getattr(ostrel_core, name), type) for name in names]
    assert kinds == sorted(kinds, reverse=True)
    public = {name for name in dir(ostrel_core) if not name.startswith("_")}
    assert public == set(names)


@pytest.mark.parametrize("name, parameters", sorted(stub_functions().items()))
def test_kernel_signatures_agree_with_the_stubs(name, parameters):
    function = getattr(ostrel_core, name)
    signature = inspect.signature(function)
    assert [(p.name, p.default is not inspect.Parameter.empty) for p in signature.parameters.values()] == parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())


def test_encode_srgb_function_attributes():
    assert type(encode_srgb).__name__ == "builtin_function_or_method"
    assert encode_srgb.__name__ == "encode_srgb"
    assert encode_srgb.__qualname__ == "encode_srgb"
    assert encode_srgb.__module__ == "ostrel_core"
    assert encode_srgb.__self__ is None
    assert encode_srgb.__text_signature__ == "(img)"
    assert str(inspect.signature(encode_srgb)) == "(img)"
    assert encode_srgb.__doc__ == ENCODE_SRGB_DOC


def test_reimport_gives_new_function_objects(run_python):
    run_python(
        """
        import sys
        import numpy as np
        import ostrel_core as first
        old_function = first.encode_srgb
        old_holder = type(first.encode_srgb(np.zeros((1, 1, 1), np.float32)).base)
        del sys.modules["ostrel_core"]
        import ostrel_core as second
        assert second is not first
        assert second.encode_srgb is not old_function
        assert second.encode_srgb.__module__ == "ostrel_core"
        assert second.__all__ == first.__all__
        assert second.__all__ is not first.__all__
        # The holder class is process-wide.
        assert type(second.encode_srgb(np.zeros((1, 1, 1), np.float32)).base) is old_holder
        # The old module object keeps working.
        assert old_function(np.ones((1, 1, 1), np.float32)).view(np.uint32)[0, 0, 0] == 0x3F7FFFFF
        """
    )


def test_import_does_not_import_numpy(run_python):
    run_python(
        """
        import sys
        import ostrel_core
        assert "numpy" not in sys.modules, sorted(m for m in sys.modules if m.startswith("numpy"))
        ostrel_core.encode_srgb.__doc__
        assert "numpy" not in sys.modules
        """
    )


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not available")
def test_the_only_exported_symbol_is_the_entry_point():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", ostrel_core.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [
        fields[2]
        for fields in (line.split() for line in listing.splitlines())
        if len(fields) == 3 and len(fields[1]) == 1 and fields[1].isupper() and fields[1] != "A"
    ]
    assert exported == ["PyInit_ostrel_core"]


# --- allocation limits ---------------------------------------------------------


def test_huge_broadcast_is_refused_as_non_contiguous(panic_exception):
    huge = np.broadcast_to(np.float32(0.5), (10**6, 10**6, 3))
    with pytest.raises(panic_exception, match="^encode_srgb: input must be C-contiguous$"):
        encode_srgb(huge)


def test_result_too_large_for_memory_raises_memory_error(run_python):
    # A contiguous array of 2**61 - 1 floats can only be described, never
    # backed by memory: the result allocation must fail before the kernel reads
    # a single element. Run apart so that a regression cannot take the test
    # process down with it.
    run_python(
        """
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        import ostrel_core
        backing = np.zeros(4, np.float32)
        huge = as_strided(backing, shape=(1, 2**61 - 1, 1), strides=(4, 4, 4))
        assert huge.flags.c_contiguous
        try:
            ostrel_core.encode_srgb(huge)
        except MemoryError:
            pass
        else:
            raise AssertionError("no MemoryError")
        # The module is still fine afterwards.
        assert ostrel_core.encode_srgb(backing.reshape(1, 4, 1)).shape == (1, 4, 1)
        """
    )
