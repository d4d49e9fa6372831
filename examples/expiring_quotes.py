"""Answers that go stale: cache each one for a time limit.

A slow lookup (here a stand-in that counts its calls) is cached with
insert_ttl for `FRESH_FOR` seconds: requests within that time are served
from the cache, and the first one after it fetches anew. Expired entries
leave the cache by themselves; nothing needs sweeping.
"""

import time

import pelm_lib

FRESH_FOR = 0.2  # seconds
fetches = []


def fetch_quote(symbol):
    fetches.append(symbol)
    return {"symbol": symbol, "price": 100 + len(fetches)}


def quote(cache, symbol):
    try:
        return cache.get(symbol)
    except KeyError:
        value = fetch_quote(symbol)
        cache.insert_ttl(symbol, value, FRESH_FOR)
        return value


if __name__ == "__main__":
    cache = pelm_lib.init_cache(10_000)
    first = [quote(cache, "ACME")["price"] for _ in range(3)]  # one fetch, two hits
    time.sleep(FRESH_FOR + 0.1)
    print(f"after {FRESH_FOR + 0.1:.1f} s: 'ACME' in cache is {'ACME' in cache}, entries: {len(cache)}")
    later = quote(cache, "ACME")["price"]  # stale: fetched again
    print(f"prices {first} then {later}: {len(fetches)} fetches for 4 requests")
