"""Memoising an expensive function under a byte budget, with Cache.memoize.

Calls are keyed by the canonical JSON of their arguments, so every spelling
of one call (positional or keyword, dict keys in any order, defaults left
out) shares one entry, dict and list arguments work, and every caller gets
its own copy of the result. The cache's byte cap bounds how much memory the
memo can ever take.
"""

import pelm_lib

cache = pelm_lib.Cache(4096)
calls = 0


@cache.memoize
def divisors(n, *, proper=False):
    global calls
    calls += 1
    found = [d for d in range(1, n + 1) if n % d == 0]
    return found[:-1] if proper else found


@cache.memoize(prefix="search:", ttl=300)  # results live five minutes
def search(query: dict, page: int = 1):
    return {"page": page, "terms": sorted(query.values())}


if __name__ == "__main__":
    for n in [360, 720, 360, 5040, 720, 360]:
        divisors(n)
    print(f"6 calls, {calls} computed, cache {divisors.cache}")
    assert calls == 3

    mine = divisors(360)
    mine.append(-1)  # changes this caller's copy only
    assert divisors(360)[-1] == 360 and calls == 3

    one = search.key({"lang": "en", "term": "cache"})
    assert one == search.key(page=1, query={"term": "cache", "lang": "en"})
    print(f"one key for every spelling: {one}")
