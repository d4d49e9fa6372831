"""Allocation failure, injected: for N = 1, 2, ... make the Nth allocation of
one call fail until the call succeeds, and check after every failure that the
call raised the memory error and left the cache exactly as it was (entries,
size, recency order), except that a get may already have promoted its hit.

Two sources of failure:
- the module's own allocations (engine table and entries, the text buffers):
  only in builds configured with PELM_FAULT_INJECTION=ON, where the variable
  PELM_FAIL_ALLOC_NTH=N, read as each call starts, fails the Nth of them.
  Skipped in other builds, unless PELM_EXPECT_FAULT_INJECTION=1 says the build
  must have the hook;
- the interpreter's allocations (the objects a call creates), through the
  allocator hooks of CPython's _testcapi module; skipped where it is missing.

Every entry holds a value of the same payload size, so the recency order can
be read back through evictions: with the cache full, each further insertion of
that size evicts exactly the least-recently-used entry.
"""

import io
import json
import os
import sys

import pytest

import pelm_lib

try:
    import _testcapi
except ImportError:  # a stripped interpreter
    _testcapi = None

NTH_VARIABLE = "PELM_FAIL_ALLOC_NTH"
ALL_KEYS = ["a", "b", "c", "d", "é-new"]
ORIGINAL_ORDER = ["a", "c", "d", "b"]
PROMOTED_ORDER = ["a", "d", "b", "c"]

# name -> (operation on a Scenario and a cache, order after success, whether
# a failure may come after the hit was promoted)
OPERATIONS = {
    "insert-evicting": (lambda s, c: c.insert("é-new", s.value("e")), ["c", "d", "b", "é-new"], False),
    "insert-overwrite": (lambda s, c: c.insert("c", s.value("C")), ["d", "b", "c"], False),
    "insert_raw-evicting": (lambda s, c: c.insert_raw("é-new", json.dumps(s.value("e"), indent=1)),
                            ["c", "d", "b", "é-new"], False),
    "insert-ttl-evicting": (lambda s, c: c.insert_ttl("é-new", s.value("e"), 3600), ["c", "d", "b", "é-new"], False),
    "get": (lambda s, c: c.get("c"), PROMOTED_ORDER, True),
    "get_raw": (lambda s, c: c.get_raw("c"), PROMOTED_ORDER, True),
    "remove": (lambda s, c: c.remove("c"), ["a", "d", "b"], False),
    "clear": (lambda s, c: c.clear(), [], False),
    "load-evicting": (lambda s, c: c.load(io.BytesIO(SNAPSHOTS[s.unit])), ["c", "d", "b", "é-new"], False),
}


class Scenario:
    """A full cache of four entries of one payload size `unit`, whose values
    are escaped strings so that reading uses the reader's scratch buffer."""

    def __init__(self, unit):
        self.unit = unit

    def value(self, tag):
        return "\n" + tag + "x" * (self.unit - 5)

    def filled_cache(self):
        """Entries a, c, d, b from least to most recently used."""
        cache = pelm_lib.Cache(4 * self.unit)
        for key in "abcd":
            cache.insert(key, self.value(key))
        cache.get("b")
        return cache

    def recency_order(self, cache):
        """Least-recently-used first; destroys the cache's contents."""
        pads = 0
        while cache.size() + self.unit <= cache.limit:
            cache.insert(f"\0pad{pads}", self.value("p"))
            pads += 1
        remaining = [k for k in ALL_KEYS if k in cache]
        order = []
        for probe in range(len(remaining)):
            cache.insert(f"\0probe{probe}", self.value("p"))
            gone = [k for k in remaining if k not in cache]
            assert len(gone) == 1, gone
            order.append(gone[0])
            remaining.remove(gone[0])
        return order

    def state_of(self, cache):
        assert cache.size() == self.unit * cache.len()
        return repr(cache), [k for k in ALL_KEYS if k in cache], self.recency_order(cache)

    def expected_state(self, order):
        return (f"Cache(limit={4 * self.unit}, size={self.unit * len(order)}, entries={len(order)})",
                sorted(order, key=ALL_KEYS.index), order)

    def sweep(self, run_failing, name, allowed_errors):
        """Runs the operation on fresh caches with the Nth allocation failing,
        N = 1, 2, ..., until it succeeds; checks the state after every failure
        and after the success; returns the number of failures."""
        operation, after_success, promotes = OPERATIONS[name]
        unchanged = self.expected_state(ORIGINAL_ORDER)
        promoted = self.expected_state(PROMOTED_ORDER)
        for n in range(1, 500):
            cache = self.filled_cache()
            error = run_failing(lambda: operation(self, cache), n)
            if error is None:
                assert self.state_of(cache) == self.expected_state(after_success)
                return n - 1
            assert type(error).__name__ in allowed_errors, repr(error)
            if is_panic(error):
                assert error.args == ("PyObject pointer is null",)
            state = self.state_of(cache)
            assert state == unchanged or (promotes and state == promoted), (n, error, state)
        raise AssertionError("the operation never succeeded")


