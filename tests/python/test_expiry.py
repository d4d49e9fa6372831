"""Entries with a time limit: insert_ttl's argument, expiry as every call
sees it (and counts it), inserts and resizes whose own user code outlives
another entry, overwrites, clear, a call nested in a read, and memory over
fill/expire cycles.

Tests taking the `clock` fixture move the cache's clock without sleeping and
skip in builds without the hook (see clock_helpers.py); the others use real
time and run everywhere."""

import enum
import gc
import time

import pytest

import pelm_lib
from conftest import snapshot
from rss import rss_bound, rss_bytes


class Seconds(enum.IntEnum):
    TEN = 10


class FloatSeconds(float):
    def __repr__(self):  # never consulted: the number's own value is read
        raise AssertionError("ttl's methods ran")


class LenHook(list):
    """A list whose length read runs `hook` (the conversion reads it)."""

    def __init__(self, items, hook):
        super().__init__(items)
        self.hook = hook

    def __len__(self):
        self.hook()
        return super().__len__()


def test_an_entry_expires_in_real_time():
    c = pelm_lib.Cache(100)
    c.insert_ttl("k", [1], 0.05)
    c.insert("plain", 1)
    assert c.get("k") == [1]
    time.sleep(0.15)
    assert "k" not in c and len(c) == 1 and c.size() == 1
    with pytest.raises(KeyError):
        c.get("k")


@pytest.mark.parametrize(
    "ttl, error, text",
    [
        (True, TypeError, "ttl must be an int or a float number of seconds, not 'bool'"),
        ("1", TypeError, "ttl must be an int or a float number of seconds, not 'str'"),
        (None, TypeError, "ttl must be an int or a float number of seconds, not 'NoneType'"),
        (1j, TypeError, "ttl must be an int or a float number of seconds, not 'complex'"),
        (0, ValueError, "ttl must be a finite number of seconds greater than 0"),
        (-5, ValueError, "ttl must be a finite number of seconds greater than 0"),
        (-(10**40), ValueError, "ttl must be a finite number of seconds greater than 0"),
        (0.0, ValueError, "ttl must be a finite number of seconds greater than 0"),
        (-0.0, ValueError, "ttl must be a finite number of seconds greater than 0"),
        (float("nan"), ValueError, "ttl must be a finite number of seconds greater than 0"),
        (float("inf"), ValueError, "ttl must be a finite number of seconds greater than 0"),
        (float("-inf"), ValueError, "ttl must be a finite number of seconds greater than 0"),
    ],
    ids=repr,
)
def test_bad_ttl_is_refused_before_the_value_is_read(ttl, error, text):
    c = pelm_lib.Cache(100)
    c.insert_ttl("k", 1, 60)
    before = snapshot(c, ["k"])
    reads = []
    with pytest.raises(error) as info:
        c.insert_ttl("k", LenHook([2], lambda: reads.append(1)), ttl)
    assert info.value.args == (text,)
    assert info.value.__notes__ == ["while processing 'ttl'"]
    assert reads == [] and snapshot(c, ["k"]) == before and c.get("k") == 1


@pytest.mark.parametrize("ttl", [1, 10**100, Seconds.TEN, 0.5, FloatSeconds(2.5), 1e300, 5e-324],
                         ids=lambda v: f"{type(v).__name__}-{float(v):g}")
def test_accepted_ttls(ttl):
    c = pelm_lib.Cache(100)
    assert c.insert_ttl(key="k", value={"a": 1}, ttl=ttl) is None
    # The smallest float is one nanosecond after rounding up: gone by now.
    assert c.size() == (0 if ttl == 5e-324 else 7)


def test_insert_ttl_refuses_what_insert_refuses():
    c = pelm_lib.Cache(4)
    before = snapshot(c, ["k"])
    with pytest.raises(ValueError, match=r"Value for key 'k' \(5 bytes\) exceeds the cache limit \(4 bytes\)"):
        c.insert_ttl("k", "abc", 10)
    with pytest.raises(SystemError):
        c.insert_ttl("k", b"x", 10)
    with pytest.raises(TypeError):
        c.insert_ttl(5, 1, 10)
    assert snapshot(c, ["k"]) == before


