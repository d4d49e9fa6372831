"""The process's resident memory, for the tests that bound its growth.

Read from /proc, which Linux has and the macOS and Windows wheels' test runs
have not: there the bounds are skipped. ASan holds freed memory in quarantine
before reusing it, so RSS grows there by design; leaks are caught by
LeakSanitizer in that run instead."""

import os

import pytest

STATM = "/proc/self/statm"

rss_bound = pytest.mark.skipif(
    os.environ.get("PELM_SANITIZED") == "1" or not os.path.exists(STATM),
    reason="RSS is not meaningful under ASan, and is read from /proc",
)


def rss_bytes():
    # The page size is the system's: 64-bit ARM kernels may use 16 or 64 KiB.
    with open(STATM) as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
