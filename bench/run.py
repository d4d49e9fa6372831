"""The one benchmark command: `python bench/run.py` (see bench/README.md).

Makes or reuses a virtual environment in build/bench-venv, installs the
benchmark's requirements and the package from this checkout into it (again
only when their inputs changed), then runs each stage in fresh processes and
writes bench/results/. `--smoke` runs every operation a few times, for CI to
prove the benchmark works, and writes to build/bench-smoke/ instead, so the
committed results are only ever replaced by a full run.

Stages: ops (every operation x workload x peer), raw (get_raw and insert_raw
against the ways to the same bytes without them), scale (one cache growing to
10 million entries, then dropped), memory (RSS per entry), codec (the native
codec benchmark, compiled here with g++), expiry (plain against time-limited
entries, pelm_lib alone), memoize (memoized calls against functools.lru_cache
and cachetools), profile (perf or callgrind samples of pelm_lib on chosen
operations; only when asked for).
"""

import argparse
import concurrent.futures
import datetime
import hashlib
import json
import os
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
BUILD = os.path.join(ROOT, "build")
VENV = os.path.join(BUILD, "bench-venv")
VENV_PY = os.path.join(VENV, "bin", "python")
WHEELHOUSE = os.path.join(BUILD, "bench-wheelhouse")
INSIDE = "PELM_BENCH_INSIDE_VENV"
# What the report says of the package measured (see install_wheel).
HOW_BUILT = ("a wheel built by `pip wheel` in pip's isolated build environment (only the build "
             "requirements of pyproject.toml, as a user's `pip install` builds it; the package uses "
             "no optional system library), then installed into the benchmark's environment")

STAGES = ("ops", "raw", "scale", "memory", "codec", "expiry", "memoize")
FULL = {"processes": 2, "rounds": 5, "warmups": 1, "target": 0.02, "churn_bytes": 16 << 20,
        "scale_top": 10_000_000,
        "memory_entries": 1_000_000, "codec_seconds": 3.0, "expiry_rounds": 9, "expiry_keys": 20_000}
SMOKE = {"processes": 1, "rounds": 1, "warmups": 0, "target": 0.0005, "churn_bytes": 64 << 10,
         "scale_top": 10_000,
         "memory_entries": 10_000, "codec_seconds": 0.05, "expiry_rounds": 1, "expiry_keys": 200}


def log(msg):
    print(f"== {msg}", file=sys.stderr, flush=True)


