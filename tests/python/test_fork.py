"""fork while a cache is in use: the child gets a copy of every cache but only
of the forking thread. A use held by any other thread is void in the child,
and so is the place in line of every thread waiting for one; a use held by
the forking thread stays held until that thread's call returns."""

import os

import pytest

from child_process import run_child

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

PRELUDE = """
import collections.abc, os, threading, time, traceback, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads, on purpose
import pelm_lib

cache = pelm_lib.Cache(1000)
cache.insert("old", 1)

def in_child(check):
    try:
        check()
    except BaseException:
        traceback.print_exc()
        os._exit(1)
    os._exit(0)

def child_ok(pid):
    return os.waitpid(pid, 0)[1] == 0

def refused(call):
    try:
        call()
    except RuntimeError as exc:
        return str(exc) in ("Already borrowed", "Already mutably borrowed")
    return False

def usable():
    assert cache.get("old") == 1 and "old" in cache
    cache.insert("new", [1, "x"])
    assert cache.get("new") == [1, "x"] and len(cache) == cache.len() == 2
    assert repr(cache) == "Cache(limit=1000, size=8, entries=2)"
    assert cache.remove("new") and cache.size() == 1
"""

OTHER_THREAD_HOLDS = PRELUDE + """
entered, release = threading.Event(), threading.Event()

class Blocking(collections.abc.Sequence):
    def __len__(self):
        entered.set()
        release.wait()
        return 0
    def __getitem__(self, i):
        raise IndexError

@cache.memoize
def slow(x):
    release.wait()
    return x

def child_check():
    release.set()  # for the child's own run of slow(1): the parent's is gone
    assert slow(1) == 1 and slow(1) == 1 and cache.remove(slow.key(1))
    usable()

inserter = threading.Thread(target=lambda: cache.insert("k", Blocking()))
inserter.start()
entered.wait()
# Two wait for the inserter, one runs slow(1) and one waits for that run.
waiters = [threading.Thread(target=call) for call in
           (lambda: cache.get("old"), lambda: len(cache), lambda: slow(1), lambda: slow(1))]
for w in waiters:
    w.start()
time.sleep(0.1)
pid = os.fork()
if pid == 0:
    in_child(child_check)
release.set()
for t in [inserter] + waiters:
    t.join()
assert child_ok(pid)
assert cache.get("k") == [] and cache.get("old") == 1
print("ok")
"""

FORKING_THREAD_HOLDS = PRELUDE + """
forked = []

class Forking(collections.abc.Sequence):
    def __len__(self):
        if not forked:
            forked.append(os.fork())
            if forked[0] == 0:
                # Still inside this insert: the cache stays in use here.
                assert refused(lambda: cache.get("old")) and refused(lambda: "old" in cache)
        return 0
    def __getitem__(self, i):
        raise IndexError

def finish():
    assert cache.get("k") == []
    cache.remove("k")
    usable()

cache.insert("k", Forking())
if forked[0] == 0:
    in_child(finish)
assert child_ok(forked[0])
finish()
print("ok")
"""


@pytest.mark.parametrize("script", [OTHER_THREAD_HOLDS, FORKING_THREAD_HOLDS],
                         ids=["other-thread-holds", "forking-thread-holds"])
def test_cache_after_fork(script):
    assert run_child(script) == "ok\n"
