"""Hit rate and evictions under a skewed key distribution.

Keys are drawn from a Zipf-like distribution (a few keys very popular, a long
tail of rare ones); a small byte budget keeps the popular ones resident.
"""

import random

import pelm_lib


def simulate(limit, requests=20000, keys=2000, seed=7):
    rng = random.Random(seed)
    weights = [1 / (rank + 1) for rank in range(keys)]
    population = [f"item:{i}" for i in range(keys)]
    cache = pelm_lib.Cache(limit)
    hits = evictions = 0
    for key in rng.choices(population, weights, k=requests):
        if key in cache:
            cache.get(key)
            hits += 1
            continue
        before = cache.len()
        cache.insert(key, {"key": key, "payload": "x" * 40})
        evictions += before + 1 - cache.len()
    return hits / requests, evictions


if __name__ == "__main__":
    for limit in (2_000, 20_000, 200_000):
        rate, evicted = simulate(limit)
        print(f"limit {limit:>7} bytes: hit rate {rate:6.1%}, evictions {evicted}")
