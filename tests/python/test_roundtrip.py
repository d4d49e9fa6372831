"""Round trips through insert and get: what comes back is the JSON image of
what went in, built fresh on every get, with no leaked references."""

import collections
import dataclasses
import enum
import json
import math
import random
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelm_lib
from rss import rss_bound, rss_bytes

BIG_LIMIT = 1 << 40
JSON_TYPES = (type(None), bool, int, float, str, list, dict)


def roundtrip(value):
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", value)
    return cache.get("k")


def bits(x):
    return struct.pack("<d", x)


def normalise(value):
    """The image of `value` that get must return."""
    if value is None or type(value) is bool:
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, str):
        return str(value)
    if isinstance(value, dict):
        return {str(k): normalise(value[k]) for k in sorted(value)}
    return [normalise(item) for item in value]


def assert_same(got, want):
    """Equal with the same types, float bits and dict key order at every node."""
    assert type(got) is type(want), (got, want)
    if isinstance(want, float):
        assert bits(got) == bits(want), (got, want)
    elif isinstance(want, list):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            assert_same(g, w)
    elif isinstance(want, dict):
        assert list(got) == list(want)
        for key in want:
            assert_same(got[key], want[key])
    else:
        assert got == want


def assert_json_types(node):
    assert type(node) in JSON_TYPES, type(node)
    if type(node) is list:
        for item in node:
            assert_json_types(item)
    elif type(node) is dict:
        for key, item in node.items():
            assert type(key) is str
            assert_json_types(item)


INTEGERS = [
    0, 1, 255, 256, 257, -1, -5, -6, -255, -256,
    # Either side of the interpreter's one- and two-digit ints (30-bit digits).
    2**30 - 1, 2**30, -(2**30) + 1, -(2**30), 2**60 - 1, 2**60, -(2**60) + 1, -(2**60),
    2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32, -(2**32),
    2**53 + 1, -(2**53) - 1, 2**63 - 1, 2**63, 2**64 - 1,
    -(2**63) + 1, -(2**63),
]


@pytest.mark.parametrize("value", [None, True, False, *INTEGERS], ids=repr)
def test_scalars_keep_value_and_type(value):
    assert_same(roundtrip(value), value)


def test_ints_behave_like_the_interpreters_own():
    """Ints that get builds directly must hash, print and compute like any other."""
    rng = random.Random(30)
    values = INTEGERS + [rng.randrange(2**30, 2**60) * rng.choice((1, -1)) for _ in range(2000)]
    for got, want in zip(roundtrip(values), values):
        assert type(got) is int
        assert (got, hash(got), str(got), got.bit_length()) == (want, hash(want), str(want), want.bit_length())
        assert (got - want, got + 1 - want, -got, got >> 29) == (0, 1, -want, want >> 29)


def test_short_decimals_come_back_bit_exact():
    """Plain fractions of every length up to 17 significant digits, as stored text writes them."""
    rng = random.Random(31)
    values = [round(rng.uniform(-10.0**e, 10.0**e), d) for e in range(0, 16) for d in range(0, 12)
              for _ in range(20)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(2000)]
    got = roundtrip(values)
    assert [bits(g) for g in got] == [bits(v) for v in values]


FLOATS = [
    0.0, -0.0, 1.0, -1.0, 1.5, 0.1, 3.14, 123456789.0, 1e-7, 1e22, 1e23,
    1.25e300, 2.431064e-23, -2.431064e-23,
    5e-324, -5e-324, 2.225073858507201e-308, 2.2250738585072014e-308,
    1.7976931348623157e308, -1.7976931348623157e308,
    2.0**63, 2.0**64, -(2.0**63), 9007199254740993.0, 0.30000000000000004,
]


@pytest.mark.parametrize("value", FLOATS, ids=repr)
def test_floats_come_back_bit_exact(value):
    got = roundtrip(value)
    assert type(got) is float
    assert bits(got) == bits(value)


