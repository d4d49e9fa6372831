"""A thread waiting for another thread's call, in the ways that wait can end
other than its turn coming: a signal to the waiting main thread, the
interpreter exiting under a waiting daemon thread, a fork while threads
wait. Each runs in a child process, so a hang or crash fails one test."""

import os

import pytest

from child_process import run_child

HOLDER = """
import collections.abc, os, signal, threading, time, _thread
import pelm_lib

cache = pelm_lib.Cache(1000)
cache.insert("a", 1)
entered, release = threading.Event(), threading.Event()

class Parks(collections.abc.Sequence):
    def __len__(self):
        entered.set()
        release.wait()
        return 0
    def __getitem__(self, i):
        raise IndexError

holder = threading.Thread(target=lambda: cache.insert("b", Parks()), daemon=True)
holder.start()
entered.wait()
"""

SIGNAL = HOLDER + """
for call in (lambda: cache.get("a"), lambda: cache.len(), lambda: cache.insert("c", 3)):
    sent = []
    def interrupt():
        time.sleep(0.05)
        sent.append(time.monotonic())
        _thread.interrupt_main()
    threading.Thread(target=interrupt).start()
    try:
        call()
        raise SystemExit("the call did not wait")
    except KeyboardInterrupt:
        late = time.monotonic() - sent[0]
        assert late < 0.1, late
release.set()
holder.join()
assert repr(cache) == "Cache(limit=1000, size=3, entries=2)" and "c" not in cache
print("ok")
"""

# The holder never releases: the waiting daemon threads are ended at exit
# while they wait (on the flag, and on a memoized call's flight).
EXIT = HOLDER + """
@cache.memoize
def slow(x):
    entered.set()
    release.wait()

threading.Thread(target=lambda: slow(1), daemon=True).start()
for call in (lambda: cache.get("a"), lambda: cache.len(), lambda: slow(1), lambda: slow(1)):
    threading.Thread(target=call, daemon=True).start()
time.sleep(0.1)
print("exiting")
"""

# Fork while one thread holds the cache and others wait for it, and while
# one thread runs a memoized call that another waits for: the child's calls
# neither wait for those threads (gone there) nor fail.
FORK = HOLDER + """
@cache.memoize
def slow(x):
    release.wait()
    return x

waiters = [threading.Thread(target=c) for c in (lambda: cache.get("a"), lambda: len(cache), lambda: slow(1))]
waiters.append(threading.Thread(target=lambda: slow(1)))
for w in waiters:
    w.start()
time.sleep(0.1)
pid = os.fork()
if pid == 0:
    release.set()  # for this child's own run of slow(1)
    ok = cache.get("a") == 1 and len(cache) == 1 and slow(1) == 1 and slow(1) == 1
    cache.insert("c", 2)
    os._exit(0 if ok and cache.get("c") == 2 else 1)
release.set()
for t in [holder] + waiters:
    t.join()
assert os.waitpid(pid, 0)[1] == 0
print("ok")
"""


def test_a_waiting_main_thread_takes_a_signal_in_time_and_changes_nothing():
    assert run_child(SIGNAL) == "ok\n"


def test_daemon_threads_waiting_at_exit():
    for _ in range(2):  # the unwind races the exit
        assert run_child(EXIT) == "exiting\n"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_fork_while_threads_wait():
    assert run_child("import warnings; warnings.simplefilter('ignore', DeprecationWarning)\n" + FORK) == "ok\n"
