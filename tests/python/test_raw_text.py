"""insert_raw and get_raw: JSON text in and out.

The equivalence insert_raw(k, t) == insert(k, json.loads(t)) is checked on
the stored bytes, over generated values printed in many ways and over the
JSON parsing suite's files; every refusal must leave the cache byte for byte
as it was; every way of passing text must release what it borrowed.
"""

import json
import pathlib
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelm_lib

SUITE = pathlib.Path(__file__).resolve().parents[1] / "data" / "json_parsing"
# Texts json.loads takes, refused on purpose: the stored form keeps one of
# the repeated names only, so it would not say what the text says.
REFUSED_ON_PURPOSE = {"y_object_duplicated_key.json", "y_object_duplicated_key_and_value.json"}
PREFIX = "JSON text refused: "


def stored_by_insert(value):
    cache = pelm_lib.Cache(1 << 40)
    cache.insert("k", value)
    return cache.get_raw("k")


def stored_by_insert_raw(text):
    cache = pelm_lib.Cache(1 << 40)
    cache.insert_raw("k", text)
    return cache.get_raw("k")


def state(cache):
    """Everything observable, read without changing the recency order."""
    return repr(cache), cache.keys(), cache.stats(), {k: cache.peek(k) for k in cache.keys()}


scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text())
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                      | st.dictionaries(st.text(max_size=4), inner, max_size=4), max_leaves=12)


@settings(max_examples=300, deadline=None)
@given(value=values, indent=st.sampled_from([None, 0, 1, 4, "\t", " \r\n"]), sort_keys=st.booleans(),
       ensure_ascii=st.booleans(), as_bytes=st.booleans())
def test_insert_raw_stores_what_insert_stores(value, indent, sort_keys, ensure_ascii, as_bytes):
    text = json.dumps(value, indent=indent, sort_keys=sort_keys, ensure_ascii=ensure_ascii)
    assert stored_by_insert_raw(text.encode() if as_bytes else text) == stored_by_insert(json.loads(text))


@pytest.mark.parametrize("text, stored", [
    ("1E2", b"100.0"), ("-0", b"0"), ("-0.0", b"-0.0"), ("1e-400", b"0.0"), ('"\\u00e9\\/"', '"é/"'.encode()),
    (' {"b" : [1, 2.50], "a":{}}\n', b'{"a":{},"b":[1,2.5]}'), ("18446744073709551615", b"18446744073709551615"),
])
def test_number_and_string_forms_follow_insert(text, stored):
    assert stored_by_insert_raw(text) == stored == stored_by_insert(json.loads(text))


@pytest.mark.parametrize("path", sorted(SUITE.glob("*.json")), ids=lambda p: p.name)
def test_parsing_suite(path):
    data = path.read_bytes()
    try:
        stored = stored_by_insert_raw(data)
    except ValueError as e:
        assert str(e).startswith(PREFIX) and " at byte " in str(e)
        assert not path.name.startswith("y_") or path.name in REFUSED_ON_PURPOSE
    else:
        assert not path.name.startswith("n_")
        assert stored == stored_by_insert(json.loads(data))


@pytest.mark.parametrize("text, refusal", [
    ('[1,]', "trailing comma at byte 3"),
    (b"\xef\xbb\xbf{}", "byte-order mark at byte 0"),
    ("\ufeff{}", "byte-order mark at byte 0"),
    ('{"a": 1, "a": 2}', 'repeated member name "a" at byte 15'),
    ('["\\ud800"]', "unexpected end of hex escape at byte 8"),
    ('"\\udc00"', "lone leading surrogate in hex escape at byte 6"),
    ("[1, -9223372036854775809]", "integer out of range at byte 4"),
    ("18446744073709551616", "integer out of range at byte 0"),
    ("1e309", "number out of range at byte 4"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at byte 127"),
    ("NaN", "expected value at byte 0"),
    ("[-Infinity]", "invalid number at byte 2"),
    (b'"\xff"', "invalid unicode code point at byte 2"),
    ("", "EOF while parsing a value at byte 0"),
    ('{"é": [tru', "EOF while parsing a value at byte 11"),  # bytes, not characters
])
def test_refusals_name_the_fault_and_change_nothing(text, refusal):
    cache = pelm_lib.Cache(64)
    cache.insert_raw("a", "[1, 2]")
    cache.insert_raw("k", '"old"')
    before = state(cache)
    with pytest.raises(ValueError) as info:
        cache.insert_raw("k", text)
    assert info.value.args == (PREFIX + refusal,)
    assert state(cache) == before


def test_canonical_text_longer_than_limit_is_refused_as_insert_refuses():
    cache = pelm_lib.Cache(8)
    before = state(cache)
    with pytest.raises(ValueError) as info:
        cache.insert_raw("k", "[1,     2,     3,      4]")  # 9 bytes once compact
    assert info.value.args == ("Value for key 'k' (9 bytes) exceeds the cache limit (8 bytes)",)
    assert state(cache) == before
    cache.insert_raw("k", "[1,     2,     3]")  # 7 bytes: fits
    assert cache.get_raw("k") == b"[1,2,3]"


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b"xx" + b))[2:],
                                  lambda b: __import__("array").array("B", b)])
