"""A thread waiting for another thread's call, in the ways that wait can end
other than its turn coming: a signal to the waiting main thread, and the
interpreter exiting under waiting daemon threads (which end while they
wait); fork while threads wait is in test_fork. Each runs in a child
process, so a hang or crash fails one test."""

from child_process import PARKS, run_child, without_leak_checks

HOLDER = """
import threading, time, _thread
import pelm_lib

cache = pelm_lib.Cache(1000)
cache.insert("a", 1)
entered, release = threading.Event(), threading.Event()

""" + PARKS + """
holder = threading.Thread(target=lambda: cache.insert("b", Parks()), daemon=True)
holder.start()
entered.wait()
"""

# The child takes SIGINT itself whatever it inherited: started in the
# background by a shell without job control, a process ignores SIGINT, and
# interrupt_main() then does nothing.
SIGNAL = HOLDER + """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
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

def test_a_waiting_main_thread_takes_a_signal_in_time_and_changes_nothing():
    assert run_child(SIGNAL) == "ok\n"


def test_daemon_threads_waiting_at_exit():
    for _ in range(2):  # the unwind races the exit
        assert run_child(EXIT, env=without_leak_checks()) == "exiting\n"
