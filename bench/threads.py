"""Several threads on one cache: throughput, in-use failures, and memoized
stampedes.

Throughput: 1, 2, 4 and 8 threads, each doing 50% inserts and 50% gets on
500 shared keys for `--seconds`, with three kinds of value: plain dicts,
lists of dataclass instances and a pure-Python `collections.abc.Mapping`
(whose conversion runs Python code, so the interpreter lock switches threads
mid-insert). Peers: pelm_lib; `cachetools.LRUCache` behind a
`threading.Lock`, values stored as orjson bytes; `cachebox.LRUCache` (locked
inside) with orjson bytes. The orjson peers turn a Mapping into a dict with
`default=dict`, the least a user must add. Every call that raises counts as
a failure (a pelm_lib built before calls waited raised "Already borrowed").

Stampede: 16 threads released at once call one memoized function (50 ms of
sleep) with the same argument, against `cachetools.cached` with a lock; the
figures are the function's runs and each caller's latency.

Prints one JSON document; `--markdown FILE` also writes the tables, with
the pelm_lib rows of `--before FILE` (the JSON of a run of an older build,
made just before: `--peers pelm_lib --stampede-peers pelm_lib`) beside them.
Medians of `--rounds` rounds. Run with the interpreter that has pelm_lib and the
peers (build/bench-venv, or PYTHONPATH=build-dir).
"""

import argparse
import collections.abc
import dataclasses
import json
import statistics
import sys
import threading
import time

import cachebox
import cachetools
import orjson

import pelm_lib

KEYS = [f"user:{i}" for i in range(500)]
THREADS = (1, 2, 4, 8)


@dataclasses.dataclass
class Item:
    sku: int
    name: str
    price: float


class Record(collections.abc.Mapping):
    def __init__(self, i):
        self._d = {"id": i, "name": f"n{i}", "tags": ["a", "b"], "score": i / 7}

    def __getitem__(self, k):
        return self._d[k]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)


VALUES = {
    "dicts": lambda i: {"id": i, "name": f"n{i}", "tags": ["a", "b"], "score": i / 7},
    "dataclasses": lambda i: [Item(i, f"sku{j}", j / 3) for j in range(3)],
    "mapping": Record,
}


def dumps(v):
    return orjson.dumps(v, default=dict, option=orjson.OPT_SORT_KEYS)


def pelm_peer():
    c = pelm_lib.Cache(1 << 40)
    return c.insert, c.get


def cachetools_peer():
    c = cachetools.LRUCache(maxsize=1 << 20)
    lock = threading.Lock()

    def insert(k, v):
        b = dumps(v)
        with lock:
            c[k] = b

    def get(k):
        with lock:
            b = c[k]
        return orjson.loads(b)
    return insert, get


def cachebox_peer():
    c = cachebox.LRUCache(maxsize=1 << 20)

    def insert(k, v):
        c[k] = dumps(v)

    def get(k):
        return orjson.loads(c[k])
    return insert, get


PEERS = {"pelm_lib": pelm_peer, "cachetools+lock": cachetools_peer, "cachebox": cachebox_peer}


def throughput(peer, kind, threads, seconds):
    insert, get = PEERS[peer]()
    make = VALUES[kind]
    values = [make(i) for i in range(len(KEYS))]
    for k, v in zip(KEYS, values):
        insert(k, v)
    counts = [[0, 0] for _ in range(threads)]
    start = threading.Barrier(threads + 1)
    stop = [False]

    def work(t):
        done, failed = 0, 0
        i = t * 7919
        start.wait()
        while not stop[0]:
            for _ in range(64):
                i = (i + 1) % len(KEYS)
                try:
                    if i & 1:
                        insert(KEYS[i], values[i])
                    else:
                        get(KEYS[i])
                except Exception:  # noqa: BLE001 - counted, the point of the figure
                    failed += 1
                done += 1
        counts[t] = [done, failed]

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for p in pool:
        p.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop[0] = True
    for p in pool:
        p.join()
    elapsed = time.perf_counter() - began
    done = sum(c[0] for c in counts)
    return {"ops_per_s": done / elapsed, "failed": sum(c[1] for c in counts) / max(done, 1)}


