"""Profiles of pelm_lib on chosen operations: where the time goes.

Builds the module with symbols (the release flags plus -g and frame
pointers) in build/bench-prof, so the profile shows the code that the
benchmark times, then runs profile_target.py on each OP:WORKLOAD under
`perf record` sampling the CPU clock (hardware counters are often missing in
containers). Without a working perf it falls back to callgrind. Writes the
flat and the inclusive top symbols to profile-<op>-<workload>.txt.
Setup work (filling the cache for gets) is in the profile too; it shows up
under its own symbols and is small beside the timed loop.
"""

import os
import subprocess
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
PROF_BUILD = os.path.join(ROOT, "build", "bench-prof")
SECONDS = 4


def build_module():
    flags = "-g -fno-omit-frame-pointer"
    subprocess.run(["cmake", "-S", ROOT, "-B", PROF_BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DCMAKE_CXX_FLAGS={flags}", "-DPELM_BUILD_TESTS=OFF",
                    f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", PROF_BUILD, "-j2", "--target", "pelm_lib"], check=True)


def perf_works():
    try:
        r = subprocess.run(["perf", "record", "-e", "cpu-clock", "-o", "/dev/null", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return r.returncode == 0
    except FileNotFoundError:
        return False


def target_cmd(op, workload, seconds):
    return [sys.executable, os.path.join(BENCH, "profile_target.py"), op, workload, str(seconds)]


def with_perf(op, workload, data):
    env = dict(os.environ, PYTHONPATH=PROF_BUILD)
    subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "2000", "-g", "-o", data, "--",
                    *target_cmd(op, workload, SECONDS)], check=True, env=env)
    report = ["perf", "report", "-i", data, "--stdio", "-g", "none", "--percent-limit", "0.7"]
    flat = subprocess.run([*report, "--no-children", "--sort", "dso,symbol"],
                          stdout=subprocess.PIPE, text=True).stdout
    inclusive = subprocess.run([*report, "--children", "--sort", "symbol"],
                               stdout=subprocess.PIPE, text=True).stdout
    return ("== self time (perf, cpu-clock)\n" + flat + "\n== inclusive time\n" + inclusive
            + hot_lines(data, flat))


def hot_lines(data, flat, symbols=3, lines=10):
    """Source lines of the hottest pelm_lib functions (perf annotate -l)."""
    out = []
    hot = [line.split("[.] ", 1)[1].strip() for line in flat.splitlines()
           if "pelm_lib" in line and "[.] " in line][:symbols]
    for sym in hot:
        sym = sym.split("  ")[0].strip()
        text = subprocess.run(["perf", "annotate", "-i", data, "--stdio", "-l", "-s", sym],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        rows = []
        for row in text.splitlines():
            parts = row.split()
            if len(parts) == 2 and ":" in parts[1] and not parts[1].endswith(":"):
                try:
                    rows.append((float(parts[0]), parts[1]))
                except ValueError:
                    pass
        rows.sort(reverse=True)
        out.append(f"\n== hottest source lines of {sym} (percent of its samples)\n"
                   + "".join(f"  {pct:6.2f}  {where}\n" for pct, where in rows[:lines]))
    return "".join(out)


def with_callgrind(op, workload, data):
    env = dict(os.environ, PYTHONPATH=PROF_BUILD)
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={data}",
                    *target_cmd(op, workload, SECONDS / 20)], check=True, env=env,
                   stderr=subprocess.DEVNULL)
    flat = subprocess.run(["callgrind_annotate", "--inclusive=no", data],
                          stdout=subprocess.PIPE, text=True).stdout
    inclusive = subprocess.run(["callgrind_annotate", "--inclusive=yes", data],
                               stdout=subprocess.PIPE, text=True).stdout
    return "== self (callgrind, instructions)\n" + flat + "\n== inclusive\n" + inclusive


def run(pairs, out_dir):
    build_module()
    use_perf = perf_works()
    for pair in pairs:
        op, workload = pair.split(":")
        data = os.path.join(PROF_BUILD, f"{op}-{workload}.data")
        text = (with_perf if use_perf else with_callgrind)(op, workload, data)
        path = os.path.join(out_dir, f"profile-{op}-{workload}.txt")
        with open(path, "w") as f:
            f.write(f"# pelm_lib {op} on {workload}\n{text}")
        print(f"== profile: {path}", file=sys.stderr)
