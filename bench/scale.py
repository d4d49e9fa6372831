"""Throughput as one cache grows from a thousand to ten million entries, and
the time to drop it. One peer per process (run by run.py); prints JSON.

The cache is filled in batches of `--batch` new keys, each batch timed in CPU
time; for every stretch between two checkpoints the median batch gives the
typical cost of an insert and the slowest batch shows any rehash or growth
spike. At each checkpoint random present keys are read back to time `get` at
that size. Keys are made outside the timed loops, values are small, the limit
is never reached. Peers that store orjson output store it copied to its exact
size (see peers.py): as returned it holds about 4 KiB each, and ten million
of those do not fit in memory. The collector stays off throughout, so no peer pays for
full collections over millions of objects that a tuned service would freeze.

Dropping the cache is timed in wall and CPU time, and the stack mapping size
(VmStk) is read before and after: a destructor that recursed per entry would
grow it.
"""

import argparse
import gc
import json
import random
import sys
import time

import harness
import ops
import peers

VALUE = {"id": 7, "ok": True}


def vm_stack_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmStk:"):
                return int(line.split()[1])
    return -1


def checkpoints(top):
    out, n = [], 1000
    while n < top:
        out += [n, 3 * n]
        n *= 10
    return [c for c in out if c < top] + [top]


def _stretch(values):
    return {"median_ns": harness.median(values) * 1e9, "max_ns": max(values) * 1e9,
            "batches": len(values)}


def grow_and_probe(peer, top, batch, rng):
    insert_loop = harness.compile_loop("insert(k, v)", ["insert", "v"])
    get_loop = harness.compile_loop("get(k)", ["get"])
    ns = {"insert": peer.insert, "get": peer.get, "v": VALUE}
    size, rows = 0, []
    for cp in checkpoints(top):
        batch_costs = []
        while size < cp:
            m = min(batch, cp - size)
            keys = [f"key:{i:09d}" for i in range(size, size + m)]
            batch_costs.append(insert_loop(keys, ns) / m)
            size += m
        gets = []
        for _ in range(5):
            keys = [f"key:{rng.randrange(size):09d}" for _ in range(batch)]
            gets.append(get_loop(keys, ns) / batch)
        rows.append({"entries": size, "insert": _stretch(batch_costs), "get": _stretch(gets)})
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--peer", required=True, choices=list(peers.PEERS))
    ap.add_argument("--top", type=int, default=10_000_000)
    ap.add_argument("--batch", type=int, default=1000)
    args = ap.parse_args(argv)
    gc.disable()
    make, _ = peers.PEERS[args.peer]
    peer = make(ops.BIG_LIMIT, ops.UNCAPPED_ENTRIES, exact=True)
    rows = grow_and_probe(peer, args.top, args.batch, random.Random(5))
    stack_before = vm_stack_kib()
    wall0, cpu0 = time.perf_counter(), time.process_time()
    peer = None  # the only reference: the whole cache goes here
    drop = {"wall_s": time.perf_counter() - wall0, "cpu_s": time.process_time() - cpu0,
            "vmstk_before_kib": stack_before, "vmstk_after_kib": vm_stack_kib()}
    json.dump({"peer": args.peer, "rows": rows, "drop": drop}, sys.stdout)


if __name__ == "__main__":
    main()
