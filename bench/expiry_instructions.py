"""Instructions per operation, plain against time-limited, under callgrind.

CPU time on a shared machine moves by 10-20 per cent between runs; counts of
executed instructions do not. Only instructions inside the module's method
entry points are counted (callgrind's --toggle-collect; the interpreter's
own loop and call dispatch are left out), and each figure is (count of a run
doing 2N operations - count of a run doing N) / N, so set-up cancels out.
A clock reading is a system call under valgrind and is not counted: on bare
metal it costs about 20 ns through the vDSO.

    python bench/expiry_instructions.py [--n 20000] [--workloads small_flat api_record]

pelm_lib is whatever `python` imports (PYTHONPATH=<build dir> for a build
tree); run it against two builds to compare them. Operations a build does
not have (insert_ttl before expiry existed) are left out. Needs valgrind.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = ["insert", "insert_ttl", "get", "get_timed", "contains", "contains_timed"]

DRIVER = r"""
import sys
sys.path.insert(0, {here!r})
import gc, pelm_lib, workloads
gc.disable()  # a collection inside a timed call would count against it
op, n, w = sys.argv[1], int(sys.argv[2]), sys.argv[3]
value = workloads.build(w)
c = pelm_lib.Cache(1 << 62)
if op.startswith("insert"):
    keys = [f"key:{{i:08d}}" for i in range(n)]
    if op == "insert":
        for k in keys:
            c.insert(k, value)
    else:
        for k in keys:
            c.insert_ttl(k, value, 3600.0)
else:
    base = [f"key:{{i:08d}}" for i in range(1024)]
    for k in base:
        c.insert_ttl(k, value, 3600.0) if op.endswith("_timed") else c.insert(k, value)
    keys = (base * (n // 1024 + 1))[:n]
    read = c.get if op.startswith("get") else c.contains
    for k in keys:
        read(k)
"""


def instructions(driver, op, n, workload):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--toggle-collect=*vector_method*", "--toggle-collect=*insert_method*",
                        sys.executable, driver, op, str(n), workload],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))  # the same key layout every run
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def has_insert_ttl():
    import pelm_lib
    return hasattr(pelm_lib.Cache, "insert_ttl")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=20_000)
    ap.add_argument("--workloads", nargs="+", default=["small_flat", "api_record"])
    args = ap.parse_args()
    ops = OPS if has_insert_ttl() else [o for o in OPS if o in ("insert", "get", "contains")]
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(DRIVER.format(here=HERE))
        driver = f.name
    try:
        print("| workload | operation | instructions per op |")
        print("|---|---|---:|")
        for w in args.workloads:
            for op in ops:
                once, twice = (instructions(driver, op, k * args.n, w) for k in (1, 2))
                print(f"| {w} | {op} | {(twice - once) / args.n:,.0f} |", flush=True)
    finally:
        os.unlink(driver)


if __name__ == "__main__":
    main()
