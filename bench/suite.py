"""One benchmark process: every operation of one workload, for every peer.

Run by run.py, once per workload and process; prints one JSON document with
the per-operation CPU times of every round. Within a round every peer runs
the same loop over the same keys, in an order shuffled per round, so slow
drift on the shared machine spreads over all peers instead of favouring the
one that happens to run first. The loop length is calibrated once per
operation on pelm_lib and then fixed for every peer and round.
"""

import argparse
import json
import random
import sys

import harness
import ops
import peers
import workloads

MAX_KEYS = 1 << 21


def participants():
    return list(peers.PEERS) + [peers.FLOOR]


def calibrate(op_name, value, target, distinct):
    """Keys per round such that pelm_lib's loop takes about `target` seconds."""
    loop = harness.compile_loop(ops.statement("pelm_lib", op_name),
                                list(ops.setup("pelm_lib", op_name, value, ["key:0"])))
    n = 8
    while True:
        keys = ops.make_keys(op_name, n, "cal", distinct)
        spent = loop(keys, ops.setup("pelm_lib", op_name, value, keys))
        if spent >= target or n >= MAX_KEYS:
            return n
        grow = 2.0 if spent < target / 100 else 1.2 * target / max(spent, 1e-9)
        n = min(MAX_KEYS, max(n + 1, int(n * min(grow, 16.0))))


def measure_op(op_name, value, rounds, warmups, target, rng):
    distinct = ops.working_set(ops.payload_size("pelm_lib", value))
    n = calibrate(op_name, value, target, distinct)
    loops = {}
    results = {p: {"values": [], "warmups": []} for p in participants()}
    for r in range(warmups + rounds):
        keys = ops.make_keys(op_name, n, r, distinct)
        order = participants()
        rng.shuffle(order)
        for peer in order:
            ns = ops.setup(peer, op_name, value, keys)
            if peer not in loops:
                loops[peer] = harness.compile_loop(ops.statement(peer, op_name), list(ns))
            per_op = harness.time_per_op(loops[peer], keys, ns)
            results[peer]["warmups" if r < warmups else "values"].append(per_op)
            del ns
    return n, results


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--workload", required=True, choices=list(workloads.WORKLOADS))
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--warmups", type=int, default=1)
    ap.add_argument("--target", type=float, default=0.02, help="CPU seconds per loop")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--churn-bytes", type=int, default=ops.churn_bytes,
                    help="payload a full cache holds for evict_churn")
    ap.add_argument("--ops", nargs="*", default=list(ops.OPS))
    args = ap.parse_args(argv)
    ops.churn_bytes = args.churn_bytes
    value = workloads.build(args.workload)
    rng = random.Random(args.seed)
    records = []
    for op_name in args.ops:
        n, results = measure_op(op_name, value, args.rounds, args.warmups, args.target, rng)
        for peer, res in results.items():
            records.append({"workload": args.workload, "op": op_name, "peer": peer,
                            "loops": n, **res})
    json.dump({"records": records, "payload": {p: ops.payload_size(p, value) for p in peers.PEERS}},
              sys.stdout)


if __name__ == "__main__":
    main()