def test_negative_zero_keeps_its_sign():
    assert math.copysign(1.0, roundtrip(-0.0)) == -1.0
    assert math.copysign(1.0, roundtrip([-0.0])[0]) == -1.0


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf], ids=repr)
def test_non_finite_floats_become_none(value):
    assert roundtrip(value) is None
    assert roundtrip([1.5, value, {"x": value}]) == [1.5, None, {"x": None}]


def test_random_bit_pattern_floats_round_trip_exactly():
    rng = random.Random(20240601)
    floats = []
    while len(floats) < 50_000:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            floats.append(x)
    # Subnormals and their neighbours take the slow paths of number reading.
    floats += [struct.unpack("<d", n.to_bytes(8, "little"))[0] for n in range(1, 2000)]
    got = roundtrip(floats)
    bad = [(x, y) for x, y in zip(floats, got) if bits(x) != bits(y)]
    assert len(got) == len(floats)
    assert bad == []


STRINGS = [
    "", "a", "plain ascii text", '"', "\\", "/", "\b\f\n\r\t",
    "".join(map(chr, range(0x20))), "nul\x00inside", "\x7f",
    "ÿ latin-1", "é", "€ euro", "日本語", "😀 astral", "a😀b\x00c\n€",
    "\ud7ff\ue000\uffff", "\U0010ffff",
    # First and last code points of each UTF-8 length and each str width.
    "\x80", "\x7f\x80\xff", "\u0100", "\u07ff", "\u0800", "\U00010000",
    "x" * 40 + "é", "é" + "x" * 40, "x" * 31 + "€", "x" * 63 + "😀",
    "x" * 31, "x" * 33, "y" * 1000, "é" * 512, "😀" * 300, "ascii then é" * 20,
]


@pytest.mark.parametrize("value", STRINGS, ids=lambda s: repr(s)[:40])
def test_strings_as_values_and_keys(value):
    assert_same(roundtrip(value), value)
    assert_same(roundtrip({value: value}), {value: value})


@pytest.mark.parametrize("value", [
    [], {}, [[]], [{}], {"a": []}, {"a": {}},
    [1, "two", 3.0, None, True, [False, {"k": [1, [2, [3]]]}]],
    {"z": {"y": {"x": [1, 2, {"w": None}]}}},
    list(range(10_000)),
    {f"key{i}": i for i in range(2_000)},
], ids=lambda v: repr(v)[:40])
def test_containers_keep_their_shape(value):
    assert_same(roundtrip(value), normalise(value))


@pytest.mark.parametrize("keys", [
    ["b", "a"],
    ["ab", "a", ""],
    ["z", "é", "a", "😀", "\uffff", "Z", "\x00"],
    ["k" * 65, "k" * 64, "k" * 63],
    [f"{i:05}" for i in reversed(range(300))],
], ids=lambda ks: repr(ks)[:40])
def test_dict_keys_come_back_in_ascending_order(keys):
    got = roundtrip({key: i for i, key in enumerate(keys)})
    assert list(got) == sorted(keys)
    # Keys may go in under the hash cached in their str, not through the
    # public insertion: lookups by fresh equal strs must find every one.
    assert all(got["".join([*key, ""])] == i for i, key in enumerate(keys))
    assert got == {key: i for i, key in enumerate(keys)}


def test_many_distinct_short_keys_are_never_confused():
    # Far more keys than a small key cache has slots: collisions must never
    # hand back another key's str.
    cache = pelm_lib.Cache(BIG_LIMIT)
    values = [{f"k{i}": i, f"x{i * 7919}": -i} for i in range(5_000)]
    for i, value in enumerate(values):
        cache.insert(str(i), value)
    for _ in range(2):
        for i, value in enumerate(values):
            assert_same(cache.get(str(i)), normalise(value))


@dataclasses.dataclass
class Point:
    x: int
    y: float
    label: str