def digest(paths):
    h = hashlib.sha256()
    for path in sorted(paths):
        h.update(path.encode())
        with open(path, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


def tree_files(*dirs, exts=(".cpp", ".hpp", ".h")):
    out = []
    for d in dirs:
        for base, _, names in os.walk(os.path.join(ROOT, d)):
            out += [os.path.join(base, n) for n in names if n.endswith(exts)]
    return out


def run_if_changed(stamp_name, inputs, cmd):
    """Runs `cmd` unless the stamp holds the digest of `inputs` already."""
    stamp = os.path.join(VENV, stamp_name)
    want = digest(inputs)
    if os.path.exists(stamp) and open(stamp).read() == want:
        return
    subprocess.run(cmd, check=True)
    with open(stamp, "w") as f:
        f.write(want)


def prepare_venv(skip_install):
    if not os.path.exists(VENV_PY):
        log(f"creating {VENV}")
        subprocess.run([sys.executable, "-m", "venv", VENV], check=True)
        subprocess.run([VENV_PY, "-m", "pip", "install", "-q", "--upgrade", "pip"], check=True)
    req = os.path.join(BENCH, "requirements.txt")
    log("benchmark requirements")
    run_if_changed(".requirements", [req], [VENV_PY, "-m", "pip", "install", "-q", "-r", req])
    if skip_install:
        return
    log("building and installing the pelm_lib wheel (rebuilt only when sources changed)")
    sources = tree_files("src") + [os.path.join(ROOT, f) for f in ("CMakeLists.txt", "pyproject.toml")]
    run_if_changed(".package", sources, [sys.executable, os.path.abspath(__file__), "--install-wheel"])


def install_wheel():
    """Builds the wheel the way a user's `pip install` does, in a fresh build
    environment and without reusing any build folder, and installs it."""
    import glob
    import shutil
    shutil.rmtree(WHEELHOUSE, ignore_errors=True)
    subprocess.run([VENV_PY, "-m", "pip", "wheel", "-q", "--no-deps", "-w", WHEELHOUSE, ROOT], check=True)
    (wheel,) = glob.glob(os.path.join(WHEELHOUSE, "pelm_lib-*.whl"))
    subprocess.run([VENV_PY, "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall", wheel], check=True)


def python_json(script, *args):
    out = subprocess.run([sys.executable, os.path.join(BENCH, script), *map(str, args)],
                         check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out)


def stage_ops(p, workloads):
    records, payload = [], {}
    for proc in range(p["processes"]):
        for w in workloads:
            log(f"ops: {w} (process {proc + 1}/{p['processes']})")
            doc = python_json("suite.py", "--workload", w, "--rounds", p["rounds"],
                              "--warmups", p["warmups"], "--target", p["target"], "--seed", proc,
                              "--churn-bytes", p["churn_bytes"], *(["--ops", *p["ops"]] if p.get("ops") else []))
            records += doc["records"]
            payload[w] = doc["payload"]
    return records


def stage_raw(p, workloads):
    records = []
    for proc in range(p["processes"]):
        for w in workloads:
            log(f"raw: {w} (process {proc + 1}/{p['processes']})")
            records += python_json("raw_text.py", "--workload", w, "--rounds", p["rounds"],
                                   "--warmups", p["warmups"], "--target", p["target"], "--seed", proc)["records"]
    return records


def stage_scale(p, peer_names):
    out = []
    for peer in peer_names:
        log(f"scale: {peer} up to {p['scale_top']:,} entries")
        out.append(python_json("scale.py", "--peer", peer, "--top", p["scale_top"]))
    return out


def stage_memory(p, peer_names):
    import peers
    out = []
    for peer in peer_names:
        for exact in ([False, True] if peer in peers.ORJSON_BACKED else [False]):
            log(f"memory: {peer}{' (exact bytes)' if exact else ''}, {p['memory_entries']:,} entries")
            out.append(python_json("memory.py", "--peer", peer, "--entries", p["memory_entries"],
                                   *(["--exact"] if exact else [])))
        if peer == "pelm_lib":
            log(f"memory: pelm_lib with a time limit on every entry, {p['memory_entries']:,} entries")
            out.append(python_json("memory.py", "--peer", peer, "--entries", p["memory_entries"],
                                   "--ttl", 86400))
    return out


def stage_expiry(p, workload_names):
    log("expiry: plain against time-limited entries")
    return python_json("expiry.py", "--json", "--rounds", p["expiry_rounds"], "--keys", p["expiry_keys"],
                       "--workloads", *workload_names)


def stage_memoize(p):
    records = []
    for proc in range(p["processes"]):
        log(f"memoize (process {proc + 1}/{p['processes']})")
        records += python_json("memoize.py", "--rounds", p["rounds"], "--warmups", p["warmups"],
                               "--target", p["target"], "--seed", proc)["records"]
    return records


# The C++ JSON libraries the codec is compared with: Debian package, header
# that proves it is there, compile definition, link flags.
CODEC_PEERS = (("rapidjson-dev", "/usr/include/rapidjson/reader.h", "PELM_BENCH_RAPIDJSON", []),
               ("libsimdjson-dev", "/usr/include/simdjson.h", "PELM_BENCH_SIMDJSON", ["-lsimdjson"]))


def codec_peers():
    """Installs the peers' Debian packages when missing (as root; otherwise
    the codec is measured alone) and returns (definitions, link flags)."""
    missing = [pkg for pkg, header, _, _ in CODEC_PEERS if not os.path.exists(header)]
    if missing and os.geteuid() == 0:
        log(f"codec: installing {' '.join(missing)}")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "install", "-y", "-qq", *missing], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    found = [p for p in CODEC_PEERS if os.path.exists(p[1])]
    return [f"-D{p[2]}=1" for p in found], [flag for p in found for flag in p[3]]


