"""One benchmark process for memoized calls: a hit and a miss of each case,
for Cache.memoize and the memoizers a Python user reaches for.

Cases: `record(user_id: int, filters: dict)` returning a small dict, and
`mix(a: int, b: int)` returning an int. Peers:
- pelm_lib: `Cache(big).memoize(fn)`;
- lru_cache: `functools.lru_cache(maxsize=...)` (hashable arguments only, so
  the two-int case alone);
- cachetools: `cachetools.cached(LRUCache(maxsize=...))`, with a hand-written
  key `(user_id, frozenset(filters.items()))` where the default key cannot
  hash a dict;
- cachetools+deepcopy: the same with `copy.deepcopy` of every result, what a
  user must add to hand out results that callers may mutate, as pelm_lib does.

A hit loops over a warmed working set of arguments; a miss calls with
arguments never seen before in that round, so it pays for the function, the
store and the returned copy. Same timing method as the ops stage (harness.py):
CPU time, the loop length calibrated once on pelm_lib, peers in a shuffled
order each round. Prints one JSON document with every round's times.
"""

import argparse
import copy
import functools
import json
import random
import sys

import cachetools

import harness
import pelm_lib

BIG_LIMIT = 1 << 62
MAX_ENTRIES = 1 << 24
WORKING_SET = 256
MAX_CALLS = 1 << 20
FILTERS = {"status": "active", "sort": "name", "limit": 20}


def record(user_id, filters):
    return {"id": user_id, "name": "user", "active": filters.get("status") == "active",
            "limit": filters.get("limit", 10), "tags": ["a", "b"]}


def mix(a, b):
    return a * 31 + b


def record_key(user_id, filters):
    return cachetools.keys.hashkey(user_id, frozenset(filters.items()))


def deep_copied(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        return copy.deepcopy(fn(*args, **kwargs))
    return wrapper


# case -> (function, statement run once per int k, cachetools key or None)
CASES = {
    "record": (record, "f(k, filters)", record_key),
    "two_ints": (mix, "f(k, 7)", None),
}
OPS = ("hit", "miss")


def make(peer, case):
    fn, _, key = CASES[case]
    kwargs = {} if key is None else {"key": key}
    if peer == "pelm_lib":
        return pelm_lib.Cache(BIG_LIMIT).memoize(fn)
    if peer == "lru_cache":
        return functools.lru_cache(maxsize=MAX_ENTRIES)(fn)
    if peer == "cachetools":
        return cachetools.cached(cachetools.LRUCache(maxsize=MAX_ENTRIES), **kwargs)(fn)
    if peer == "cachetools+deepcopy":
        return deep_copied(cachetools.cached(cachetools.LRUCache(maxsize=MAX_ENTRIES), **kwargs)(fn))
    raise ValueError(peer)


def peers_for(case):
    names = ["pelm_lib", "lru_cache", "cachetools", "cachetools+deepcopy"]
    return [n for n in names if n != "lru_cache" or case == "two_ints"]


def keys_for(op, n, round_no):
    if op == "hit":
        return [i % WORKING_SET for i in range(n)]
    return list(range((round_no + 1) * MAX_CALLS, (round_no + 1) * MAX_CALLS + n))


def setup(peer, case, op, keys):
    """The names the statement uses, with a memoized function in the op's start state."""
    f = make(peer, case)
    ns = {"f": f, "filters": FILTERS}
    if op == "hit":
        stmt = CASES[case][1]
        warm = harness.compile_loop(stmt, list(ns))
        warm(range(WORKING_SET), ns)
    return ns


def calibrate(case, op, target):
    stmt = CASES[case][1]
    loop = harness.compile_loop(stmt, ["f", "filters"])
    n = 64
    while True:
        keys = keys_for(op, n, -1)
        spent = loop(keys, setup("pelm_lib", case, op, keys))
        if spent >= target or n >= MAX_CALLS:
            return n
        grow = 2.0 if spent < target / 100 else 1.2 * target / max(spent, 1e-9)
        n = min(MAX_CALLS, max(n + 1, int(n * min(grow, 16.0))))


def measure(case, op, rounds, warmups, target, rng):
    n = calibrate(case, op, target)
    loop = harness.compile_loop(CASES[case][1], ["f", "filters"])
    results = {p: {"values": [], "warmups": []} for p in peers_for(case)}
    for r in range(warmups + rounds):
        keys = keys_for(op, n, r)
        order = peers_for(case)
        rng.shuffle(order)
        for peer in order:
            ns = setup(peer, case, op, keys)
            results[peer]["warmups" if r < warmups else "values"].append(harness.time_per_op(loop, keys, ns))
            del ns
    return n, results


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--warmups", type=int, default=1)
    ap.add_argument("--target", type=float, default=0.02, help="CPU seconds per loop")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)
    rng = random.Random(args.seed)
    records = []
    for case in CASES:
        for op in OPS:
            n, results = measure(case, op, args.rounds, args.warmups, args.target, rng)
            records += [{"case": case, "op": op, "peer": p, "loops": n, **res} for p, res in results.items()]
    json.dump({"records": records}, sys.stdout)


if __name__ == "__main__":
    main()
