"""Memoising an expensive function under a byte budget.

The decorator below is written here, not exported by pelm_lib: it keys the
cache on the function's JSON-able arguments and stores the result, so the
cache's byte cap bounds how much memory the memo can ever take.
"""

import functools
import json

import pelm_lib


def memoize(limit_bytes):
    def decorate(fn):
        cache = pelm_lib.Cache(limit_bytes)

        @functools.wraps(fn)
        def wrapper(*args):
            key = json.dumps(args, separators=(",", ":"))
            try:
                return cache.get(key)
            except KeyError:
                pass
            result = fn(*args)
            try:
                cache.insert(key, result)
            except ValueError:
                pass  # a result larger than the whole budget is simply not kept
            return result

        wrapper.cache = cache
        return wrapper

    return decorate


calls = 0


@memoize(limit_bytes=4096)
def divisors(n):
    global calls
    calls += 1
    return [d for d in range(1, n + 1) if n % d == 0]


if __name__ == "__main__":
    for n in [360, 720, 360, 5040, 720, 360]:
        divisors(n)
    print(f"6 calls, {calls} computed, cache {divisors.cache}")
    assert calls == 3
