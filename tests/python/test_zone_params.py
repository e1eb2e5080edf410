# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""ZoneParams: construction from a dict, representation, class properties."""

import collections
import types
import weakref

import numpy as np
import pytest

import ostrel_core
from ostrel_core import ZoneParams

# --- representation ------------------------------------------------------------


@pytest.mark.parametrize(
    ("offsets", "text"),
    [
        ({5: 0.5, 3: -0.3}, "ZoneParams({3: -0.3, 5: 0.5})"),
        ({3: -0.3, 5: 0.5}, "ZoneParams({3: -0.3, 5: 0.5})"),
        ({}, "ZoneParams({})"),
        ({-2: 7, 11: 1e-5}, "ZoneParams({-2: 7, 11: 0.00001})"),
        ({1: float("nan"), 2: 1e39}, "ZoneParams({1: NaN, 2: inf})"),
        ({1: -float("nan"), 2: -1e39, 3: -0.0, 4: 0.0}, "ZoneParams({1: NaN, 2: -inf, 3: -0, 4: 0})"),
        ({True: 0.25}, "ZoneParams({1: 0.25})"),
        ({0: 1.0, 1: 1 / 3, 2: 1e10, 3: 0.1}, "ZoneParams({0: 1, 1: 0.33333334, 2: 10000000000, 3: 0.1})"),
        ({2**31 - 1: 1, -(2**31): 2, 0: 3}, "ZoneParams({-2147483648: 2, 0: 3, 2147483647: 1})"),
        ({10: 1e-46, 9: -1e-46}, "ZoneParams({9: -0, 10: 0})"),  # below the smallest denormal
        (
            {1: 3.4028235e38, 2: 1e-45},
            "ZoneParams({1: 340282350000000000000000000000000000000, "
            "2: 0.000000000000000000000000000000000000000000001})",
        ),
    ],
)
def test_representation(offsets, text):
    params = ZoneParams(offsets)
    assert repr(params) == text
    assert str(params) == text


def numpy_text(value: np.float32) -> str:
    if np.isnan(value):
        return "NaN"
    return np.format_float_positional(value, unique=True, trim="-")


def test_float_format_matches_numpy_shortest_positional():
    rng = np.random.default_rng(2024)
    patterns = [
        rng.integers(0, 2**32, 3000, dtype=np.uint64).astype(np.uint32),  # every exponent
        rng.integers(0, 2**23, 300, dtype=np.uint32),  # denormals
        rng.integers(0x4B000000, 0x7F800000, 300, dtype=np.uint32),  # whole numbers up to max float
        np.array(
            [
                0,
                0x80000000,
                1,
                0x80000001,
                0x007FFFFF,
                0x00800000,
                0x7F7FFFFF,
                0xFF7FFFFF,
                0x7F800000,
                0xFF800000,
                0x7FC00000,
                0xFFC00000,
                0x7F800001,
                0x7FBFFFFF,
                0xFFFFFFFF,
                0x3EAAAAAB,
                0x3727C5AC,
                0x501502F9,
                0x3F800000,
                0x4B7FFFFF,
                0x4B800001,
            ],
            np.uint32,
        ),
    ]
    values = np.concatenate(patterns).view(np.float32)
    values = np.concatenate([values, np.float32(10.0) ** np.arange(-45, 39, dtype=np.float32)])
    mismatches = []
    # Many entries per object: the representation lists them in zone order.
    for start in range(0, len(values), 500):
        chunk = values[start : start + 500]
        text = repr(ZoneParams({i: float(v) for i, v in enumerate(chunk)}))
        assert text.startswith("ZoneParams({") and text.endswith("})")
        body = text[len("ZoneParams({") : -2]
        for i, (entry, value) in enumerate(zip(body.split(", "), chunk, strict=True)):
            expected = f"{i}: {numpy_text(value)}"
            if entry != expected:
                mismatches.append((hex(int(np.array(value).view(np.uint32))), entry, expected))
    assert mismatches == []


def test_entries_sorted_by_signed_zone_whatever_the_insertion_order():
    rng = np.random.default_rng(3)
    zones = [int(z) for z in rng.choice(np.arange(-50, 50), 40, replace=False)]
    texts = set()
    for _ in range(5):
        rng.shuffle(zones)
        texts.add(repr(ZoneParams({z: z / 4 for z in zones})))
    assert len(texts) == 1
    listed = [int(entry.split(":")[0]) for entry in texts.pop()[len("ZoneParams({") : -2].split(", ")]
    assert listed == sorted(zones)