def missed(read):
    def run(c):
        with pytest.raises(KeyError) as info:
            read(c)
        return info.value.args
    return run


# Each reading of a cache holding the plain "p" (1 byte) and the expired "t".
READERS = {
    "get": (missed(lambda c: c.get("t")), ("Key 't' not found",)),
    "get_raw": (missed(lambda c: c.get_raw("t")), ("Key 't' not found",)),
    "peek": (missed(lambda c: c.peek("t")), ("Key 't' not found",)),
    "keys": (lambda c: c.keys(), ["p"]),
    "stats": (lambda c: c.stats()[2:], (2, 0, 1)),  # inserts, evictions, expirations
    "contains": (lambda c: c.contains("t"), False),
    "in": (lambda c: "t" in c, False),
    "len": (lambda c: (c.len(), len(c)), (1, 1)),
    "size": (lambda c: c.size(), 1),
    "is_empty": (lambda c: c.is_empty(), False),
    "repr": (repr, "Cache(limit=100, size=1, entries=1)"),
    "remove": (lambda c: c.remove("t"), False),
    "limit-then-len": (lambda c: (c.limit, len(c)), (100, 1)),
    "clear-then-len": (lambda c: (c.clear(), len(c)), (None, 0)),
    "resize-then-len": (lambda c: (c.resize(1), len(c)), (None, 1)),
}


@pytest.mark.parametrize("name", READERS)
@pytest.mark.parametrize("store", ["insert_ttl", "insert_raw"])
def test_an_expired_entry_is_gone_for_every_call(clock, store, name):
    read, expected = READERS[name]
    c = pelm_lib.Cache(100)
    if store == "insert_ttl":
        c.insert_ttl("t", "ttl", 10)
    else:
        c.insert_raw("t", b' "ttl" ', ttl=10)
    c.insert("p", 1)
    clock.advance(9.9)
    assert "t" in c and len(c) == 2
    clock.advance(0.1)
    assert read(c) == expected
    assert c.size() + len(c) == (0 if name == "clear-then-len" else 2)
    # Retired once, by whichever call came first; a miss is still a miss.
    hits, misses, _, evictions, expirations = c.stats()
    assert (hits, misses, evictions, expirations) == (0, name in ("get", "get_raw"), 0, 1)


def test_an_insert_retires_what_expired_during_its_conversion(clock):
    """The value's own code moves the clock past "t"'s deadline: the insert
    must retire "t" before it evicts, so no live entry is evicted."""
    c = pelm_lib.Cache(9)
    c.insert("p1", "b")  # the least recently used: the victim if "t" stayed
    c.insert_ttl("t", "a", 5)
    c.insert("p2", "c")
    c.insert("new", LenHook([], lambda: clock.advance(6)))  # "[]": 2 bytes
    assert [k for k in ("t", "p1", "p2", "new") if k in c] == ["p1", "p2", "new"]
    assert c.size() == 8


class SlowIndex:
    """A limit whose __index__ moves the clock (resize converts it first)."""

    def __init__(self, limit, move):
        self.limit, self.move = limit, move

    def __index__(self):
        self.move()
        return self.limit


def test_a_resize_retires_what_expired_during_its_conversion(clock):
    c = pelm_lib.Cache(9)
    c.insert("p1", "b")  # the least recently used: the victim if "t" stayed
    c.insert_ttl("t", "a", 5)
    c.insert("p2", "c")
    c.resize(SlowIndex(6, lambda: clock.advance(6)))
    assert c.keys() == ["p2", "p1"] and c.stats()[3:] == (0, 1)


