"""Time limits: what insert_ttl and timed entries cost next to plain ones.

pelm_lib only, side by side in one process: each round runs every variant of
an operation on the same keys, in an order that alternates between rounds,
and the table gives the medians (CPU time, empty loop taken out; see
harness.py) and the timed / plain ratio.

- insert: a new key, plain `insert` against `insert_ttl` with an hour's limit;
- get: a hit on a plain entry against a hit on a timed one;
- churn: every step stores a new key and reads the key stored `LAG` steps
  before, which is gone. Plain: the cache is full with fewer than LAG
  entries, so each insert evicts one and the read misses an evicted entry.
  Timed: the limit (20 µs) is far shorter than LAG steps take, so every
  entry expires before it is read; the cache never fills, and each insert
  retires the entries that expired meanwhile (about one per step).

    python bench/expiry.py [--workloads small_flat api_record] [--rounds 7]

Needs pelm_lib importable (installed, or PYTHONPATH=<build dir>).
"""

import argparse
import json
import sys

import harness
import workloads

import pelm_lib

HOUR = 3600.0
LAG = 4096          # churn: a read looks this many steps back
CHURN_ENTRIES = 1024  # churn: what the plain cache holds (fewer than LAG)
CHURN_TTL = 20e-6   # churn: a limit shorter than LAG steps take (> 4 ms)
WORKING_SET = 1024

CHURN_READ = "try:\n    get(k[1])\nexcept KeyError:\n    pass\n"
VARIANTS = {
    "insert": {"plain": "insert(k, v)", "timed": "insert_ttl(k, v, ttl)"},
    "get": {"plain": "get(k)", "timed": "get(k)"},
    "churn": {"plain": "insert(k[0], v)\n" + CHURN_READ, "timed": "insert_ttl(k[0], v, ttl)\n" + CHURN_READ},
}


def payload(value):
    probe = pelm_lib.Cache(1 << 62)
    probe.insert("k", value)
    return probe.size()


def keys_for(op, n, tag):
    if op == "get":
        base = [f"key:{i:08d}" for i in range(min(n, WORKING_SET))]
        return (base * (n // len(base) + 1))[:n]
    if op == "insert":
        return [f"{op}:{tag}:{i:08d}" for i in range(n)]
    # churn: LAG warming steps, then the n that are timed.
    fresh = [f"{op}:{tag}:{i:08d}" for i in range(n + 2 * LAG)]
    return [(fresh[i + LAG], fresh[i]) for i in range(n + LAG)]


def namespace(op, variant, value, keys):
    """A fresh cache in the state the operation starts from."""
    size = payload(value)
    limit = CHURN_ENTRIES * size if op == "churn" else 1 << 62
    c = pelm_lib.Cache(limit)
    ttl = CHURN_TTL if op == "churn" else HOUR
    if op == "get":
        for k in dict.fromkeys(keys):
            (c.insert_ttl(k, value, HOUR) if variant == "timed" else c.insert(k, value))
    elif op == "churn":
        for k, _ in keys[:LAG]:  # warm: the cache is full (or expiring) before timing
            (c.insert_ttl(k, value, ttl) if variant == "timed" else c.insert(k, value))
    return {"insert": c.insert, "insert_ttl": c.insert_ttl, "get": c.get, "v": value, "ttl": ttl, "cache": c}


def check_churn_state(variant, ns):
    """Plain churn evicted down to a full cache; timed churn expired nearly all."""
    c = ns["cache"]
    held = len(c)
    assert (held == CHURN_ENTRIES) if variant == "plain" else (held < CHURN_ENTRIES // 2), (variant, held)


def measure(op, value, n, rounds):
    out = {v: [] for v in VARIANTS[op]}
    loops = {v: harness.compile_loop(stmt, ["insert", "insert_ttl", "get", "v", "ttl"])
             for v, stmt in VARIANTS[op].items()}
    for r in range(rounds):
        order = list(VARIANTS[op]) if r % 2 == 0 else list(reversed(VARIANTS[op]))
        for variant in order:
            keys = keys_for(op, n, f"{r}{variant}")
            ns = namespace(op, variant, value, keys)
            measured = keys[LAG:] if op == "churn" else keys
            out[variant].append(harness.time_per_op(loops[variant], measured, ns))
            if op == "churn":
                check_churn_state(variant, ns)
    return {v: harness.median(t) for v, t in out.items()}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--workloads", nargs="+", default=["small_flat", "api_record"])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--keys", type=int, default=20_000, help="operations per round")
    ap.add_argument("--max-bytes", type=int, default=256 << 20,
                    help="fewer operations per round where --keys entries of a large payload would "
                         "hold more than this many bytes of text (at least 100 are kept)")
    ap.add_argument("--json", action="store_true", help="print JSON instead of a table")
    args = ap.parse_args(argv)
    rows = []
    for w in args.workloads:
        value = workloads.build(w)
        for op in VARIANTS:
            # insert and get keep every entry of a round: a large document
            # at 20,000 keys would hold gigabytes and take many minutes.
            n = min(args.keys, max(100, args.max_bytes // payload(value)))
            med = measure(op, value, n, args.rounds)
            rows.append({"workload": w, "op": op, **{f"{v}_s": t for v, t in med.items()}})
    if args.json:
        json.dump(rows, sys.stdout)
        return
    print("| workload | operation | plain | timed | timed / plain |")
    print("|---|---|---:|---:|---:|")
    for r in rows:
        print(f"| {r['workload']} | {r['op']} | {r['plain_s'] * 1e9:,.0f} ns | {r['timed_s'] * 1e9:,.0f} ns "
              f"| {r['timed_s'] / r['plain_s']:.2f} |")


if __name__ == "__main__":
    main()
