"""A daemon thread inside a call, in user code the call runs, when the main
thread finishes: the interpreter ends that thread with a forced unwind through
our frames, and the process must still end cleanly."""

import pytest

from child_process import run_child, without_leak_checks

# Each statement blocks forever in user code that gives the interpreter lock
# away, after setting `started`.
BLOCKING_CALLS = {
    "insert-sequence-len": "cache.insert('k', Stuck())",
    "insert-sequence-item": "cache.insert('k', StuckItem())",
    "insert-mapping-keys": "cache.insert('k', StuckMapping())",
    "cache-limit-index": "pelm_lib.Cache(StuckIndex())",
    "init-cache-limit-index": "pelm_lib.init_cache(StuckIndex())",
}

SCRIPT = """
import collections.abc, threading, time
import pelm_lib

started = threading.Event()

def block():
    started.set()
    while True:
        time.sleep(0.0001)

class Stuck(collections.abc.Sequence):
    def __len__(self): block()
    def __getitem__(self, i): raise IndexError

class StuckItem(collections.abc.Sequence):
    def __len__(self): return 1
    def __getitem__(self, i): block()

class StuckMapping(dict):
    def keys(self): block()

class StuckIndex:
    def __index__(self): block()

cache = pelm_lib.Cache(1000)
threading.Thread(target=lambda: {call}, daemon=True).start()
started.wait()
time.sleep(0.02)
print("exiting")
"""


@pytest.mark.parametrize("call", BLOCKING_CALLS.values(), ids=BLOCKING_CALLS.keys())
def test_daemon_thread_inside_a_call_at_exit(call):
    for _ in range(2):  # the unwind races the exit; one clean run proves little
        assert run_child(SCRIPT.format(call=call), env=without_leak_checks()) == "exiting\n"
