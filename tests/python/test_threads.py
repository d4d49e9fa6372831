"""Several threads sharing one cache.

Calls hold the interpreter lock from entry to return, so two calls can only
overlap when one of them runs Python code that lets the lock go: here, an
insert whose value is a dict subclass with a `keys()` that sleeps. Only then
may a call fail with an in-use RuntimeError, and only with the text that
matches its kind of use. Each hammer run checks at the end that `size()` is
the sum of the stored texts' lengths and `len()` the number of stored keys.
"""

import gc
import json
import random
import sys
import threading
import time

import pytest

import pelm_lib

EXCLUSIVE_ERROR = "Already borrowed"       # insert, get, remove, clear
SHARED_ERROR = "Already mutably borrowed"  # the read-only calls
KEYS = [f"k{i}" for i in range(24)]


def text_length(value):
    return len(json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode())


class SlowMapping(dict):
    """A dict whose conversion gives the interpreter lock away mid-insert."""

    def __init__(self, windows, *args):
        super().__init__(*args)
        self.windows = windows

    def keys(self):
        time.sleep(0.0002)
        return super().keys()


class OverlapWindows:
    """Counts slow inserts begun and ended. A call that saw `ended` = F before
    it started and `begun` = S after it failed overlapped some slow insert
    exactly when S > F (every insert ended by then had begun before)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.begun = 0
        self.ended = 0

    def begin(self):
        with self.lock:
            self.begun += 1

    def end(self):
        with self.lock:
            self.ended += 1


def random_value(rng):
    return rng.choice([
        rng.randrange(-(2**63), 2**64),
        "é" * rng.randrange(0, 30),
        [rng.randrange(100) for _ in range(rng.randrange(6))],
        {"n": rng.randrange(1000), "s": "x" * rng.randrange(10), "t": None},
        None,
        True,
    ])


def worker(cache, windows, slow, seed, deadline, errors, failures):
    rng = random.Random(seed)
    calls = [
        ("exclusive", lambda k: cache.insert(k, random_value(rng))),
        ("exclusive", lambda k: cache.get(k)),
        ("exclusive", lambda k: cache.remove(k)),
        ("shared", lambda k: cache.contains(k)),
        ("shared", lambda k: k in cache),
        ("shared", lambda k: cache.len()),
        ("shared", lambda k: len(cache)),
        ("shared", lambda k: cache.size()),
        ("shared", lambda k: cache.is_empty()),
        ("shared", lambda k: repr(cache)),
        ("shared", lambda k: cache.limit),
    ]
    try:
        while time.monotonic() < deadline:
            key = rng.choice(KEYS)
            own_window = slow and rng.random() < 0.25
            if own_window:
                kind, call = "exclusive", lambda k: cache.insert(k, SlowMapping(windows, {"v": rng.randrange(99)}))
            elif rng.random() < 0.005:
                kind, call = "exclusive", lambda k: cache.clear()
            else:
                kind, call = rng.choice(calls)
            ended_before = windows.ended
            if own_window:
                windows.begin()
            try:
                call(key)
            except KeyError:
                pass
            except RuntimeError as e:
                begun_after = windows.begun - (1 if own_window else 0)
                errors.append((kind, str(e), begun_after > ended_before))
            finally:
                if own_window:
                    windows.end()
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


def hammer(slow, seconds, threads=4):
    cache = pelm_lib.Cache(3000)
    windows = OverlapWindows()
    errors, failures = [], []
    deadline = time.monotonic() + seconds
    pool = [threading.Thread(target=worker, args=(cache, windows, slow, seed, deadline, errors, failures))
            for seed in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(timeout=seconds + 30)
    assert not any(t.is_alive() for t in pool), "a thread is stuck: deadlock"
    assert failures == []
    return cache, errors


def assert_consistent(cache):
    present = [k for k in KEYS if k in cache]
    assert cache.len() == len(cache) == len(present)
    assert cache.size() == sum(text_length(cache.get(k)) for k in present)
    assert cache.size() <= cache.limit
    assert repr(cache) == f"Cache(limit=3000, size={cache.size()}, entries={len(present)})"


def test_plain_calls_never_overlap(busy_interpreter):
    cache, errors = hammer(slow=False, seconds=1.0)
    assert errors == []
    assert_consistent(cache)


def test_in_use_errors_only_where_calls_overlap(busy_interpreter):
    cache, errors = hammer(slow=True, seconds=1.5)
    assert errors, "no call overlapped a slow insert: the test exercised nothing"
    assert [e for e in errors if not e[2]] == [], "in-use error with no slow insert in flight"
    expected = {"exclusive": EXCLUSIVE_ERROR, "shared": SHARED_ERROR}
    assert [e for e in errors if e[1] != expected[e[0]]] == []
    assert_consistent(cache)


CALLS_WHILE_HELD = {
    "insert": (lambda c: c.insert("x", 1), EXCLUSIVE_ERROR),
    "get": (lambda c: c.get("a"), EXCLUSIVE_ERROR),
    "remove": (lambda c: c.remove("a"), EXCLUSIVE_ERROR),
    "clear": (lambda c: c.clear(), EXCLUSIVE_ERROR),
    "contains": (lambda c: c.contains("a"), SHARED_ERROR),
    "in": (lambda c: "a" in c, SHARED_ERROR),
    "len": (lambda c: c.len(), SHARED_ERROR),
    "len()": (lambda c: len(c), SHARED_ERROR),
    "size": (lambda c: c.size(), SHARED_ERROR),
    "is_empty": (lambda c: c.is_empty(), SHARED_ERROR),
    "repr": (lambda c: repr(c), SHARED_ERROR),
    "limit": (lambda c: c.limit, SHARED_ERROR),
}


def test_every_method_from_another_thread_during_an_insert():
    """Deterministic overlap: one thread parks inside its insert's conversion
    while another calls every method; each fails with its in-use text, and
    the parked insert then completes normally."""
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
    try:
        seen = {}
        for name, (call, _) in CALLS_WHILE_HELD.items():
            try:
                call(cache)
                seen[name] = "no error"
            except RuntimeError as e:
                seen[name] = str(e)
    finally:
        release.set()
        inserter.join(10)
    assert seen == {name: text for name, (_, text) in CALLS_WHILE_HELD.items()}
    assert not inserter.is_alive()
    assert cache.get("b") == {"v": 2} and cache.get("a") == 1
    assert repr(cache) == "Cache(limit=100, size=8, entries=2)"
