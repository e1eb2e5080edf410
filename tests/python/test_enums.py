# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""LuminanceStandard and ColorFilter: members, codes, equality, and what the classes refuse."""

import operator
import pickle
import weakref

import numpy as np
import pytest

import ostrel_core
from ostrel_core import ColorFilter, LuminanceStandard

MEMBERS = {
    LuminanceStandard: ["Bt601", "Bt709", "Bt2020"],
    ColorFilter: ["NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5"],
}
ALL_MEMBERS = [(cls, name, code) for cls, names in MEMBERS.items() for code, name in enumerate(names)]
ALL_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in ALL_MEMBERS]


class Index:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class NotAnIntIndex:
    def __index__(self):
        return 1.5


@pytest.mark.parametrize(("cls", "name", "code"), ALL_MEMBERS, ids=ALL_IDS)
def test_member_identity_code_and_text(cls, name, code):
    member = getattr(cls, name)
    assert getattr(cls, name) is member
    assert type(member) is cls
    assert int(member) == code and type(int(member)) is int
    assert repr(member) == f"{cls.__name__}.{name}"
    assert str(member) == repr(member)
    assert f"{member}" == repr(member)


@pytest.mark.parametrize("cls", MEMBERS, ids=lambda c: c.__name__)
def test_members_are_class_attributes_in_code_order(cls):
    listed = [key for key, value in vars(cls).items() if type(value) is cls]
    assert listed == MEMBERS[cls]
    assert [int(getattr(cls, name)) for name in listed] == list(range(len(listed)))


def test_documented_examples():
    assert int(LuminanceStandard.Bt2020) == 2
    assert int(ColorFilter.Blue47C5) == 5
    assert repr(ColorFilter.Green11X1) == "ColorFilter.Green11X1"
    assert str(LuminanceStandard.Bt601) == "LuminanceStandard.Bt601"
    assert (ColorFilter.NoFilter == 0) is True
    assert (ColorFilter.NoFilter == 0.0) is False
    assert (ColorFilter.NoFilter != 1) is True
    assert (ColorFilter.Red25A == 2**70) is False
    assert (ColorFilter.Red25A == 3) is True and (3 == ColorFilter.Red25A) is True
    assert (True == ColorFilter.Yellow8K2) is True  # noqa: E712 - bool converts to 1
    assert (LuminanceStandard.Bt601 == ColorFilter.NoFilter) is False
    assert (LuminanceStandard.Bt709 == ColorFilter.Yellow8K2) is False


@pytest.mark.parametrize(("cls", "name", "code"), ALL_MEMBERS, ids=ALL_IDS)
def test_equality_within_the_class_compares_codes(cls, name, code):
    member = getattr(cls, name)
    for other_name in MEMBERS[cls]:
        other = getattr(cls, other_name)
        assert (member == other) is (other_name == name)
        assert (member != other) is (other_name != name)


@pytest.mark.parametrize(
    ("other", "equal_to_code_1"),
    [
        (1, True),
        (2, False),
        (-1, False),
        (True, True),
        (False, False),
        (Index(1), True),
        (Index(2**63 - 1), False),
        (np.int64(1), True),
        (np.uint8(1), True),
        (np.int32(-255), False),
        (2**64 + 1, False),  # would wrap to 1 if truncated
        (-(2**63), False),
        (2**63, False),
        (-(2**63) - 1, False),
        (10**30, False),
        (1.0, False),
        (np.float32(1.0), False),
        ("1", False),
        (b"\x01", False),
        (None, False),
        ([1], False),
        (Index(2**64 + 1), False),
        (BrokenIndex(ValueError("no")), False),
        (BrokenIndex(TypeError("no")), False),
        (NotAnIntIndex(), False),
        (ColorFilter.Yellow8K2, False),
        (LuminanceStandard.Bt709, True),
    ],
    ids=repr,
)
def test_equality_with_other_objects(other, equal_to_code_1):
    member = LuminanceStandard.Bt709  # code 1
    if isinstance(other, np.generic) and np.lib.NumpyVersion(np.__version__) < "2.0.0":
        # NumPy 1.x scalars answer a declined comparison themselves (by
        # converting the member with __int__), so only our own slot is checked.
        result = LuminanceStandard.__eq__(member, other)
        assert result is equal_to_code_1 or (not equal_to_code_1 and result is NotImplemented)
        return
    assert (member == other) is equal_to_code_1
    assert (member != other) is (not equal_to_code_1)
    # The reflected forms reach the member's comparison too.
    assert (other == member) is equal_to_code_1
    assert (other != member) is (not equal_to_code_1)