class Index:
    """A distinct dict key that converts to a given zone through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def test_later_entry_for_the_same_zone_wins():
    assert repr(ZoneParams({Index(3): 1.0, 4: 0.5, Index(3): 2.0})) == "ZoneParams({3: 2, 4: 0.5})"
    assert repr(ZoneParams({Index(3): 2.0, 4: 0.5, 3: 1.0})) == "ZoneParams({3: 1, 4: 0.5})"


def test_accepted_key_and_value_types():
    params = ZoneParams({np.int64(4): np.float32(0.25), Index(-7): Real(1.5), 2: Index(3), 1: True, 0: 2**80})
    assert repr(params) == "ZoneParams({-7: 1.5, 0: 1208925800000000000000000, 1: 1, 2: 3, 4: 0.25})"


@pytest.mark.parametrize(
    "mapping",
    [collections.OrderedDict([(5, 0.5), (3, -0.3)]), collections.defaultdict(float, {5: 0.5, 3: -0.3})],
)
def test_dict_subclasses_accepted(mapping):
    assert repr(ZoneParams(mapping)) == "ZoneParams({3: -0.3, 5: 0.5})"


def test_later_changes_to_the_dict_do_not_reach_the_object():
    offsets = {5: 0.5}
    params = ZoneParams(offsets)
    offsets[6] = 1.0
    offsets[5] = -1.0
    assert repr(params) == "ZoneParams({5: 0.5})"


def test_dict_changed_during_conversion():
    offsets: dict[object, object] = {}

    class Meddler:
        def __index__(self):
            offsets.clear()
            offsets.update({i: float(i) for i in range(100)})
            return 1

    offsets.update({Meddler(): 0.5, 2: 1.5})
    # Entries are read from a snapshot taken before any conversion runs.
    assert repr(ZoneParams(offsets)) == "ZoneParams({1: 0.5, 2: 1.5})"


# --- errors ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((), {}, TypeError, "ZoneParams.__new__() missing 1 required positional argument: 'offsets'"),
        (({}, {}), {}, TypeError, "ZoneParams.__new__() takes 1 positional arguments but 2 were given"),
        (({},), {"offsets": {}}, TypeError, "ZoneParams.__new__() got multiple values for argument 'offsets'"),
        ((), {"offset": {}}, TypeError, "ZoneParams.__new__() got an unexpected keyword argument 'offset'"),
        (([(5, 0.5)],), {}, TypeError, "argument 'offsets': 'list' object is not an instance of 'dict'"),
        ((None,), {}, TypeError, "argument 'offsets': 'None' is not an instance of 'dict'"),
        (
            (types.MappingProxyType({5: 0.5}),),
            {},
            TypeError,
            "argument 'offsets': 'mappingproxy' object is not an instance of 'dict'",
        ),
        (({"5": 0.5},), {}, TypeError, "argument 'offsets': 'str' object cannot be interpreted as an integer"),
        (({5.0: 0.5},), {}, TypeError, "argument 'offsets': 'float' object cannot be interpreted as an integer"),
        (({5: "0.5"},), {}, TypeError, "argument 'offsets': must be real number, not str"),
        (({5: None},), {}, TypeError, "argument 'offsets': must be real number, not NoneType"),
        (({2**31: 0.5},), {}, OverflowError, None),
        (({-(2**31) - 1: 0.5},), {}, OverflowError, None),
        (({2**70: 0.5},), {}, OverflowError, None),
        (({5: 2**1024},), {}, OverflowError, "int too large to convert to float"),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        ZoneParams(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_failing_entry_after_good_ones_creates_nothing():
    with pytest.raises(TypeError, match="^argument 'offsets': "):
        ZoneParams({1: 0.5, 2: 0.25, 3: "x"})


def test_conversion_exceptions_of_other_types_pass_unchanged():
    class Broken:
        def __index__(self):
            raise ValueError("no index today")

    with pytest.raises(ValueError, match="^no index today$"):
        ZoneParams({Broken(): 1.0})


def test_prefixed_type_error_keeps_the_cause():
    cause = KeyError("root")

    class Broken:
        def __float__(self):
            raise TypeError("bad float") from cause

    with pytest.raises(TypeError) as info:
        ZoneParams({1: Broken()})
    assert str(info.value) == "argument 'offsets': bad float"
    assert info.value.__cause__ is cause


# --- class properties -----------------------------------------------------------------


def test_class_properties():
    assert ZoneParams.__module__ == "builtins"
    assert ZoneParams.__name__ == ZoneParams.__qualname__ == "ZoneParams"
    assert repr(ZoneParams) == "<class 'builtins.ZoneParams'>"
    assert ZoneParams.__bases__ == (object,)
    assert ZoneParams.__text_signature__ == "(offsets)"
    assert ostrel_core.ZoneParams is ZoneParams
    with pytest.raises(TypeError):
        type("Sub", (ZoneParams,), {})
    params = ZoneParams({5: 0.5})
    assert not hasattr(params, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(params)
    with pytest.raises(AttributeError):
        params.offsets = {}
    assert [name for name in dir(params) if not name.startswith("__")] == []


def test_docstring():
    assert ZoneParams.__doc__ == (
        "Zone System tone offsets.\n"
        "\n"
        "Maps zone index (0..=10) to a stop offset in \u22123..+3. Zones not\n"
        "present in the map are treated as having a 0-stop offset.\n"
        "\n"
        "```python\n"
        "# Lift Zone V by half a stop, deepen Zone III by 0.3 stops\n"
        "params = ostrel_core.ZoneParams({5: 0.5, 3: -0.3})\n"
        "```"
    )


def test_identity_equality_and_default_hash():
    a = ZoneParams({5: 0.5})
    b = ZoneParams({5: 0.5})
    assert a != b and not (a == b)
    assert a == a
    assert hash(a) == object.__hash__(a)
    assert len({a, b}) == 2