def test_resize_evicts_timed_entries_and_the_rest_still_expire(clock):
    c = pelm_lib.Cache(100)
    for i in range(10):
        c.insert_ttl(f"t{i}", i, 1 + i)
    c.resize(6)  # 1 byte each: the six most recent stay
    assert c.keys() == ["t9", "t8", "t7", "t6", "t5", "t4"]
    clock.advance(8.5)
    assert c.keys() == ["t9", "t8"] and c.stats()[3:] == (4, 4)
    c.resize(0)
    assert c.keys() == [] and c.stats()[3:] == (6, 4)
    c.resize(100)
    c.insert_ttl("again", 1, 1)
    clock.advance(1)
    assert c.keys() == [] and c.stats()[3:] == (6, 5)


def test_a_call_nested_in_a_read_frees_nothing_under_it(clock):
    """A collection that starts while peek decodes runs a callback that moves
    the clock past the entry's deadline and reads the cache. That nested read
    must not retire the entry being decoded (under ASan a use after free would
    abort); the next call does. From 3.12 on the collection waits until peek
    has returned, and the callback's read retires the entry itself."""
    c = pelm_lib.Cache(10**6)
    value = [[i, "x"] for i in range(3000)]
    c.insert_ttl("t", value, 5)
    seen = []

    def nested_read(phase, info):
        if phase == "start" and not seen:
            clock.advance(6)
            seen.append(len(c))

    peek, threshold = c.peek, gc.get_threshold()
    gc.callbacks.append(nested_read)
    gc.set_threshold(1)
    try:
        got = peek("t")
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(nested_read)
    assert got == value and seen in ([0], [1])
    assert "t" not in c and c.stats().expirations == 1


def test_overwrites_set_or_take_away_the_time_limit(clock):
    c = pelm_lib.Cache(100)
    c.insert_ttl("made-plain", 1, 5)
    c.insert("made-plain", 2)
    c.insert("made-timed", 1)
    c.insert_ttl("made-timed", 2, 5)
    c.insert_ttl("renewed", 1, 5)
    clock.advance(4)
    c.insert_ttl("renewed", 2, 5)
    c.get("made-timed")  # a hit promotes but does not extend the limit
    clock.advance(3)
    assert [k for k in ("made-plain", "made-timed", "renewed") if k in c] == ["made-plain", "renewed"]
    clock.advance(2)
    assert [k for k in ("made-plain", "made-timed", "renewed") if k in c] == ["made-plain"]


def test_eviction_and_removal_of_timed_entries(clock):
    c = pelm_lib.Cache(4)
    for key, ttl in (("a", 5), ("b", 1), ("c", 3), ("d", 2)):
        c.insert_ttl(key, 0, ttl)
    c.insert("e", 0)  # evicts "a", the least recently used
    assert c.remove("c") is True
    clock.advance(1.5)  # "b" expires
    assert [k for k in "abcde" if k in c] == ["d", "e"]
    clock.advance(1)
    assert [k for k in "abcde" if k in c] == ["e"]


def test_clear_with_timed_entries_then_reuse(clock):
    c = pelm_lib.Cache(10_000)
    for i in range(300):
        c.insert_ttl(f"t{i}", i, 1 + i % 7)
        c.insert(f"p{i}", i)
    c.clear()
    assert len(c) == 0 and c.size() == 0
    c.insert_ttl("after", 1, 2)
    c.insert("plain", 1)
    clock.advance(10)
    assert [k for k in ("after", "plain") if k in c] == ["plain"]


@rss_bound
def test_fill_and_expire_cycles_do_not_grow_memory():
    c = pelm_lib.Cache(10**9)

    def cycle():
        for i in range(20_000):
            c.insert_ttl(f"key-{i}", {"i": i, "name": "x" * 20}, 0.05)
        time.sleep(0.08)
        assert len(c) == 0  # every entry has expired and been released

    for _ in range(2):
        cycle()
    gc.collect()
    start = rss_bytes()
    for _ in range(8):
        cycle()
    assert rss_bytes() - start < 4 * 2**20
