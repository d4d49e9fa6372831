"""Runs one pelm_lib operation on one workload over and over, for a profiler.

Usage: profile_target.py OP WORKLOAD SECONDS. Operations that leave the cache
as they found it (gets, membership, overwrites) are set up once and looped
until SECONDS of CPU time have passed, so the profile is the operation and
not the filling of the cache. Operations that change it (new inserts,
removals, churn) get a fresh state per batch, as in the timed benchmark.
The cyclic collector is off, as it is in the timed loops.
"""

import gc
import sys
import time

import harness
import ops
import workloads


def main():
    op_name, workload, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    value = workloads.build(workload)
    payload = ops.payload_size("pelm_lib", value)
    n = max(16, min(20_000, 2_000_000 // (payload + 64)))
    distinct = ops.working_set(payload)
    keys = ops.make_keys(op_name, n, 0, distinct)
    ns = ops.setup("pelm_lib", op_name, value, keys)
    loop = harness.compile_loop(ops.statement("pelm_lib", op_name), list(ns))
    gc.disable()
    end = time.process_time() + seconds
    rnd = 0
    while time.process_time() < end:
        if ops.OPS[op_name].fresh and rnd:
            keys = ops.make_keys(op_name, n, rnd, distinct)
            ns = ops.setup("pelm_lib", op_name, value, keys)
        loop(keys, ns)
        rnd += 1


if __name__ == "__main__":
    main()
