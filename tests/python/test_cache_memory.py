"""sys.getsizeof(cache) is the memory the cache holds: its entries (keys,
texts and headers, none of which the cap counts except the texts) and its
key table; clear() gives all of it back."""

import sys

import pytest

import pelm_lib


@pytest.mark.parametrize("key, value", [("k", 1), ("ключ" * 50, {"a": "x" * 1000}), ("", [])])
def test_getsizeof_counts_keys_texts_and_table(key, value):
    c = pelm_lib.Cache(10**9)
    empty = sys.getsizeof(c)
    for i in range(1000):
        c.insert(f"{key}{i}", value)
    keys = sum(len(f"{key}{i}".encode()) for i in range(1000))
    table = sys.getsizeof(c) - empty - c.size() - keys
    assert 1000 * 28 < table < 1000 * 28 + 4096 * 8  # headers, and at most 4096 slots of 8 bytes
    c.clear()
    assert sys.getsizeof(c) == empty and repr(c) == "Cache(limit=1000000000, size=0, entries=0)"


def test_getsizeof_follows_removal_and_eviction():
    c = pelm_lib.Cache(100)
    empty = sys.getsizeof(c)
    c.insert("a", "x" * 50)
    one = sys.getsizeof(c)
    c.insert("b", "y" * 60)  # evicts "a"
    assert sys.getsizeof(c) == one + 10
    assert c.remove("b") and sys.getsizeof(c) == one - (28 + 1 + 52)  # header, key, text; the table stays
    assert sys.getsizeof(c) > empty
