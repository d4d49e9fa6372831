"""Runs a test's script in a fresh interpreter, so that a crash, an abort or
a hang fails that one test instead of taking the suite down with it."""

import os
import subprocess
import sys
import textwrap


def run_child(script, timeout=60, env=None):
    """Runs `script` with this interpreter and returns its stdout; the test
    fails with the child's output when it exits non-zero or by a signal.
    `env` adds to (or replaces some of) this process's environment."""
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                              capture_output=True, text=True, timeout=timeout,
                              env=None if env is None else {**os.environ, **env})
    except subprocess.TimeoutExpired as exc:
        raise AssertionError(f"child hung for {timeout} s:\n{exc.stdout}\n{exc.stderr}") from None
    assert done.returncode == 0, f"child exited with {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def without_leak_checks():
    """The environment for a child whose daemon threads are ended at exit:
    such a thread never frees what its frames and its start held, by
    design, so leak checking (in sanitized runs) has nothing to say there."""
    if "ASAN_OPTIONS" not in os.environ:
        return None
    return {"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"}


# Script text for a value whose conversion parks the inserting thread inside
# the call (holding the cache) until `release` is set; it sets `entered`
# first. The script defines both events.
PARKS = """
class Parks(dict):
    def keys(self):
        entered.set()
        release.wait()
        return super().keys()
"""
