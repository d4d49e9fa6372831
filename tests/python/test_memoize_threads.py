"""Memoized functions called from several threads at once: one run per key,
whatever the others do, and never a deadlock."""

import threading
import time

import pytest

import pelm_lib


def run_together(n, target):
    """Runs target(i) in n threads released at once; returns their outcomes
    (a value or the exception raised), in thread order."""
    barrier = threading.Barrier(n)
    out = [None] * n

    def one(i):
        barrier.wait()
        try:
            out[i] = target(i)
        except Exception as e:  # noqa: BLE001 - compared by the test
            out[i] = e

    pool = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(30)
    assert not any(t.is_alive() for t in pool), "deadlock"
    return out


@pytest.fixture
def cache():
    return pelm_lib.Cache(1 << 20)


def test_concurrent_misses_of_one_key_run_once_and_each_caller_gets_its_own_copy(cache):
    runs = []

    @cache.memoize
    def slow(x):
        runs.append(x)
        time.sleep(0.1)
        return {"x": [x]}

    out = run_together(8, lambda i: slow(1))
    assert runs == [1] and (cache.stats().misses, cache.stats().inserts) == (8, 1)
    assert all(o == {"x": [1]} for o in out)
    assert len({id(o) for o in out}) == 8 and len({id(o["x"]) for o in out}) == 8


@pytest.mark.parametrize("outcome", ["raises", "unstorable"])
def test_a_run_that_stores_nothing(cache, outcome):
    """An exception reaches every waiter and nothing is stored; a result that
    cannot be stored sends each waiter to run the function itself."""
    runs = []

    @cache.memoize
    def slow(x):
        runs.append(x)
        time.sleep(0.1)
        if outcome == "raises":
            raise ValueError("boom")
        return object()

    out = run_together(6, lambda i: slow(1))
    assert len(cache) == 0
    if outcome == "raises":
        assert runs == [1] and all(isinstance(o, ValueError) and str(o) == "boom" for o in out)
    else:
        assert len(runs) == 6 and all(type(o) is object for o in out)


def test_different_keys_run_in_parallel(cache):
    @cache.memoize
    def slow(x):
        time.sleep(0.3)
        return x

    started = time.monotonic()
    assert run_together(4, slow) == [0, 1, 2, 3]
    assert time.monotonic() - started < 1.0


def test_a_call_of_its_own_key_runs_directly(cache):
    depth = []

    @cache.memoize
    def f(x):
        depth.append(x)
        return f(x) + 1 if len(depth) < 3 else 0

    assert f(7) == 2 and len(depth) == 3 and cache.stats().inserts == 3


def test_two_threads_waiting_on_each_others_flights_do_not_deadlock(cache):
    """Thread 0 in f(0) calls f(1) while thread 1 in f(1) calls f(0): the wait
    that would close the cycle runs its call directly."""
    inside = threading.local()
    both_in = threading.Barrier(2)

    @cache.memoize
    def f(n):
        if getattr(inside, "depth", 0):
            return n
        inside.depth = 1
        both_in.wait(10)
        return f(1 - n) + 10 * n

    # Whichever thread closes the cycle computes the other's key inline.
    assert run_together(2, f) in ([1, 11], [10, 10])
