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

import os
import sys

import pytest

import pelm_lib

try:
    import _testcapi
except ImportError:  # a stripped interpreter
    _testcapi = None

NTH_VARIABLE = "PELM_FAIL_ALLOC_NTH"
# 151 bytes: longer than the writer's first 128-byte buffer, so writing grows
# it, and escaped, so reading goes through the reader's scratch buffer.
UNIT = 151


def unit_value(tag):
    return "\n" + tag + "x" * 146


def filled_cache():
    """Entries a, c, d, b from least to most recently used; the cache is full."""
    cache = pelm_lib.Cache(4 * UNIT)
    for key in "abcd":
        cache.insert(key, unit_value(key))
    cache.get("b")
    return cache


ORIGINAL_ORDER = ["a", "c", "d", "b"]

# name -> (operation, order after success, may promote before failing)
OPERATIONS = {
    "insert-evicting": (lambda c: c.insert("é-new", unit_value("e")), ["c", "d", "b", "é-new"], False),
    "insert-overwrite": (lambda c: c.insert("c", unit_value("C")), ["d", "b", "c"], False),
    "get": (lambda c: c.get("c"), ["a", "d", "b", "c"], True),
    "remove": (lambda c: c.remove("c"), ["a", "d", "b"], False),
    "clear": (lambda c: c.clear(), [], False),
}


def recency_order(cache, keys):
    """Least-recently-used first; destroys the cache's contents."""
    pads = 0
    while cache.size() + UNIT <= cache.limit:
        cache.insert(f"\0pad{pads}", unit_value("p"))
        pads += 1
    remaining = [k for k in keys if k in cache]
    order = []
    for probe in range(len(remaining)):
        cache.insert(f"\0probe{probe}", unit_value("p"))
        gone = [k for k in remaining if k not in cache]
        assert len(gone) == 1, gone
        order.append(gone[0])
        remaining.remove(gone[0])
    return order


def state_of(cache, keys):
    assert cache.size() == UNIT * cache.len()
    return repr(cache), [k for k in keys if k in cache], recency_order(cache, keys)


def expected_state(order):
    return (f"Cache(limit={4 * UNIT}, size={UNIT * len(order)}, entries={len(order)})",
            sorted(order, key=ALL_KEYS.index), order)


ALL_KEYS = ["a", "b", "c", "d", "é-new"]


def sweep(run_failing, operation, promotes, allowed_errors):
    """Runs `operation` on fresh caches with the Nth allocation failing, N = 1,
    2, ..., until it succeeds; returns the number of failed attempts."""
    unchanged = expected_state(ORIGINAL_ORDER)
    promoted = expected_state(["a", "d", "b", "c"])
    for n in range(1, 500):
        cache = filled_cache()
        error = run_failing(cache, operation, n)
        if error is None:
            return n - 1, cache
        assert type(error).__name__ in allowed_errors, repr(error)
        if is_panic(error):
            assert error.args == ("PyObject pointer is null",)
        state = state_of(cache, ALL_KEYS)
        assert state == unchanged or (promotes and state == promoted), (n, error, state)
    raise AssertionError("the operation never succeeded")


def is_panic(error):
    """The module's internal-failure class is not exported; know it by name."""
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def fail_module_allocation(cache, operation, n):
    os.environ[NTH_VARIABLE] = str(n)
    try:
        operation(cache)
    except MemoryError as e:
        return e
    finally:
        del os.environ[NTH_VARIABLE]
    return None


def fail_interpreter_allocation(cache, operation, n):
    """A panic must come with the lost MemoryError as its diagnostic, reported
    through the unraisable hook; nothing else may be reported there."""
    reported = []
    saved_hook, sys.unraisablehook = sys.unraisablehook, lambda u: reported.append(u.exc_type)
    error = None
    _testcapi.set_nomemory(n - 1, n)  # fails exactly the nth allocation
    try:
        operation(cache)
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


@pytest.mark.parametrize("name", OPERATIONS)
def test_module_allocation_failures_change_nothing(module_injection, name):
    operation, after_success, promotes = OPERATIONS[name]
    failures, cache = sweep(fail_module_allocation, operation, promotes, {"MemoryError"})
    assert state_of(cache, ALL_KEYS) == expected_state(after_success)
    if name.startswith("insert"):
        assert failures >= 1  # the new entry itself is always allocated


def test_insert_failures_keep_reference_counts(module_injection):
    key, value = "".join(["fresh", "-key"]), [unit_value("v")[:140]]
    counts = sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(value[0])
    for n in range(1, 50):
        if fail_module_allocation(pelm_lib.Cache(1000), lambda c: c.insert(key, value), n) is None:
            break
        assert (sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(value[0])) == counts
    assert n > 1


@pytest.mark.skipif(_testcapi is None or not hasattr(_testcapi, "set_nomemory"),
                    reason="needs CPython's _testcapi allocator hooks")
@pytest.mark.parametrize("name", OPERATIONS)
def test_interpreter_allocation_failures_change_nothing(name):
    operation, after_success, promotes = OPERATIONS[name]
    # Objects that only `get` builds may fail as the module's internal error.
    allowed = {"MemoryError", "PanicException"} if name == "get" else {"MemoryError"}
    failures, cache = sweep(fail_interpreter_allocation, operation, promotes, allowed)
    assert state_of(cache, ALL_KEYS) == expected_state(after_success)
