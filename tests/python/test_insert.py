"""insert: byte accounting, refusal, eviction from the least-recently-used end."""

import pytest

import pelm_lib


def keys_present(cache, keys):
    return [k for k in keys if k in cache]


def test_limit_zero_refuses_everything():
    c = pelm_lib.init_cache(0)
    with pytest.raises(ValueError) as info:
        c.insert("k", None)
    assert info.value.args == ("Value for key 'k' (4 bytes) exceeds the cache limit (0 bytes)",)
    assert c.len() == 0


def test_exactly_limit_fits_and_evicts_everything_else():
    c = pelm_lib.Cache(10)
    c.insert("a", 1)
    c.insert("b", 2)
    c.insert("big", "x" * 8)  # 10 bytes with quotes
    assert c.len() == 1 and c.size() == 10 and keys_present(c, "ab") == []


def test_one_byte_over_changes_nothing():
    c = pelm_lib.Cache(10)
    c.insert("a", 1)
    c.insert("b", 2)
    before = repr(c)
    with pytest.raises(ValueError) as info:
        c.insert("it's", "x" * 9)
    assert info.value.args == ("Value for key 'it's' (11 bytes) exceeds the cache limit (10 bytes)",)
    assert repr(c) == before
    c.insert("c", "1234567")  # 9 bytes: the refused insert left "a" least recent
    assert keys_present(c, "abc") == ["b", "c"]


def test_key_length_does_not_count():
    c = pelm_lib.Cache(1)
    c.insert("k" * 1000, 7)
    assert c.size() == 1


@pytest.mark.parametrize(
    "value, size",
    [
        (None, 4), (True, 4), (False, 5), (0, 1), (10, 2), ("", 2), ("é", 4), ("\n", 4), ("\x01", 8),
        ([], 2), ({}, 2), ([1, 2], 5), ([1, [2, 3]], 9), ({"b": 1, "a": [True, None]}, 23),
        (1.0, 3), (-0.0, 4), (1e15, 18), (1e16, 5), (2**64 - 1, 20), (-(2**63), 20),
    ],
)
def test_size_is_bytes_of_the_compact_text(value, size):
    c = pelm_lib.Cache(100)
    c.insert("k", value)
    assert c.size() == size


def test_member_order_does_not_change_size():
    c = pelm_lib.Cache(100)
    c.insert("x", {"b": 1, "a": 2})
    c.insert("y", {"a": 2, "b": 1})
    assert c.size() == 2 * len('{"a":2,"b":1}')


def test_overwrite_replaces_value_and_size():
    c = pelm_lib.Cache(100)
    c.insert("a", 1)
    assert c.insert("a", 22) is None
    assert (c.len(), c.size(), c.get("a")) == (1, 2, 22)


def test_overwrite_moves_key_to_most_recent():
    c = pelm_lib.Cache(12)
    for k in "abc":
        c.insert(k, "x")  # 3 bytes each
    c.insert("a", "y")
    assert c.size() == 9 and c.len() == 3
    c.insert("d", "1234")  # 6 bytes: only "b" goes
    assert keys_present(c, "abcd") == ["a", "c", "d"]


def test_old_entry_counts_during_eviction():
    c = pelm_lib.Cache(100)
    c.insert("a", "x" * 38)
    c.insert("b", "y" * 38)
    c.insert("b", "z" * 28)
    assert (c.len(), c.size(), c.contains("a")) == (1, 30, False)


def test_old_entry_can_be_its_own_victim():
    c = pelm_lib.Cache(10)
    c.insert("a", "123456")  # 8 bytes
    c.insert("a", "654321")
    assert (c.len(), c.size(), c.get("a")) == (1, 8, "654321")


def test_one_insert_may_evict_several_from_the_tail():
    c = pelm_lib.Cache(10)
    for k in "abc":
        c.insert(k, "x")
    c.insert("d", "12345")  # 7 bytes
    assert keys_present(c, "abcd") == ["c", "d"]


@pytest.mark.parametrize(
    "value, text",
    [
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (object(), "unsupported type object"),
        ({1: 2}, "unexpected type: 'int' object is not an instance of 'str'"),
        (2**64, "JSON number out of range"),
    ],
)
def test_conversion_failure_leaves_cache_unchanged(value, text):
    c = pelm_lib.Cache(20)
    c.insert("a", [1])
    c.insert("b", [2])
    before = (repr(c), c.get("a"), c.get("b"))
    with pytest.raises(SystemError) as info:
        c.insert("a", value)
    assert info.value.args == ("failed to serialise Python object: " + text,)
    assert (repr(c), c.get("a"), c.get("b")) == before