def build_codec_bench():
    """Compiles bench/codec_bench.cpp with the codec sources; returns the binary."""
    out_dir = os.path.join(BUILD, "bench-codec")
    os.makedirs(out_dir, exist_ok=True)
    binary = os.path.join(out_dir, "codec_bench")
    # The value tree the benchmark reads into and writes from is the native
    # tests' (tests/native/value_tree), beside the codec itself.
    folders = [os.path.join("src", "codec"), os.path.join("tests", "native", "value_tree")]
    units = [os.path.join(BENCH, "codec_bench.cpp")] + sorted(
        os.path.join(ROOT, f, n) for f in folders for n in os.listdir(os.path.join(ROOT, f)) if n.endswith(".cpp"))
    inputs = units + tree_files(*folders, exts=(".hpp",))
    defines, libs = codec_peers()
    stamp = binary + ".stamp"
    want = digest(inputs) + " ".join(defines)
    if os.path.exists(binary) and os.path.exists(stamp) and open(stamp).read() == want:
        return binary
    log("codec: compiling the native codec benchmark")
    flags = ["-O3", "-DNDEBUG", "-std=c++20", f"-I{os.path.join(ROOT, 'src')}",
             f"-I{os.path.join(ROOT, 'tests', 'native')}", *defines]

    def compile_unit(src):
        obj = os.path.join(out_dir, os.path.basename(src) + ".o")
        # Our own file must stay warning-free; the codec's own warnings are
        # its owners' (its build enforces them), not this benchmark's to fail on.
        strict = ["-Wall", "-Wextra", "-Wpedantic", "-Werror"] if src.startswith(BENCH) else []
        subprocess.run(["g++", *flags, *strict, "-c", src, "-o", obj], check=True)
        return obj

    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        objects = list(pool.map(compile_unit, units))
    subprocess.run(["g++", *objects, "-o", binary, *libs], check=True)
    with open(stamp, "w") as f:
        f.write(want)
    return binary


def codec_texts(workload_names):
    """Writes each workload's compact sorted JSON text; returns NAME=FILE args."""
    import orjson
    import workloads
    text_dir = os.path.join(BUILD, "bench-codec", "texts")
    os.makedirs(text_dir, exist_ok=True)
    args = []
    for w in workload_names:
        path = os.path.join(text_dir, f"{w}.json")
        with open(path, "wb") as f:
            f.write(orjson.dumps(workloads.build(w), option=orjson.OPT_SORT_KEYS))
        args.append(f"{w}={path}")
    return args


def stage_codec(p, workload_names):
    binary = build_codec_bench()
    log("codec: measuring")
    out = subprocess.run([binary, "--seconds", str(p["codec_seconds"]), *codec_texts(workload_names)],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def machine(p, mode):
    import peers
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            stdout=subprocess.PIPE, text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"],
                           stdout=subprocess.PIPE, text=True).stdout.strip()
    return {"cpu": cpu, "cores": os.cpu_count(), "python": sys.version.split()[0],
            "commit": commit + (" + uncommitted changes in src/" if dirty else ""),
            "date": datetime.date.today().isoformat(), "versions": peers.versions(),
            "load": " ".join(f"{x:.1f}" for x in os.getloadavg()), "mode": mode,
            "package": ("the pelm_lib already in the environment or on PYTHONPATH (--no-install)"
                        if p["no_install"] else HOW_BUILT),
            "processes": p["processes"], "warmups": p["warmups"]}