def test_failed_conversions_leave_no_error_behind():
    for other in (BrokenIndex(OverflowError("x")), 2**100, "text", 0.5):
        assert (ColorFilter.Red25A == other) is False
        assert (ColorFilter.Red25A != other) is True
    # A comparison that declines returns NotImplemented itself.
    assert ColorFilter.Red25A.__eq__(0.5) is NotImplemented
    assert ColorFilter.Red25A.__ne__("x") is NotImplemented
    assert ColorFilter.Red25A.__eq__(3) is True
    assert ColorFilter.Red25A.__lt__(4) is NotImplemented


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge], ids=lambda f: f.__name__)
@pytest.mark.parametrize("other", [ColorFilter.Blue47C5, 4, 2.5], ids=repr)
def test_ordering_is_unsupported(op, other):
    with pytest.raises(TypeError):
        op(ColorFilter.Red25A, other)
    with pytest.raises(TypeError):
        op(other, ColorFilter.Red25A)


@pytest.mark.parametrize("member", [LuminanceStandard.Bt709, ColorFilter.Red25A], ids=repr)
def test_members_are_unhashable(member):
    assert type(member).__hash__ is None
    with pytest.raises(TypeError, match="unhashable type"):
        hash(member)
    with pytest.raises(TypeError):
        {member: 1}
    with pytest.raises(TypeError):
        {member}


@pytest.mark.parametrize("cls", MEMBERS, ids=lambda c: c.__name__)
def test_classes_cannot_be_instantiated(cls):
    for args in [(), (1,), (getattr(cls, MEMBERS[cls][0]),)]:
        with pytest.raises(TypeError, match="cannot create"):
            cls(*args)
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("cls", MEMBERS, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", MEMBERS, ids=lambda c: c.__name__)
def test_class_identity_and_members_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ in ("LuminanceStandard", "ColorFilter")
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__bases__ == (object,)
    assert getattr(ostrel_core, cls.__name__) is cls
    member = getattr(cls, MEMBERS[cls][1])
    assert not hasattr(member, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(member)
    with pytest.raises(AttributeError):
        member.code = 5
    assert int(member) == 1


@pytest.mark.parametrize("member", [LuminanceStandard.Bt2020, ColorFilter.Orange21], ids=repr)
def test_no_index_and_no_iteration(member):
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [10, 20, 30][member]
    with pytest.raises(TypeError):
        iter(type(member))
    with pytest.raises(TypeError):
        type(member)[0]
    with pytest.raises(TypeError):
        float(member)


def test_members_do_not_pickle_into_new_objects():
    # Without a constructor a member cannot be rebuilt; pickling must fail
    # rather than produce a second, unequal instance.
    with pytest.raises((TypeError, pickle.PicklingError)):
        pickle.loads(pickle.dumps(ColorFilter.Red25A))


def test_classes_survive_a_reimport(run_python):
    run_python(
        """
        import sys
        import ostrel_core
        old_member = ostrel_core.ColorFilter.Red25A
        old_class = ostrel_core.LuminanceStandard
        del sys.modules["ostrel_core"]
        import ostrel_core as again
        assert again.LuminanceStandard is old_class
        assert again.ColorFilter.Red25A is old_member
        """
    )


LUMINANCE_STANDARD_DOC = (
    "ITU-R luminance standard for B&W conversion.\n"
    "\n"
    "Selects which RGB primaries' Y-row coefficients to use when computing\n"
    "the perceptual luminance of a scene-referred linear f32 image.\n"
    "`Bt709` is the default and the correct choice for sRGB-primary data\n"
    "(the vast majority of consumer RAW pipelines)."
)

COLOR_FILTER_DOC = (
    "Wratten-style coloured-filter preset for B&W contrast control.\n"
    "\n"
    "Each variant represents a gel filter placed in front of the lens.\n"
    "The filter attenuates light by channel, shifting the relative tonal\n"
    "values of differently coloured subjects.\n"
    "\n"
    "Channel transmission values are sampled at the centroid wavelengths\n"
    "of a nominal sRGB camera's R/G/B channels (~620, ~540, ~450 nm) from\n"
    "the Kodak Wratten Gelatin Filters datasheet, B3-203 (5th ed.).\n"
    "These are approximations \u2014 real Wratten curves are continuous spectra.\n"
    "\n"
    "**Note:** real filters reduce total exposure. This kernel does not\n"
    "apply exposure compensation \u2014 do that in the exposure kernel."
)


def test_docstrings():
    assert LuminanceStandard.__doc__ == LUMINANCE_STANDARD_DOC
    assert ColorFilter.__doc__ == COLOR_FILTER_DOC
    assert LuminanceStandard.__text_signature__ is None
    assert ColorFilter.__text_signature__ is None
