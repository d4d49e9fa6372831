"""References and memory: nothing of the caller's is kept or leaked, and caches
that are filled and dropped return their memory."""

import gc
import sys

import pytest

import pelm_lib
from rss import rss_bound, rss_bytes


class Key(str):
    pass


def fresh_values():
    return [[1, 2, 3], {"a": [1.5, "x"]}, ("t", None), {"s"}, "text", 10**10, 2.5]


@pytest.mark.parametrize("value", fresh_values(), ids=lambda v: type(v).__name__)
def test_insert_get_remove_keep_caller_refcounts(value):
    key = Key("k")
    c = pelm_lib.Cache(1000)
    before = (sys.getrefcount(key), sys.getrefcount(value))
    for _ in range(10):
        c.insert(key, value)
        c.get(key)
        c.contains(key)
        key in c
    c.remove(key)
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


@pytest.mark.parametrize(
    "value", [[1, b"bytes"], {"a": object()}, {1: 2}, [2**70], "x" * 100],
    ids=["bytes", "object", "int-key", "too-big-int", "too-long"],
)
def test_failed_inserts_keep_refcounts(value):
    key = Key("k")
    c = pelm_lib.Cache(50)
    inner = value[0] if isinstance(value, list) else value
    before = (sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(inner))
    for _ in range(10):
        with pytest.raises((SystemError, ValueError)):
            c.insert(key, value)
    assert (sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(inner)) == before


def test_argument_errors_keep_refcounts():
    c = pelm_lib.Cache(50)
    bad = object()
    before = sys.getrefcount(bad)
    for _ in range(10):
        for call in (lambda: c.get(bad), lambda: c.insert(bad, 1), lambda: bad in c,
                     lambda: pelm_lib.Cache(bad), lambda: c.insert("k", 1, bad)):
            with pytest.raises(TypeError):
                call()
    assert sys.getrefcount(bad) == before


@rss_bound
def test_create_fill_drop_cycles_do_not_grow_memory():
    def cycle():
        c = pelm_lib.Cache(10**9)
        for i in range(20000):
            c.insert(f"key-{i}", {"i": i, "name": "x" * 20})
        del c

    for _ in range(3):
        cycle()
    gc.collect()
    start = rss_bytes()
    for _ in range(15):
        cycle()
    gc.collect()
    assert rss_bytes() - start < 8 * 2**20


@rss_bound
def test_eviction_churn_does_not_grow_memory():
    c = pelm_lib.Cache(50_000)
    for i in range(50_000):
        c.insert(str(i), [i, "v" * 10])
    start = rss_bytes()
    for i in range(1_000_000):
        c.insert(str(i), [i, "v" * 10])
    assert rss_bytes() - start < 8 * 2**20