def run_stages(args):
    import peers
    import report
    import workloads
    p = dict(SMOKE if args.smoke else FULL)
    if args.processes:
        p["processes"] = args.processes
    if args.rounds:
        p["rounds"] = args.rounds
        p["expiry_rounds"] = args.rounds
    p["ops"] = args.ops
    p["no_install"] = args.no_install
    out_dir = args.results or (os.path.join(BUILD, "bench-smoke") if args.smoke
                               else os.path.join(BENCH, "results"))
    wls = args.workloads or list(workloads.WORKLOADS)
    peer_names = args.peers or list(peers.PEERS)
    raw_path = os.path.join(out_dir, "raw.json")
    raw = {}
    if args.merge and os.path.exists(raw_path):
        with open(raw_path) as f:
            raw = json.load(f)
    if args.stages or "machine" not in raw:
        raw["machine"] = machine(p, "smoke" if args.smoke else "full")
    t0 = time.monotonic()
    stages = {"ops": lambda: stage_ops(p, wls), "raw": lambda: stage_raw(p, wls),
              "scale": lambda: stage_scale(p, peer_names),
              "memory": lambda: stage_memory(p, peer_names), "codec": lambda: stage_codec(p, wls),
              "expiry": lambda: stage_expiry(p, wls),
              "memoize": lambda: stage_memoize(p)}
    os.makedirs(out_dir, exist_ok=True)
    failed = []
    for stage in args.stages:
        try:
            raw[stage] = stages[stage]()
        except subprocess.CalledProcessError as e:
            log(f"{stage} failed: {e}")
            failed.append(stage)
            continue
        with open(raw_path, "w") as f:  # after every stage: a late failure loses nothing
            json.dump(raw, f)
    report.write(raw, out_dir)
    if args.profile:
        import profile_ops
        profile_ops.run(args.profile, out_dir)
    log(f"done in {time.monotonic() - t0:.0f} s: {os.path.join(out_dir, 'results.md')}")
    if failed:
        sys.exit(f"stages failed: {' '.join(failed)}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--smoke", action="store_true", help="every operation a few times, in seconds")
    ap.add_argument("--stages", nargs="*", choices=STAGES, default=list(STAGES),
                    help="stages to run (none: only rewrite the report, e.g. with --profile)")
    ap.add_argument("--workloads", nargs="+", help="only these workloads")
    ap.add_argument("--peers", nargs="+", help="only these peers (scale and memory stages)")
    ap.add_argument("--results", help="output directory (default bench/results)")
    ap.add_argument("--merge", action="store_true", help="keep stages not rerun from the last raw.json")
    ap.add_argument("--processes", type=int,
                    help="benchmark processes per workload (full run: 2); the report says how many ran")
    ap.add_argument("--rounds", type=int, help="timed rounds per process (full run: 5)")
    ap.add_argument("--ops", nargs="+", help="only these operations (ops stage)")
    ap.add_argument("--profile", nargs="*", metavar="OP:WORKLOAD",
                    help="also profile pelm_lib on these operations (needs perf or valgrind)")
    ap.add_argument("--no-install", action="store_true",
                    help="use the pelm_lib already in the environment (or on PYTHONPATH)")
    ap.add_argument("--install-wheel", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.install_wheel:
        install_wheel()
        return
    if os.environ.get(INSIDE) != "1":
        prepare_venv(args.no_install)
        env = dict(os.environ, **{INSIDE: "1"})
        os.execve(VENV_PY, [VENV_PY, os.path.abspath(__file__), *sys.argv[1:]], env)
    if args.profile is not None and not args.profile:
        args.profile = ["insert_new:small_flat", "insert_new:records_500", "get_hit:floats_100",
                        "get_hit:records_500", "contains:small_flat"]
    run_stages(args)


if __name__ == "__main__":
    main()
