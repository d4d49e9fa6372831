"""The raw-text stage: JSON bytes out of the cache and JSON text into it.

Run by run.py once per workload and process; prints one JSON document. Two
questions, each answered side by side in one process with the harness's
loops (CPU time, empty loop taken out, collector paused, contestants in a
shuffled order every round, loop length calibrated on the first contestant):

serve: a cached response handed out as bytes.
  get_raw                  cache.get_raw(k)
  orjson.dumps(get)        orjson.dumps(cache.get(k)): decode, then encode again
  orjson cache of bytes    an OrderedDict LRU of orjson bytes: d[k] + move_to_end(k)
  floor                    d[k][:] on a dict of bytearrays: one lookup and one copy
                           of the same length, with no call (the goal: get_raw
                           within 1.5x of it)

store: JSON text that arrives as text (compact canonical, or indented).
  insert_raw               cache.insert_raw(k, text)
  insert(orjson.loads)     cache.insert(k, orjson.loads(text))
"""

import argparse
import json
import random
import sys
from collections import OrderedDict

import orjson

import harness
import workloads

import pelm_lib

BIG_LIMIT = 1 << 62
WORKING_SET_BYTES = 4 << 20
MAX_KEYS = 1 << 21

# op -> [(contestant, statement)], the first one calibrates the loop length.
CONTESTANTS = {
    "serve": [("get_raw", "get_raw(k)"), ("orjson.dumps(get)", "dumps(get(k))"),
              ("orjson cache of bytes", "get_bytes(k)"), ("floor: dict[k] + one copy", "d[k][:]")],
    "store_canonical": [("insert_raw", "insert_raw(k, text)"), ("insert(orjson.loads)", "insert(k, loads(text))")],
    "store_pretty": [("insert_raw", "insert_raw(k, text)"), ("insert(orjson.loads)", "insert(k, loads(text))")],
}


def texts(value):
    canonical = orjson.dumps(value, option=orjson.OPT_SORT_KEYS)
    pretty = json.dumps(value, indent=2, ensure_ascii=False).encode()
    return {"serve": canonical, "store_canonical": canonical, "store_pretty": pretty}


def orjson_bytes_lru(present, canonical):
    """The get path of a byte-capped LRU that keeps orjson's bytes."""
    lru = OrderedDict((k, canonical) for k in present)
    move = lru.move_to_end

    def get_bytes(key):
        data = lru[key]
        move(key)
        return data
    return get_bytes


def namespace(op, contestant, text, keys):
    if op != "serve":
        cache = pelm_lib.Cache(BIG_LIMIT)
        return {"insert_raw": cache.insert_raw, "insert": cache.insert, "loads": orjson.loads, "text": text}
    present = list(dict.fromkeys(keys))
    cache = pelm_lib.Cache(BIG_LIMIT)
    for k in present:
        cache.insert_raw(k, text)
    return {"get_raw": cache.get_raw, "get": cache.get, "dumps": orjson.dumps,
            "get_bytes": orjson_bytes_lru(present, text),
            "d": {k: bytearray(text) for k in present}}


def make_keys(op, n, round_tag, distinct):
    if op != "serve":
        return [f"{op}:{round_tag}:{i:08d}" for i in range(n)]
    base = [f"key:{i:08d}" for i in range(min(n, distinct))]
    return (base * (n // len(base) + 1))[:n]


def calibrate(op, text, target, distinct):
    stmt = CONTESTANTS[op][0][1]
    loop = harness.compile_loop(stmt, list(namespace(op, stmt, text, ["key:0"])))
    n = 8
    while True:
        keys = make_keys(op, n, "cal", distinct)
        spent = loop(keys, namespace(op, stmt, text, keys))
        if spent >= target or n >= MAX_KEYS:
            return n
        grow = 2.0 if spent < target / 100 else 1.2 * target / max(spent, 1e-9)
        n = min(MAX_KEYS, max(n + 1, int(n * min(grow, 16.0))))


def measure(op, text, rounds, warmups, target, rng):
    distinct = max(16, min(1024, WORKING_SET_BYTES // max(len(text), 1)))
    n = calibrate(op, text, target, distinct)
    loops, results = {}, {name: {"values": [], "warmups": []} for name, _ in CONTESTANTS[op]}
    for r in range(warmups + rounds):
        keys = make_keys(op, n, r, distinct)
        order = list(CONTESTANTS[op])
        rng.shuffle(order)
        for name, stmt in order:
            ns = namespace(op, stmt, text, keys)
            if name not in loops:
                loops[name] = harness.compile_loop(stmt, list(ns))
            results[name]["warmups" if r < warmups else "values"].append(harness.time_per_op(loops[name], keys, ns))
            del ns
    return n, results


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--workload", required=True, choices=list(workloads.WORKLOADS))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--warmups", type=int, default=1)
    ap.add_argument("--target", type=float, default=0.02, help="CPU seconds per loop")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)
    rng = random.Random(args.seed)
    records = []
    for op, text in texts(workloads.build(args.workload)).items():
        n, results = measure(op, text, args.rounds, args.warmups, args.target, rng)
        for name, res in results.items():
            records.append({"workload": args.workload, "op": op, "contestant": name, "loops": n,
                            "text_bytes": len(text), **res})
    json.dump({"records": records}, sys.stdout)


if __name__ == "__main__":
    main()