def stampede(peer, callers=16, work_s=0.05):
    runs = []

    def fn(x):
        runs.append(x)
        time.sleep(work_s)
        return {"x": x, "rows": list(range(10))}

    if peer == "pelm_lib":
        f = pelm_lib.Cache(1 << 20).memoize(fn)
    else:
        f = cachetools.cached(cachetools.LRUCache(maxsize=1024), lock=threading.Lock())(fn)
    barrier = threading.Barrier(callers)
    latency = [0.0] * callers

    def call(t):
        barrier.wait()
        began = time.perf_counter()
        f(1)
        latency[t] = time.perf_counter() - began

    pool = [threading.Thread(target=call, args=(t,)) for t in range(callers)]
    for p in pool:
        p.start()
    for p in pool:
        p.join()
    latency.sort()
    return {"runs": len(runs), "median_ms": statistics.median(latency) * 1e3, "max_ms": latency[-1] * 1e3}


def markdown(res, before=None):
    lines = ["### Threads: 50% insert / 50% get on 500 keys, thousands of operations per second "
             "(failed calls in brackets when any)", ""]
    for kind in VALUES:
        lines += [f"**{kind}**", "", "| peer | " + " | ".join(f"{t} thr" for t in THREADS) + " |",
                  "|---|" + "---:|" * len(THREADS)]
        rows = [(peer, res["throughput"][kind][peer]) for peer in res["throughput"][kind]]
        if before:
            rows.insert(1, ("pelm_lib, before", before["throughput"][kind]["pelm_lib"]))
        for peer, by_threads in rows:
            cells = []
            for t in THREADS:
                r = by_threads[str(t)]
                cell = f"{r['ops_per_s'] / 1e3:,.0f}"
                if r["failed"]:
                    cell += f" ({r['failed']:.0%} failed)"
                cells.append(cell)
            lines.append(f"| {peer} | " + " | ".join(cells) + " |")
        lines.append("")
    lines += ["### 16 threads call one memoized 50 ms function with the same argument", "",
              "| memoizer | runs | median latency (ms) | max latency (ms) |", "|---|---:|---:|---:|"]
    stampedes = list(res["stampede"].items())
    if before:
        stampedes.insert(1, ("pelm_lib, before", before["stampede"]["pelm_lib"]))
    for peer, r in stampedes:
        lines.append(f"| {peer} | {r['runs']} | {r['median_ms']:.1f} | {r['max_ms']:.1f} |")
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=1.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--peers", nargs="+", default=list(PEERS))
    ap.add_argument("--stampede-peers", nargs="+", default=["pelm_lib", "cachetools.cached+lock"])
    ap.add_argument("--markdown")
    ap.add_argument("--before")
    args = ap.parse_args()
    sys.setswitchinterval(0.005)
    res = {"python": sys.version.split()[0], "throughput": {}, "stampede": {}}
    for kind in VALUES:
        res["throughput"][kind] = {}
        for peer in args.peers:
            res["throughput"][kind][peer] = {}
            for t in THREADS:
                rounds = [throughput(peer, kind, t, args.seconds) for _ in range(args.rounds)]
                res["throughput"][kind][peer][str(t)] = {
                    "ops_per_s": statistics.median(r["ops_per_s"] for r in rounds),
                    "failed": statistics.median(r["failed"] for r in rounds),
                }
    for peer in args.stampede_peers:
        rounds = [stampede(peer) for _ in range(args.rounds)]
        res["stampede"][peer] = {k: statistics.median(r[k] for r in rounds) for k in rounds[0]}
    print(json.dumps(res, indent=1))
    if args.markdown:
        before = None
        if args.before:
            with open(args.before) as f:
                before = json.load(f)
        with open(args.markdown, "w") as f:
            f.write(markdown(res, before))


if __name__ == "__main__":
    main()
