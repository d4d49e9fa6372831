"""Python values to stored JSON text: the classification order, every rule,
every failure text, exact-vs-subclass parity and the nesting limit.

The stored byte count (size()) pins the exact text; get() pins its structure.
"""

import collections
import collections.abc
import dataclasses
import enum
import math
import struct
import typing

import pytest

import pelm_lib
from conversion_helpers import (
    BIG_LIMIT,
    PREFIX,
    DictSub,
    IntSub,
    ListSub,
    TupleSub,
    failure_text,
    interpreter_text,
    store,
)

def nested(depth, make, innermost=0):
    value = innermost
    for _ in range(depth):
        value = make(value)
    return value


def float_bits(x):
    return struct.pack("<d", x)


class Colour(enum.IntEnum):
    RED = 7


class FloatSub(float):
    pass


class StrSub(str):
    pass


class SetSub(set):
    pass


class FrozenSub(frozenset):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class PlainSequence(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class PlainMapping(collections.abc.Mapping):
    """A Mapping over a list of pairs; keys may repeat."""

    def __init__(self, pairs):
        self.pairs = list(pairs)

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter(k for k, _ in self.pairs)

    def __len__(self):
        return len(self.pairs)

    def keys(self):
        return [k for k, _ in self.pairs]

    def values(self):
        return [v for _, v in self.pairs]


@dataclasses.dataclass
class Point:
    y: typing.Any
    x: typing.Any


@dataclasses.dataclass
class Empty:
    pass


@dataclasses.dataclass
class WithClassVar:
    a: int
    shared: typing.ClassVar[int] = 3


@dataclasses.dataclass(slots=True)
class Slotted:
    a: int


@dataclasses.dataclass
class DataDict(dict):
    a: int


def with_item(mapping):
    mapping["item"] = "ignored"
    return mapping


def dict_in_order(*pairs):
    return dict(pairs)


# (value, stored text, what get returns)
VALUES = [
    pytest.param(None, "null", None, id="none"),
    pytest.param(True, "true", True, id="true"),
    pytest.param(False, "false", False, id="false"),
    pytest.param(0, "0", 0, id="zero"),
    pytest.param(-1, "-1", -1, id="minus-one"),
    pytest.param(2**63, "9223372036854775808", 2**63, id="int-2^63"),
    pytest.param(2**64 - 1, "18446744073709551615", 2**64 - 1, id="int-u64-max"),
    pytest.param(-(2**63), "-9223372036854775808", -(2**63), id="int-i64-min"),
    pytest.param(IntSub(-12), "-12", -12, id="int-subclass"),
    pytest.param(IntSub(2**64 - 1), "18446744073709551615", 2**64 - 1, id="int-subclass-u64-max"),
    pytest.param(Colour.RED, "7", 7, id="int-enum"),
    pytest.param(1.5, "1.5", 1.5, id="float"),
    pytest.param(-0.0, "-0.0", -0.0, id="negative-zero"),
    pytest.param(1e20, "1e+20", 1e20, id="float-exponent"),
    pytest.param(FloatSub(0.25), "0.25", 0.25, id="float-subclass"),
    pytest.param(math.nan, "null", None, id="nan"),
    pytest.param(math.inf, "null", None, id="inf"),
    pytest.param(-math.inf, "null", None, id="minus-inf"),
    pytest.param(FloatSub(math.nan), "null", None, id="float-subclass-nan"),
    pytest.param("", '""', "", id="empty-str"),
    pytest.param("é\n\x00", '"é\\n\\u0000"', "é\n\x00", id="str-escapes"),
    pytest.param(StrSub("ab"), '"ab"', "ab", id="str-subclass"),
    pytest.param([1.5, math.nan], "[1.5,null]", [1.5, None], id="nan-in-list"),
    pytest.param((1, (2, 3)), "[1,[2,3]]", [1, [2, 3]], id="tuple"),
    pytest.param(ListSub([1]), "[1]", [1], id="list-subclass"),
    pytest.param(range(3), "[0,1,2]", [0, 1, 2], id="range"),
    pytest.param(PlainSequence("ab"), '["a","b"]', ["a", "b"], id="abc-sequence"),
    pytest.param(collections.deque([1, 2]), "[1,2]", [1, 2], id="deque"),
    pytest.param({3, 1, 2}, "[1,2,3]", [1, 2, 3], id="set"),
    pytest.param(frozenset(), "[]", [], id="empty-frozenset"),
    pytest.param([], "[]", [], id="empty-list"),
    pytest.param((), "[]", [], id="empty-tuple"),
    pytest.param(set(), "[]", [], id="empty-set"),
    pytest.param({}, "{}", {}, id="empty-dict"),
    pytest.param(Empty(), "{}", {}, id="empty-dataclass"),
    pytest.param(dict_in_order(("b", 1), ("a", 2)), '{"a":2,"b":1}', {"a": 2, "b": 1}, id="dict-sorted"),
    pytest.param({"b": 1, "a": [True, None]}, '{"a":[true,null],"b":1}', {"a": [True, None], "b": 1}, id="dict-nested"),
    pytest.param({StrSub("k"): 1}, '{"k":1}', {"k": 1}, id="str-subclass-key"),
    pytest.param(DictSub(b=1, a=2), '{"a":2,"b":1}', {"a": 2, "b": 1}, id="dict-subclass"),
    pytest.param(collections.OrderedDict(z=1), '{"z":1}', {"z": 1}, id="ordered-dict"),
    pytest.param(PlainMapping([("a", 1), ("a", 2)]), '{"a":2}', {"a": 2}, id="mapping-repeated-key-later-wins"),
    pytest.param(Point(y=1, x=[2]), '{"x":[2],"y":1}', {"x": [2], "y": 1}, id="dataclass"),
    pytest.param(with_item(DataDict(1)), '{"a":1}', {"a": 1}, id="dataclass-dict-subclass-reads-fields-not-items"),
]


@pytest.mark.parametrize("value, text, image", VALUES)
def test_value_is_stored_as_its_text(value, text, image):
    size, got = store(value)
    assert size == len(text.encode())
    assert got == image
    assert type(got) is type(image)
    if isinstance(image, float):
        assert float_bits(got) == float_bits(image)


class Unicode(str):
    """A str subclass whose name holds a lone surrogate."""


Unicode.__qualname__ = "bad\ud800name"


class BadNameByteArray(bytearray):
    pass


BadNameByteArray.__qualname__ = "bad\udc00"


class BadNameObject:
    pass


BadNameObject.__qualname__ = "x\ud800"


class FieldsNotDict:
    __dataclass_fields__ = ["a"]


class InstanceDictNotDict:
    __dataclass_fields__ = {"a": None}

    @property
    def __dict__(self):
        return ["not", "a", "dict"]


class FieldNameNotStr:
    __dataclass_fields__ = {1: None}


def local_unsupported():
    class Local:
        pass

    return Local()


# (value, failure text after the prefix)
FAILURES = [
    pytest.param(2**64, "JSON number out of range", id="int-2^64"),
    pytest.param(-(2**63) - 1, "JSON number out of range", id="int-below-i64"),
    pytest.param(2**128 - 1, "JSON number out of range", id="int-u128-max"),
    pytest.param(-(2**127), "JSON number out of range", id="int-i128-min"),
    pytest.param(IntSub(2**64), "JSON number out of range", id="int-subclass-2^64"),
    pytest.param(2**128, "OverflowError: int too big to convert", id="int-2^128"),
    pytest.param(-(2**127) - 1, "OverflowError: int too big to convert", id="int-below-i128"),
    pytest.param(-(2**200), "OverflowError: int too big to convert", id="int-huge-negative"),
    pytest.param(b"x", "invalid type: byte array, expected any valid JSON value", id="bytes"),
    pytest.param(BytesSub(), "invalid type: byte array, expected any valid JSON value", id="bytes-subclass"),
    pytest.param(bytearray(), "unexpected type: 'bytearray' object is not an instance of 'bytes'", id="bytearray"),
    pytest.param(
        ByteArraySub(), "unexpected type: 'ByteArraySub' object is not an instance of 'bytes'", id="bytearray-subclass"
    ),
    pytest.param(
        BadNameByteArray(),
        "unexpected type: '<failed to extract type name>' object is not an instance of 'bytes'",
        id="bytearray-unencodable-name",
    ),
    pytest.param({"v": b""}, "invalid type: byte array, expected any valid JSON value", id="bytes-in-dict"),
    pytest.param({1: 2}, "unexpected type: 'int' object is not an instance of 'str'", id="int-key"),
    pytest.param({None: 2}, "unexpected type: 'None' is not an instance of 'str'", id="none-key"),
    pytest.param({True: 2}, "unexpected type: 'bool' object is not an instance of 'str'", id="bool-key"),
    pytest.param({1.5: 2}, "unexpected type: 'float' object is not an instance of 'str'", id="float-key"),
    pytest.param({(1,): 2}, "unexpected type: 'tuple' object is not an instance of 'str'", id="tuple-key"),
    pytest.param({b"k": 2}, "unexpected type: 'bytes' object is not an instance of 'str'", id="bytes-key"),
    pytest.param(
        PlainMapping([(1, b"")]), "unexpected type: 'int' object is not an instance of 'str'", id="key-checked-before-value"
    ),
    pytest.param(
        {"a": 1, 2: b""}, "unexpected type: 'int' object is not an instance of 'str'", id="first-fault-in-order-decides"
    ),
    pytest.param(1j, "unsupported type complex", id="complex"),
    pytest.param(object(), "unsupported type object", id="object"),
    pytest.param(local_unsupported(), "unsupported type local_unsupported.<locals>.Local", id="qualified-name"),
    pytest.param(BadNameObject(), "unsupported type unknown", id="unsupported-unencodable-name"),
    pytest.param([1, object()], "unsupported type object", id="unsupported-in-list"),
    pytest.param(
        "\ud800",
        interpreter_text(lambda: "\ud800".encode()),
        id="lone-surrogate",
    ),
    pytest.param(Unicode("\udfff"), interpreter_text(lambda: "\udfff".encode()), id="lone-surrogate-subclass"),
    pytest.param({"\udc80": 1}, interpreter_text(lambda: "\udc80".encode()), id="lone-surrogate-key"),
    pytest.param(WithClassVar(1), "KeyError: 'shared'", id="dataclass-classvar"),
    pytest.param(Slotted(1), interpreter_text(lambda: Slotted(1).__dict__), id="dataclass-slots"),
    pytest.param(FieldsNotDict(), "unexpected type: 'list' object is not an instance of 'dict'", id="fields-not-dict"),
    pytest.param(
        InstanceDictNotDict(), "unexpected type: 'list' object is not an instance of 'dict'", id="instance-dict-not-dict"
    ),
    pytest.param(FieldNameNotStr(), "unexpected type: 'int' object is not an instance of 'str'", id="field-name-not-str"),
]


@pytest.mark.parametrize("value, text", FAILURES)
def test_failure_text(value, text):
    assert failure_text(value) == text


class FlippingClass:
    """Claims to be `first_class` for its first `reads` isinstance checks
    (each reads __class__ once), then plain object."""

    def __init__(self, first_class, reads):
        self.calls = 0
        self.first_class = first_class
        self.reads = reads

    @property
    def __class__(self):
        self.calls += 1
        return self.first_class if self.calls <= self.reads else object

    def __len__(self):
        return 0


class SequenceFirst(collections.abc.Sequence):
    pass


class MappingFirst(collections.abc.Mapping):
    pass


# Classification asks Sequence, then Mapping; the opening asks once more.
@pytest.mark.parametrize(
    "first_class, reads, required",
    [(SequenceFirst, 1, "Sequence"), (MappingFirst, 2, "Mapping")],
)
def test_opening_rechecks_abstract_class(first_class, reads, required):
    value = FlippingClass(first_class, reads)
    assert failure_text(value) == f"unexpected type: 'FlippingClass' object is not an instance of '{required}'"


class Uncountable(Exception):
    def __str__(self):
        raise ValueError("no text")


class UnencodableText(Exception):
    def __str__(self):
        return "\ud800"


class BadName(Exception):
    pass


BadName.__qualname__ = "\udc00"


def raising_sequence(exc):
    class Raising(list):
        def __len__(self):
            raise exc

    return Raising()


@pytest.mark.parametrize(
    "exc, text",
    [
        (ValueError("plain"), "ValueError: plain"),
        (Uncountable(), "Uncountable: <exception str() failed>"),
        (UnencodableText(), "UnencodableText: <exception str() failed>"),
        (BadName("x"), "<failed to extract type name>: x"),
        (KeyboardInterrupt("stop"), "KeyboardInterrupt: stop"),
        (KeyboardInterrupt(), "KeyboardInterrupt: "),
    ],
    ids=["plain", "str-raises", "str-unencodable", "type-name-unencodable", "keyboard-interrupt", "no-args"],
)
def test_interpreter_error_rendering(exc, text):
    assert failure_text(raising_sequence(exc)) == text


# Every container kind, built with exact types and with trivial subclasses,
# must store identical bytes: the fast paths may not drift from the protocol.
PARITY = [
    pytest.param(lambda L, T, D, S: L([1, T((2.5, "x")), D(b=S({4}), a=None)]), id="mixed"),
    pytest.param(lambda L, T, D, S: D(z=L([]), y=T(), x=D()), id="empties"),
    pytest.param(lambda L, T, D, S: T(L([i, -i, i * 0.5]) for i in range(20)), id="rows"),
    pytest.param(lambda L, T, D, S: D({str(i): L([D(k=i)]) for i in range(30, 0, -1)}), id="unsorted-keys"),
]


@pytest.mark.parametrize("build", PARITY)
def test_exact_and_subclass_containers_store_the_same_text(build):
    exact = store(build(list, tuple, dict, frozenset))
    subclassed = store(build(ListSub, TupleSub, DictSub, FrozenSub))
    assert exact == subclassed


def make_dataclass_level(inner):
    return Point(inner, None)


NESTERS = {
    "list": lambda v: [v],
    "tuple": lambda v: (v,),
    "dict": lambda v: {"k": v},
    "list-subclass": lambda v: ListSub([v]),
    "dict-subclass": lambda v: DictSub(k=v),
    "set": lambda v: frozenset([v]),
    "abc-sequence": lambda v: PlainSequence([v]),
    "abc-mapping": lambda v: PlainMapping([("k", v)]),
    "dataclass": make_dataclass_level,
}


@pytest.mark.parametrize("kind", NESTERS)
def test_127_levels_are_stored_and_read_back(kind):
    value = nested(127, NESTERS[kind])
    size, got = store(value)
    inner = got
    for _ in range(127):
        inner = inner["y"] if kind == "dataclass" else inner["k"] if isinstance(inner, dict) else inner[0]
    assert inner == 0
    if kind in ("list", "tuple"):
        assert size == 127 * 2 + 1


@pytest.mark.parametrize("kind", NESTERS)
def test_128th_level_is_refused(kind):
    assert failure_text(nested(128, NESTERS[kind])) == "recursion limit exceeded"


class ExplodingLen(list):
    def __len__(self):
        raise AssertionError("the 128th level must not be touched")


def test_128th_level_is_refused_before_it_is_read():
    assert failure_text(nested(127, lambda v: [v], ExplodingLen())) == "recursion limit exceeded"


def test_mixed_nesting_counts_every_container_kind():
    kinds = [make for name, make in NESTERS.items() if name != "set"]  # set items must hash
    value = 0
    for level in range(127):
        value = kinds[level % len(kinds)](value)
    store(value)
    assert failure_text(kinds[127 % len(kinds)](value)) == "recursion limit exceeded"


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: (lambda a: (a.append(a), a)[1])([]), id="list"),
        pytest.param(lambda: (lambda d: (d.__setitem__("self", d), d)[1])({}), id="dict"),
        pytest.param(lambda: (lambda a: (a.append(a), a)[1])(ListSub()), id="list-subclass"),
    ],
)
def test_self_containing_value_is_refused(make):
    value = make()
    assert failure_text(value) == "recursion limit exceeded"