# 151 bytes outgrow the writer's first 128-byte buffer; a value over 1 MiB
# outgrows what a thread keeps of its writer between calls, so every insert
# of one allocates its buffer afresh.
SMALL, HUGE = 151, (1 << 20) + 151


def snapshot_of_one(unit):
    """A snapshot holding "é-new" alone, made before any allocation fails."""
    source = pelm_lib.Cache(2 * unit)
    source.insert("é-new", Scenario(unit).value("e"))
    out = io.BytesIO()
    source.save(out)
    return out.getvalue()


SNAPSHOTS = {unit: snapshot_of_one(unit) for unit in (SMALL, HUGE)}


def is_panic(error):
    """The module's internal-failure class is not exported; know it by name."""
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def fail_module_allocation(call, n):
    os.environ[NTH_VARIABLE] = str(n)
    try:
        call()
    except MemoryError as e:
        return e
    finally:
        del os.environ[NTH_VARIABLE]
    return None


def fail_interpreter_allocation(call, n):
    """A panic must come with the lost MemoryError as its diagnostic, reported
    through the unraisable hook; nothing else may be reported there."""
    reported = []
    saved_hook, sys.unraisablehook = sys.unraisablehook, lambda u: reported.append(u.exc_type)
    error = None
    _testcapi.set_nomemory(n - 1, n)  # fails exactly the nth allocation
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the sweep judges what came out
        if not (isinstance(e, MemoryError) or is_panic(e)):
            raise
        error = e
    finally:
        _testcapi.remove_mem_hooks()
        sys.unraisablehook = saved_hook
    assert reported == ([MemoryError] if is_panic(error) else []), (error, reported)
    return error


def module_injection_available():
    cache = pelm_lib.Cache(100)
    os.environ[NTH_VARIABLE] = "1"
    try:
        cache.insert("probe", 1)  # the first allocation of an insert into an empty cache
    except MemoryError:
        return True
    finally:
        del os.environ[NTH_VARIABLE]
    return False


@pytest.fixture(scope="module")
def module_injection():
    if not module_injection_available():
        if os.environ.get("PELM_EXPECT_FAULT_INJECTION") == "1":
            pytest.fail(f"this build should fail allocations on {NTH_VARIABLE}, and does not")
        pytest.skip("built without PELM_FAULT_INJECTION")


@pytest.mark.parametrize("unit", [SMALL, HUGE], ids=["small", "huge"])
@pytest.mark.parametrize("name", OPERATIONS)
def test_module_allocation_failures_change_nothing(module_injection, unit, name):
    failures = Scenario(unit).sweep(fail_module_allocation, name, {"MemoryError"})
    if name.startswith("insert"):
        # The new entry is always allocated (and a timed one's heap slot); a
        # huge value also needs a new writer buffer.
        assert failures >= (1 if unit == SMALL else 2) + (name == "insert-ttl-evicting")


def test_insert_failures_keep_reference_counts(module_injection):
    key, value = "".join(["fresh", "-key"]), ["".join(["v"] * 300)]
    counts = sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(value[0])
    cache = pelm_lib.Cache(1000)
    for n in range(1, 50):
        if fail_module_allocation(lambda: cache.insert(key, value), n) is None:
            break
        assert (sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(value[0])) == counts
    assert n > 1 and cache.len() == 1


@pytest.mark.skipif(_testcapi is None or not hasattr(_testcapi, "set_nomemory"),
                    reason="needs CPython's _testcapi allocator hooks")
@pytest.mark.parametrize("name", OPERATIONS)
def test_interpreter_allocation_failures_change_nothing(name):
    # Objects that only `get` builds may fail as the module's internal error.
    allowed = {"MemoryError", "PanicException"} if name == "get" else {"MemoryError"}
    Scenario(SMALL).sweep(fail_interpreter_allocation, name, allowed)


def test_memoized_call_failures_store_nothing(module_injection):
    """A failure while the key is written or the result stored raises
    MemoryError and leaves the cache empty; the call then succeeds."""
    arg = ["".join(["a"] * 300)]
    counts = sys.getrefcount(arg), sys.getrefcount(arg[0])
    for n in range(1, 50):
        cache = pelm_lib.Cache(10_000)
        f = cache.memoize(lambda x: {"echo": x})
        if fail_module_allocation(lambda: f(arg), n) is None:
            break
        assert cache.is_empty() and (sys.getrefcount(arg), sys.getrefcount(arg[0])) == counts
    assert n > 1 and cache.len() == 1 and f(arg) == {"echo": arg}
