"""The test clock: moves the cache's monotonic clock forward without sleeping.

Builds with PELM_FAULT_INJECTION add the nanoseconds in the environment
variable PELM_TEST_CLOCK_OFFSET_NS to every clock reading; other builds have
no such hook, and tests that need it skip there, unless
PELM_EXPECT_FAULT_INJECTION=1 says the build must have it. The offset only
ever grows while a test runs, and is removed when the test ends.
"""

import os

import pelm_lib

OFFSET_VARIABLE = "PELM_TEST_CLOCK_OFFSET_NS"
HOOK_REQUIRED = os.environ.get("PELM_EXPECT_FAULT_INJECTION") == "1"


class TestClock:
    __test__ = False  # not a test class

    def __init__(self):
        self.offset_ns = 0

    def advance(self, seconds):
        self.offset_ns += round(seconds * 1e9)
        os.environ[OFFSET_VARIABLE] = str(self.offset_ns)

    def reset(self):
        self.offset_ns = 0
        os.environ.pop(OFFSET_VARIABLE, None)


def hook_available():
    probe = pelm_lib.Cache(10)
    probe.insert_ttl("probe", 1, 3600)
    clock = TestClock()
    try:
        clock.advance(7200)
        return "probe" not in probe
    finally:
        clock.reset()


HOOK_AVAILABLE = hook_available()
