"""Sub-interpreters: each that imports the module gets its own kept objects
(memoize's hashlib and coroutine helpers among them), so using a cache in one
never changes what another can store or decode, and
nothing of one is left behind when it ends. Those with a lock of their own
refuse the import. Threads of one interpreter wait for each other's calls
there as anywhere. Each case runs in a fresh process: a crash at exit, when
an interpreter frees what another still uses, must fail only its own test."""

import sys

import pytest

from child_process import PARKS, run_child

USE = """
import collections, dataclasses, pelm_lib

@dataclasses.dataclass
class Point:
    x: int

cache = pelm_lib.Cache(100_000)
for i in range(300):
    value = {"name": f"n{i}", "r": range(3), "u": collections.UserList([i]), "p": Point(i), "é": "ü"}
    cache.insert(f"k{i}", value)
    assert cache.get(f"k{i}") == {"name": f"n{i}", "r": [0, 1, 2], "u": [i], "p": {"x": i}, "é": "ü"}

@cache.memoize
def pair(x):
    return [x, x]

@cache.memoize
async def later(x):
    return {"x": x}

def drive(coroutine):  # no event loop (3.11's leaks in sub-interpreters): uncached calls never wait
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("the call waited")

assert pair({"long": "x" * 300}) == pair({"long": "x" * 300}) == [{"long": "x" * 300}] * 2
assert drive(later({1})) == {"x": {1}}

# A thread of this interpreter waits for another's insert, then for its run of a key.
import threading, time
entered, release = threading.Event(), threading.Event()
""" + PARKS + """parked = threading.Thread(target=lambda: (cache.insert("parked", Parks(v=1)), pair("stampede")))
parked.start()
entered.wait()
got = []
waiter = threading.Thread(target=lambda: got.extend([cache.get("k0")["name"], pair("stampede")]))
waiter.start()
time.sleep(0.02)
release.set()
parked.join()
waiter.join()
assert got == ["n0", ["stampede", "stampede"]] and cache.get("parked") == {"v": 1}
"""

REFUSE = """
try:
    import pelm_lib
except ImportError as exc:
    assert "does not support loading in subinterpreters" in str(exc), exc
else:
    raise AssertionError("imported into an interpreter with its own lock")
"""

# Each defines run(code), which fails when `code` raised in a new interpreter;
# each kind is offered from the first version up to (not including) the second.
SHARED_LOCK = {
    "run_in_subinterp": ((3, 11), None, """
import _testcapi
def run(code):
    assert _testcapi.run_in_subinterp(code) == 0
"""),
    "xxsubinterpreters-not-isolated": ((3, 12), (3, 13), """
import _xxsubinterpreters as interpreters
def run(code):
    i = interpreters.create(isolated=False)
    try:
        interpreters.run_string(i, code)
    finally:
        interpreters.destroy(i)
"""),
    "own-allocator": ((3, 12), (3, 13), """
# CPython 3.12 itself aborts at exit ("free(): invalid pointer") when an
# interpreter with its own allocator imports asyncio or hashlib before the
# main one does, with or without this module; memoize imports both.
import _testcapi, asyncio, hashlib
def run(code):
    assert _testcapi.run_in_subinterp_with_config(
        code, use_main_obmalloc=False, allow_fork=True, allow_exec=True, allow_threads=True,
        allow_daemon_threads=False, check_multi_interp_extensions=True, gil=1) == 0  # 1: shared
"""),
    "interpreters-legacy": ((3, 13), None, """
import _interpreters as interpreters
def run(code):
    i = interpreters.create(interpreters.new_config("legacy"))
    try:
        assert interpreters.exec(i, code) is None
    finally:
        interpreters.destroy(i)
"""),
    "interpreters-own-allocator": ((3, 13), None, """
import _interpreters as interpreters
def run(code):
    i = interpreters.create(interpreters.new_config("isolated", gil="shared"))
    try:
        assert interpreters.exec(i, code) is None
    finally:
        interpreters.destroy(i)
"""),
}

OWN_LOCK = {
    "xxsubinterpreters-isolated": ((3, 12), (3, 13), """
import _xxsubinterpreters as interpreters
def run(code):
    i = interpreters.create(isolated=True)
    try:
        interpreters.run_string(i, code)
    finally:
        interpreters.destroy(i)
"""),
    "interpreters-isolated": ((3, 13), None, """
import _interpreters as interpreters
def run(code):
    i = interpreters.create(interpreters.new_config("isolated"))
    try:
        assert interpreters.exec(i, code) is None
    finally:
        interpreters.destroy(i)
"""),
}


def kinds(table):
    """The table's runners, each skipped on the versions that lack its kind."""
    def offered(since, until):
        return since <= sys.version_info[:2] and (until is None or sys.version_info[:2] < until)

    return [pytest.param(runner, id=name, marks=pytest.mark.skipif(
                not offered(since, until), reason=f"this Python does not offer {name}"))
            for name, (since, until, runner) in table.items()]


@pytest.mark.parametrize("main_first", [True, False], ids=["main-imports-first", "sub-imports-first"])
@pytest.mark.parametrize("runner", kinds(SHARED_LOCK))
def test_shared_lock_interpreters_keep_their_own_objects(runner, main_first):
    main = f"exec({USE!r})\n"
    sub = f"run({USE!r})\nrun({USE!r})\n"
    script = runner + (main + sub if main_first else sub) + main + "import collections\nprint('ok')\n"
    assert run_child(script) == "ok\n"


@pytest.mark.parametrize("runner", kinds(OWN_LOCK))
def test_own_lock_interpreters_refuse_the_import(runner):
    script = runner + f"import pelm_lib\nrun({REFUSE!r})\nexec({USE!r})\nprint('ok')\n"
    assert run_child(script) == "ok\n"
