"""Shared fixtures: a small cache, the test clock, and a snapshot helper."""

import pytest

import pelm_lib


@pytest.fixture
def cache():
    return pelm_lib.Cache(1000)


def snapshot(cache, keys):
    """What can be observed of a cache without changing it."""
    return (repr(cache), cache.len(), cache.size(), [k in cache for k in keys])


@pytest.fixture
def clock():
    """The test clock (clock_helpers.py); skips where the build has no hook."""
    from clock_helpers import HOOK_AVAILABLE, HOOK_REQUIRED, TestClock

    if not HOOK_AVAILABLE:
        if HOOK_REQUIRED:
            pytest.fail("this build should move its clock on PELM_TEST_CLOCK_OFFSET_NS, and does not")
        pytest.skip("built without PELM_FAULT_INJECTION: the clock cannot be moved")
    test_clock = TestClock()
    yield test_clock
    test_clock.reset()
