"""Runs one pelm_lib operation on one workload over and over, for a profiler.

Usage: profile_target.py OP WORKLOAD SECONDS. The state is rebuilt whenever a
batch of keys is used up, exactly as the timed benchmark builds it, and the
loop stops after SECONDS of CPU time.
"""

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
    end = time.process_time() + seconds
    loop = None
    rnd = 0
    while time.process_time() < end:
        keys = ops.make_keys(op_name, n, rnd, ops.working_set(payload))
        ns = ops.setup("pelm_lib", op_name, value, keys)
        loop = loop or harness.compile_loop(ops.statement("pelm_lib", op_name), list(ns))
        loop(keys, ns)
        rnd += 1


if __name__ == "__main__":
    main()
