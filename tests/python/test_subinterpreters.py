"""Sub-interpreters: each that imports the module gets its own types and kept
objects (memoize's hashlib and coroutine helpers among them), so using a
cache in one never changes what another can store or decode, and nothing of
one is left behind when it ends. Those with a lock of their own run at the
same moment as the others: their caches are used from parallel threads, and
one ends while others run. Threads of one interpreter wait for each other's
calls there as anywhere. Each case runs in a fresh process: a crash at exit,
when an interpreter frees what another still uses, must fail only its own
test."""

import os
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

# Inserts, reads, memoized calls and an expiry, checking every answer; run
# by several interpreters at once, so a cache of one that saw another's
# objects, types or kept state would answer wrongly or crash.
WORKLOAD = """
import time, pelm_lib
cache = pelm_lib.Cache(1_000_000)
calls = []

@cache.memoize
def square(x):
    calls.append(x)
    return {"square": x * x}

for round in range(ROUNDS):
    for i in range(300):
        cache.insert(f"k{i}", {"i": i, "text": "é" * (i % 7), "list": [i, 1.5, None, round]})
    for i in range(300):
        assert cache.get(f"k{i}") == {"i": i, "text": "é" * (i % 7), "list": [i, 1.5, None, round]}
    assert [square(i % 10) for i in range(30)] == [{"square": (i % 10) ** 2} for i in range(30)]
    assert cache.stats().inserts >= 300 and type(cache).__name__ == "Cache"
assert sorted(calls) == list(range(10))
cache.insert_ttl("brief", [1], 0.001)
time.sleep(0.01)
assert "brief" not in cache and cache.get("k1")["i"] == 1
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
# CPython 3.12 aborts at exit when an interpreter with its own allocator
# imports asyncio or hashlib before the main one does (see above).
import _xxsubinterpreters as interpreters, asyncio, hashlib
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
    "concurrent-interpreters": ((3, 14), None, """
from concurrent import interpreters
def run(code):
    i = interpreters.create()
    try:
        i.exec(code)
    finally:
        i.close()
"""),
}

# Runs codes in new interpreters on parallel threads (the main interpreter
# may work alongside), and raises the first failure of any.
PARALLEL = """
import threading
failures = []
def guarded(code):
    try:
        run(code)
    except BaseException as exc:
        failures.append(exc)
def parallel(*codes):
    threads = [threading.Thread(target=guarded, args=(code,)) for code in codes]
    for t in threads:
        t.start()
    return threads
def finish(threads):
    for t in threads:
        t.join()
    if failures:
        raise failures[0]
"""


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
def test_own_lock_interpreters_keep_their_own_objects(runner):
    script = runner + f"import pelm_lib\nrun({USE!r})\nexec({USE!r})\nrun({USE!r})\nprint('ok')\n"
    assert run_child(script) == "ok\n"


@pytest.mark.parametrize("runner", kinds(OWN_LOCK))
def test_own_lock_interpreters_use_caches_in_parallel(runner):
    work = "ROUNDS = 20\n" + WORKLOAD
    script = runner + PARALLEL + f"threads = parallel(*[{work!r}] * 3)\nexec({work!r})\nfinish(threads)\nprint('ok')\n"
    assert run_child(script, timeout=120) == "ok\n"


@pytest.mark.parametrize("runner", kinds(OWN_LOCK))
def test_an_interpreter_ends_while_others_use_the_module(runner):
    # Two interpreters keep working while others import, use and end, one
    # after another: what an ending interpreter frees must be its own alone.
    long_work, short_work = "ROUNDS = 60\n" + WORKLOAD, "ROUNDS = 1\n" + WORKLOAD
    script = runner + PARALLEL + (
        f"threads = parallel({long_work!r}, {long_work!r})\n"
        f"for _ in range(5):\n    run({short_work!r})\n"
        "finish(threads)\nprint('ok')\n")
    assert run_child(script, timeout=180) == "ok\n"


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
def test_the_interpreter_pool_keeps_a_cache_per_worker(tmp_path):
    # The standard library's own parallelism: each worker interpreter
    # imports the module and keeps a cache of its own across tasks. The task
    # is found by name in each worker, so it lives in a module of its own.
    (tmp_path / "pool_work.py").write_text("""
import pelm_lib
cache = pelm_lib.Cache(10_000)

def work(n):
    cache.insert(str(n), {"n": n, "sq": [n * n]})
    return cache.get(str(n))["sq"][0]
""")
    script = """
from concurrent.futures import InterpreterPoolExecutor
import pool_work
with InterpreterPoolExecutor(max_workers=3) as pool:
    print(sum(pool.map(pool_work.work, range(200))))
"""
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    assert run_child(script, timeout=120, env={"PYTHONPATH": path}) == f"{sum(n * n for n in range(200))}\n"


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
def test_a_cache_cannot_be_handed_to_another_interpreter():
    script = """
from concurrent import interpreters
import pelm_lib
cache = pelm_lib.Cache(100)
i = interpreters.create()
try:
    i.prepare_main(cache=cache)
except (TypeError, interpreters.NotShareableError):
    cache.insert("k", [1])
    print("refused", cache.get("k"))
finally:
    i.close()
"""
    assert run_child(script) == "refused [1]\n"
