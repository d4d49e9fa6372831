"""A str's UTF-8 is read without caching it on the caller's object: keys,
values and member names leave the caller's strings exactly as big as they
were, whatever their kind, and still store and match the same bytes."""

import json
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelm_lib

# One str of each storage kind (1, 2 and 4 bytes a character).
KINDS = {"latin-1": "é" * 10**6, "bmp": "東" * 10**6, "astral": "😀" * 10**6}

USES = {
    "insert-key": lambda c, s: c.insert(s, 1),
    "get-key": lambda c, s: c.get(s),
    "contains-key": lambda c, s: c.contains(s),
    "in-key": lambda c, s: s in c,
    "remove-key": lambda c, s: c.remove(s),
    "value": lambda c, s: c.insert("k", [s]),
    "member-name": lambda c, s: c.insert("k", {s: 1}),
    "mapping-member-name": lambda c, s: c.insert("k", Names({s: 1})),
}


class Names(dict):
    """Not an exact dict, so its names take the general mapping path."""


@pytest.mark.parametrize("use", USES.values(), ids=USES.keys())
@pytest.mark.parametrize("text", KINDS.values(), ids=KINDS.keys())
def test_str_does_not_grow(text, use):
    c = pelm_lib.Cache(10**8)
    c.insert(text[:-1] + text[-1], 0)  # an equal key, so that lookups find one
    text = text[:-1] + text[-1]  # a fresh object, with no UTF-8 cached by anyone
    before = sys.getsizeof(text)
    use(c, text)
    assert sys.getsizeof(text) == before


# Characters around every UTF-8 length boundary, in each storage kind.
BOUNDARIES = "\x00\x1f\"\\\x7f\x80\xff\u0100\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff"


@given(st.text(alphabet=st.sampled_from(BOUNDARIES) | st.characters(exclude_categories=["Cs"]), max_size=40))
def test_stored_bytes_and_lookups_match_the_str(text):
    c = pelm_lib.Cache(10**6)
    c.insert(text, {text: text})
    twin = "".join(list(text))  # equal, another object (when not interned)
    assert c.get(twin) == {text: text} and twin in c and c.contains(twin)
    assert c.size() == len(json.dumps({text: text}, ensure_ascii=False, separators=(",", ":")).encode())


# Strs stored with one, two or four bytes a character are encoded and
# escaped straight into the text: ASCII stretches of every length (the
# eight-unit blocks and their ends) with bytes to escape, between wider
# characters, and strs too long for that path.
ascii_pieces = st.text(alphabet=st.sampled_from('ab "\\\x00\x1f\x7f/'), max_size=20)
wide_chars = st.sampled_from(["é", "\xff", "\u07ff", "東", "\uffff", "😀", "\U0010ffff"])


@given(st.lists(st.tuples(ascii_pieces, wide_chars), max_size=12), ascii_pieces,
       st.sampled_from([0, 70_000]))
def test_wide_strs_are_written_as_their_utf8_escaped(pieces, tail, padding):
    text = "".join(a + w for a, w in pieces) + tail + "\x01" * padding
    value = [text, {"k": text}, [1, text]]
    c = pelm_lib.Cache(10**7)
    c.insert("k", value)
    assert c.get_raw("k") == json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
    assert c.get("k") == value


@pytest.mark.parametrize("text", ["ab\ud800", "\ud800", "東\udfff東", "😀" + "a" * 20 + "\ud800"])
def test_a_surrogate_in_a_wide_str_fails_and_stores_nothing(text):
    c = pelm_lib.Cache(10**6)
    for value in ([1, "東", text], {"a": "é", "b": text}):
        with pytest.raises(SystemError, match="surrogate"):
            c.insert("k", value)
        assert c.is_empty()
