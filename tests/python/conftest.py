"""Shared fixtures: a small cache, the test clock, and a snapshot helper;
and the selection of the tests that need the test hooks.

With PELM_HOOK_TESTS_ONLY=1 only the tests that use the test clock or the
allocation-failure hooks are collected: scripts/test runs them against its
developer build, which has the hooks, while the whole suite runs against
the release wheel, which has none."""

import os

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


# The fixtures that need a build with PELM_FAULT_INJECTION.
HOOK_FIXTURES = {"clock", "module_injection"}


def pytest_collection_modifyitems(config, items):
    if os.environ.get("PELM_HOOK_TESTS_ONLY") != "1":
        return
    keep = [item for item in items if HOOK_FIXTURES & set(getattr(item, "fixturenames", ()))]
    config.hook.pytest_deselected(items=[item for item in items if item not in keep])
    items[:] = keep
