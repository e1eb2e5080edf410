# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""GuidedFilterParams: construction, conversions, attributes, representation and
the borrow flag that guards the values while local_contrast runs."""

import sys
import threading
import weakref

import numpy as np
import pytest

import ostrel_core
from ostrel_core import GuidedFilterParams

CLASS_DOC = (
    "Parameters for the guided filter.\n\n```python\nparams = ostrel_core.GuidedFilterParams(radius=8, eps=0.01)\n```"
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def test_positional_and_keyword_construction_agree():
    assert repr(GuidedFilterParams(8, 0.01)) == "GuidedFilterParams(radius=8, eps=0.01)"
    assert repr(GuidedFilterParams(radius=8, eps=0.01)) == "GuidedFilterParams(radius=8, eps=0.01)"
    assert repr(GuidedFilterParams(8, eps=0.01)) == "GuidedFilterParams(radius=8, eps=0.01)"
    assert repr(GuidedFilterParams(eps=0.01, radius=8)) == "GuidedFilterParams(radius=8, eps=0.01)"


@pytest.mark.parametrize(
    ("radius", "eps", "text"),
    [
        (0, 0.0, "GuidedFilterParams(radius=0, eps=0)"),
        (8, 1.0, "GuidedFilterParams(radius=8, eps=1)"),
        (3, 1e-8, "GuidedFilterParams(radius=3, eps=0.00000001)"),
        (1, 1e39, "GuidedFilterParams(radius=1, eps=inf)"),
        (1, -1e39, "GuidedFilterParams(radius=1, eps=-inf)"),
        (2, -0.5, "GuidedFilterParams(radius=2, eps=-0.5)"),
        (2, -0.0, "GuidedFilterParams(radius=2, eps=-0)"),
        (2, float("nan"), "GuidedFilterParams(radius=2, eps=NaN)"),
        (2, -float("nan"), "GuidedFilterParams(radius=2, eps=NaN)"),
        (2**32 - 1, 1 / 3, "GuidedFilterParams(radius=4294967295, eps=0.33333334)"),
        (True, 1, "GuidedFilterParams(radius=1, eps=1)"),
        (Index(5), Float(0.25), "GuidedFilterParams(radius=5, eps=0.25)"),
        (np.uint8(7), np.float64(2.5), "GuidedFilterParams(radius=7, eps=2.5)"),
    ],
)
def test_representation(radius, eps, text):
    params = GuidedFilterParams(radius, eps)
    assert repr(params) == text
    assert str(params) == text


def test_values_read_back_as_stored():
    params = GuidedFilterParams(True, 1)
    assert params.radius == 1 and type(params.radius) is int
    assert params.eps == 1.0 and type(params.eps) is float
    assert GuidedFilterParams(8, 0.01).eps == 0.009999999776482582
    assert GuidedFilterParams(8, 1e39).eps == float("inf")
    assert GuidedFilterParams(8, -3).eps == -3.0
    assert GuidedFilterParams(2**32 - 1, 0).radius == 2**32 - 1


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((-1, 0.01), {}, OverflowError, None),
        ((2**64, 0.01), {}, OverflowError, None),
        ((2**32, 0.01), {}, OverflowError, "^out of range integral type conversion attempted$"),
        ((2**64 - 1, 0.01), {}, OverflowError, "^out of range integral type conversion attempted$"),
        ((8.0, 0.01), {}, TypeError, "^argument 'radius': 'float' object cannot be interpreted as an integer$"),
        (("8", 0.01), {}, TypeError, "^argument 'radius': "),
        ((8, "x"), {}, TypeError, "^argument 'eps': must be real number, not str$"),
        ((8, None), {}, TypeError, "^argument 'eps': "),
        ((8, 10**400), {}, OverflowError, None),
        # radius is converted first
        ((8.0, "x"), {}, TypeError, "^argument 'radius': "),
        (
            (),
            {},
            TypeError,
            r"^GuidedFilterParams\.__new__\(\) missing 2 required positional arguments: 'radius' and 'eps'$",
        ),
        ((8,), {}, TypeError, r"^GuidedFilterParams\.__new__\(\) missing 1 required positional argument: 'eps'$"),
        (
            (8, 0.1, 3),
            {},
            TypeError,
            r"^GuidedFilterParams\.__new__\(\) takes 2 positional arguments but 3 were given$",
        ),
        (
            (8, 0.1),
            {"radius": 2},
            TypeError,
            r"^GuidedFilterParams\.__new__\(\) got multiple values for argument 'radius'$",
        ),
        (
            (8, 0.1),
            {"Eps": 2},
            TypeError,
            r"^GuidedFilterParams\.__new__\(\) got an unexpected keyword argument 'Eps'$",
        ),
    ],
)
def test_constructor_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message) as caught:
        GuidedFilterParams(*args, **kwargs)
    assert type(caught.value) is error


def test_negative_radius_keeps_the_interpreters_overflow_message():
    with pytest.raises(OverflowError) as caught:
        GuidedFilterParams(-1, 0.01)
    assert "radius" not in str(caught.value)


def test_assignment_changes_the_values():
    params = GuidedFilterParams(8, 0.01)
    params.radius = 3
    params.eps = 0.5
    assert repr(params) == "GuidedFilterParams(radius=3, eps=0.5)"
    params.radius = Index(0)
    params.eps = True
    assert (params.radius, params.eps) == (0, 1.0)


@pytest.mark.parametrize(
    ("name", "value", "error", "message"),
    [
        ("radius", -2, OverflowError, None),
        ("radius", 2**32, OverflowError, "^out of range integral type conversion attempted$"),
        ("radius", 4.0, TypeError, "^argument 'radius': 'float' object cannot be interpreted as an integer$"),
        ("radius", None, TypeError, "^argument 'radius': "),
        ("eps", "0.1", TypeError, "^argument 'eps': must be real number, not str$"),
        ("eps", 10**400, OverflowError, None),
    ],
)
def test_failed_assignment_leaves_the_value(name, value, error, message):
    params = GuidedFilterParams(3, 0.25)
    with pytest.raises(error, match=message) as caught:
        setattr(params, name, value)
    assert type(caught.value) is error
    assert (params.radius, params.eps) == (3, 0.25)


@pytest.mark.parametrize("name", ["radius", "eps"])
def test_attributes_cannot_be_deleted(name):
    params = GuidedFilterParams(3, 0.25)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(params, name)
    assert (params.radius, params.eps) == (3, 0.25)


def test_identity_equality_and_default_hash():
    a = GuidedFilterParams(8, 0.01)
    b = GuidedFilterParams(8, 0.01)
    assert a == a and a != b
    assert hash(a) == hash(a)
    assert len({a, b, a}) == 2


def test_class_properties():
    cls = GuidedFilterParams
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "GuidedFilterParams"
    assert repr(cls) == "<class 'builtins.GuidedFilterParams'>"
    assert cls.__doc__ == CLASS_DOC
    assert cls.__text_signature__ == "(radius, eps)"
    assert cls.radius.__doc__ == "Filter radius in pixels. The window is `(2r+1) \u00d7 (2r+1)`."
    assert cls.eps.__doc__ == (
        "Regularisation term \u03b5. Controls the degree of smoothing.\n"
        "Larger values \u2192 more smoothing, less edge preservation."
    )
    assert cls.__bases__ == (object,)
    params = cls(1, 0.1)
    assert not hasattr(params, "__dict__")
    with pytest.raises(AttributeError):
        params.other = 1
    with pytest.raises(TypeError):
        weakref.ref(params)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_assignment_during_a_running_call_fails_and_reads_still_work():
    # A large image keeps the kernel busy for a while; the strength conversion
    # runs after the parameters are borrowed, so its signal means "borrowed".
    image = np.random.default_rng(3).random((3000, 4000, 1), dtype=np.float32)
    params = GuidedFilterParams(8, 0.01)
    borrowed = threading.Event()
    outcome = {}

    class Strength:
        def __float__(self):
            borrowed.set()
            return 1.0

    def call():
        try:
            outcome["result"] = ostrel_core.local_contrast(image, params, Strength())
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            outcome["error"] = error

    worker = threading.Thread(target=call)
    worker.start()
    try:
        assert borrowed.wait(30)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            params.radius = 3
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            params.eps = 0.5
        # Shared borrows never block each other.
        assert params.radius == 8
        assert params.eps == np.float32(0.01)
        assert repr(params) == "GuidedFilterParams(radius=8, eps=0.01)"
        small = ostrel_core.local_contrast(np.zeros((3, 3, 1), np.float32), params, 1.0)
        assert small.shape == (3, 3, 1)
        # A failed conversion is still reported as such.
        with pytest.raises(TypeError, match="^argument 'radius': "):
            params.radius = "x"
    finally:
        worker.join()
    assert "error" not in outcome
    assert outcome["result"].shape == image.shape
    assert repr(params) == "GuidedFilterParams(radius=8, eps=0.01)"
    # The borrow ends with the call.
    params.radius = 3
    assert params.radius == 3


def test_borrow_is_released_after_failed_calls():
    params = GuidedFilterParams(2, 0.1)
    with pytest.raises(ValueError):
        ostrel_core.local_contrast(np.zeros((2, 2, 3), np.float32), params, 1.0)
    with pytest.raises(TypeError):
        ostrel_core.local_contrast(np.zeros((2, 2, 1), np.float32), params, "strong")
    params.radius = 4
    assert params.radius == 4


def test_assignment_from_strength_conversion_sees_the_borrow():
    params = GuidedFilterParams(2, 0.1)
    seen = []

    class Strength:
        def __float__(self):
            try:
                params.radius = 9
            except RuntimeError as error:
                seen.append(str(error))
            return 1.0

    ostrel_core.local_contrast(np.zeros((2, 2, 1), np.float32), params, Strength())
    assert seen == ["Already borrowed"]
    assert params.radius == 2


def test_calls_keep_no_reference_to_the_parameters():
    params = GuidedFilterParams(2, 0.1)
    image = np.zeros((3, 3, 1), np.float32)
    before = sys.getrefcount(params)
    for _ in range(50):
        ostrel_core.local_contrast(image, params, 1.0)
        with pytest.raises(TypeError):
            ostrel_core.local_contrast(image, params, "x")
        with pytest.raises(ValueError):
            ostrel_core.local_contrast(np.zeros((3, 3, 2), np.float32), params, 1.0)
        repr(params)
        params.radius
    assert sys.getrefcount(params) == before
    params.radius = 5  # and no borrow is left behind
