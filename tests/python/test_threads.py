"""Several threads sharing one cache.

Calls hold the interpreter lock from entry to return, so two calls overlap
only when one of them runs Python code that lets the lock go (an insert
converting a value whose own methods sleep or switch threads). A call that
meets another thread's call waits for it; it never fails because of it.
Calls of the same thread that overlap still fail at once (test_hostile_values).
"""

import collections.abc
import dataclasses
import gc
import random
import sys
import threading
import time

import pytest

import pelm_lib

KEYS = [f"k{i}" for i in range(24)]


class SlowDict(dict):
    """A dict whose conversion gives the interpreter lock away mid-insert."""

    def keys(self):
        time.sleep(0.0002)
        return super().keys()


class PyMapping(collections.abc.Mapping):
    """A mapping of plain Python methods: the lock may switch inside any."""

    def __init__(self, **items):
        self._items = items

    def __getitem__(self, k):
        return self._items[k]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


@dataclasses.dataclass
class Point:
    x: int
    y: str


def gil_releasing_value(rng):
    return rng.choice([
        SlowDict(v=rng.randrange(99)),
        PyMapping(a=rng.randrange(99), b=[1, 2]),
        [Point(rng.randrange(9), "p") for _ in range(rng.randrange(4))],
        rng.randrange(1000),
    ])


def worker(cache, seed, deadline, failures):
    rng = random.Random(seed)
    calls = [
        lambda k: cache.insert(k, gil_releasing_value(rng)),
        lambda k: cache.insert_ttl(k, gil_releasing_value(rng), 60),
        lambda k: cache.get(k),
        lambda k: cache.get_raw(k),
        lambda k: cache.insert_raw(k, b'{"raw":1}'),
        lambda k: cache.peek(k),
        lambda k: cache.remove(k),
        lambda k: cache.contains(k),
        lambda k: k in cache,
        lambda k: (cache.len(), len(cache), cache.size(), cache.is_empty(), repr(cache), cache.limit),
        lambda k: cache.keys(),
        lambda k: cache.stats(reset=rng.random() < 0.1),
        lambda k: cache.resize(rng.choice([2500, 3000])),
        lambda k: cache.clear() if rng.random() < 0.02 else None,
    ]
    try:
        while time.monotonic() < deadline:
            try:
                rng.choice(calls)(rng.choice(KEYS))
            except KeyError:
                pass
    except BaseException as e:  # noqa: BLE001 - reported by the main thread
        failures.append(repr(e))


@pytest.fixture
def busy_interpreter():
    """Switch threads as often as possible; keep the collector from running
    finalizers (Python code) inside unrelated calls."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    gc.disable()
    yield
    gc.enable()
    sys.setswitchinterval(interval)


def test_every_method_from_many_threads_never_fails_and_keeps_its_accounting(busy_interpreter):
    cache = pelm_lib.Cache(3000)
    failures = []
    deadline = time.monotonic() + 1.5
    pool = [threading.Thread(target=worker, args=(cache, seed, deadline, failures)) for seed in range(6)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in pool), "a thread is stuck: deadlock"
    assert failures == []
    keys = cache.keys()
    assert cache.size() == sum(len(cache.get_raw(k)) for k in keys) <= cache.limit
    assert cache.len() == len(cache) == len(keys)


CALLS = {
    "insert": (lambda c: c.insert("x", 1), None),
    "get": (lambda c: c.get("a"), 1),
    "remove": (lambda c: c.remove("a"), True),
    "clear": (lambda c: c.clear(), None),
    "contains": (lambda c: c.contains("a"), True),
    "in": (lambda c: "a" in c, True),
    "len": (lambda c: c.len(), 2),
    "size": (lambda c: c.size(), 8),
    "repr": (lambda c: repr(c), "Cache(limit=100, size=8, entries=2)"),
    "limit": (lambda c: c.limit, 100),
    "keys": (lambda c: sorted(c.keys()), ["a", "b"]),
}


@pytest.mark.parametrize("name", CALLS)
def test_a_call_waits_for_another_threads_insert_and_sees_its_result(name):
    """One thread parks inside its insert's conversion; a call from another
    thread waits (it neither fails nor runs meanwhile) and, once the insert
    has finished, runs against the cache the insert left."""
    cache = pelm_lib.Cache(100)
    cache.insert("a", 1)
    parked, release = threading.Event(), threading.Event()

    class Parks(dict):
        def keys(self):
            parked.set()
            release.wait(10)
            return super().keys()

    inserter = threading.Thread(target=cache.insert, args=("b", Parks(v=2)))
    inserter.start()
    assert parked.wait(10)
    call, expected = CALLS[name]
    out = []
    caller = threading.Thread(target=lambda: out.append(call(cache)))
    caller.start()
    caller.join(0.1)
    assert caller.is_alive() and out == [], "the call did not wait"
    release.set()
    inserter.join(10)
    caller.join(10)
    assert out == [expected]


def test_a_waiting_writer_is_not_starved_by_a_stream_of_writers():
    """Waiters are served in order: a thread that keeps re-taking the cache
    cannot keep a waiting thread out for more than one turn each time."""
    cache = pelm_lib.Cache(10_000)
    stop = time.monotonic() + 20
    streaming = threading.Event()

    def stream():
        while time.monotonic() < stop:
            cache.insert("s", SlowDict(v=1))
            streaming.set()

    streamer = threading.Thread(target=stream, daemon=True)
    streamer.start()
    assert streaming.wait(10)
    started = time.monotonic()
    for i in range(50):
        cache.insert(f"m{i}", i)
    took = time.monotonic() - started
    stop = 0
    streamer.join(30)
    assert took < 5, f"50 inserts took {took:.1f} s behind the stream"
    assert [cache.get(f"m{i}") for i in range(50)] == list(range(50))