def test_bytes_like_texts(make):
    assert stored_by_insert_raw(make(b'{"b": 1, "a": [true]}')) == b'{"a":[true],"b":1}'


@pytest.mark.parametrize("text, error", [
    (5, "'int' object is neither a str nor a bytes-like object"),
    (["[]"], "'list' object is neither a str nor a bytes-like object"),
    (memoryview(b"[1, 2]")[::2], "a memoryview given as text must be C-contiguous"),
])
def test_text_must_be_str_or_bytes_like(cache, text, error):
    with pytest.raises(TypeError) as info:
        cache.insert_raw("k", text)
    assert info.value.args == (error,) and info.value.__notes__ == ["while processing 'text'"]
    assert cache.len() == 0


@pytest.mark.parametrize("text", ['[1, 2]', '[1, 2', "x" * 2000])
def test_a_bytearray_is_released_on_every_path(text):
    buffer = bytearray(text.encode())
    try:
        pelm_lib.Cache(1000).insert_raw("k", buffer)
    except ValueError:
        pass
    buffer.extend(b" ")  # resizing fails while any export is still held


def in_use_text(call):
    try:
        call()
    except RuntimeError as e:
        return e.args[0]
    return "free"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Python classes export buffers from 3.12 on")
@pytest.mark.parametrize("text, stored", [(b"[1, 2]", True), (b"[1, 2", False)])
def test_a_python_buffer_exporter_runs_while_the_cache_is_held_and_is_released_after(text, stored):
    cache = pelm_lib.Cache(100)
    seen = []

    class Exporter:
        def __buffer__(self, flags):
            seen.append(in_use_text(lambda: cache.insert("x", 1)))
            return memoryview(text)

        def __release_buffer__(self, view):
            seen.append(in_use_text(cache.keys))
            view.release()

    try:
        cache.insert_raw("k", Exporter())
    except ValueError:
        pass
    assert seen == ["Already borrowed", "free"] and cache.keys() == (["k"] if stored else [])


def test_text_with_a_lone_surrogate_is_a_value_error(cache):
    with pytest.raises(UnicodeEncodeError) as info:
        cache.insert_raw("k", '"\ud800"')
    assert info.value.__notes__ == ["while processing 'text'"]


@pytest.mark.parametrize("ttl, error", [("5", TypeError), (True, TypeError), (0, ValueError), (float("nan"), ValueError)])
def test_ttl_is_none_or_a_time_limit(cache, ttl, error):
    """insert_raw takes None or what insert_ttl takes, with the same refusals
    (test_expiry.py covers them in full)."""
    cache.insert_raw("k", "1", None)
    cache.insert_raw("k", "1", ttl=None)
    cache.insert_raw("t", "2", ttl=3600)
    with pytest.raises(error) as info:
        cache.insert_raw("j", "1", ttl=ttl)
    assert info.value.__notes__ == ["while processing 'ttl'"]
    assert cache.keys() == ["t", "k"]


def test_get_raw_returns_a_new_bytes_object_each_time(cache):
    cache.insert("k", {"xs": [1, 2.5, "é"]})
    first, second = cache.get_raw("k"), cache.get_raw("k")
    assert type(first) is bytes and first == second and first is not second
    assert len(first) == cache.size()
