"""Instructions per operation, under callgrind: a noise-free figure for a
shared machine, where CPU time swings with the neighbours' load.

Usage: python bench/icount.py OP:WORKLOAD... [--peer P ...] [-n N]
OPs: insert_new, evict_churn, get_hit, contains (pelm_lib and the peers), and the
floors `dumps` (orjson.dumps sorted), `loads` (orjson.loads), `msgspec`
(msgspec's sorted encoder). Each figure is the difference of two runs of the
same process, one looping N times and one 2N times, divided by N, so start-up
and setup cancel out (the keys and the filled cache are the same in both).
Run it with the interpreter that has pelm_lib and the peers (the bench venv,
or PYTHONPATH=build-dir for a development build).
"""

import argparse
import os
import re
import subprocess
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
FLOORS = ("dumps", "loads", "msgspec")
LOOKUPS = {"get_hit": "get", "contains": "contains"}  # ops that read keys present


def target(op, workload, peer, n, loops):
    """Runs inside valgrind: set up, then `loops` x the op on n keys."""
    sys.path.insert(0, BENCH)
    import orjson
    import msgspec
    import ops
    import peers
    import workloads
    value = workloads.build(workload)
    if op in FLOORS:
        if op == "dumps":
            f, arg = (lambda v: orjson.dumps(v, option=orjson.OPT_SORT_KEYS)), value
        elif op == "loads":
            f, arg = orjson.loads, orjson.dumps(value, option=orjson.OPT_SORT_KEYS)
        else:
            f, arg = msgspec.json.Encoder(order="sorted").encode, value
        for _ in range(loops * n):
            f(arg)
        return
    keys = ops.make_keys(op, 2 * n, 0, n)
    ns = ops.setup(peer, op, value, keys[:n] if op in LOOKUPS else [])
    if op in LOOKUPS:
        look = ns[LOOKUPS[op]]
        for _ in range(loops):
            for k in keys[:n]:
                look(k)
        return
    insert = ns["insert"]
    for k in keys[: loops * n]:
        insert(k, value)


def instructions(op, workload, peer, n, loops):
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
           sys.executable, os.path.abspath(__file__), "--inner", op, workload, peer, str(n), str(loops)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    err = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                         env=env, check=True).stderr
    return int(re.search(r"Collected : (\d+)", err).group(1))


def main():
    if sys.argv[1:2] == ["--inner"]:
        op, workload, peer, n, loops = sys.argv[2:7]
        target(op, workload, peer, int(n), int(loops))
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("pairs", nargs="+", metavar="OP:WORKLOAD")
    ap.add_argument("--peer", nargs="+", default=["pelm_lib"])
    ap.add_argument("-n", type=int, default=200)
    args = ap.parse_args()
    for pair in args.pairs:
        op, workload = pair.split(":")
        for peer in ([op] if op in FLOORS else args.peer):
            one = instructions(op, workload, peer, args.n, 1)
            two = instructions(op, workload, peer, args.n, 2)
            print(f"{op:12} {workload:14} {peer:20} {(two - one) / args.n:12,.0f} instructions/op",
                  flush=True)


if __name__ == "__main__":
    main()