class MyStr(str):
    pass


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


class Colour(enum.IntEnum):
    RED = 1


@pytest.mark.parametrize("value, expected", [
    ((1, 2, (3,)), [1, 2, [3]]),
    ({7}, [7]),
    (frozenset({"a"}), ["a"]),
    (range(3), [0, 1, 2]),
    (MyStr("s"), "s"),
    (MyInt(5), 5),
    (MyFloat(2.5), 2.5),
    (Colour.RED, 1),
    (MyList([MyInt(1)]), [1]),
    (MyDict(b=1, a=2), {"a": 2, "b": 1}),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"a": 2, "b": 1}),
    ({MyStr("key"): MyStr("v")}, {"key": "v"}),
    (Point(1, 2.0, "p"), {"label": "p", "x": 1, "y": 2.0}),
], ids=lambda v: type(v).__name__)
def test_other_types_come_back_as_exact_json_types(value, expected):
    got = roundtrip(value)
    assert_same(got, expected)
    assert_json_types(got)


def nested(depth, make):
    """`depth` levels of containers, the innermost an empty list."""
    value = []
    for _ in range(depth - 1):
        value = make(value)
    return value


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"a": v}], ids=["list", "dict"])
def test_deepest_readable_nesting_round_trips(make):
    value = nested(127, make)
    assert roundtrip(value) == value


json_scalars = (
    st.none() | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text()
)
json_values = st.recursive(
    json_scalars,
    lambda children: st.lists(children, max_size=6)
    | st.tuples(children, children)
    | st.dictionaries(st.text(max_size=8), children, max_size=6),
    max_leaves=40,
)


@settings(max_examples=400, deadline=None)
@given(json_values)
def test_property_get_returns_the_normalised_value(value):
    got = roundtrip(value)
    assert_same(got, normalise(value))
    assert_json_types(got)


def test_each_get_builds_fresh_objects():
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", {"list": [1, 2], "dict": {"a": 1}})
    first, second = cache.get("k"), cache.get("k")
    assert first == second
    assert first is not second
    assert first["list"] is not second["list"]
    assert first["dict"] is not second["dict"]
    first["list"].append(3)
    first["dict"]["b"] = 2
    first["new"] = None
    assert second == {"dict": {"a": 1}, "list": [1, 2]}
    assert cache.get("k") == {"dict": {"a": 1}, "list": [1, 2]}


def reference_counts(top):
    # Counted outside `assert`, whose rewriting keeps references. What
    # getrefcount adds for its own argument differs between releases (3.14's
    # borrowed stack references add none), so counts are only compared with
    # those of objects known to be held by their container alone.
    counts = [sys.getrefcount(top[i]) for i in range(len(top))]
    counts.append(sys.getrefcount(top[1]["a"]))
    counts.append(sys.getrefcount(top))
    return counts


def test_returned_objects_hold_no_extra_references():
    value = [[1], {"a": 2.5}, "a string of some length", 1.5, 2**70 // 2**7]
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", value)
    got = cache.get("k")
    fresh = json.loads(json.dumps(value))  # no constant of this module among them
    assert reference_counts(got) == reference_counts(fresh)


def test_shared_keys_are_released_by_every_get():
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", {"shared_key_name": [1.5]})
    key = next(iter(cache.get("k")))
    before = sys.getrefcount(key)
    for _ in range(1_000):
        cache.get("k")
    assert sys.getrefcount(key) == before


@rss_bound
def test_many_gets_do_not_grow_memory():
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", {"id": 1, "name": "é" * 40, "tags": ["a", "b"] * 10,
                       "scores": [1.5, -2.25, 1e300], "nested": {"deep": [None, True]},
                       "long_key_" + "x" * 70: 2**63})
    for _ in range(20_000):
        cache.get("k")
    before = rss_bytes()
    for _ in range(200_000):
        cache.get("k")
    assert rss_bytes() - before < 4 * 1024 * 1024
