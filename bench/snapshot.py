"""Snapshots: save() and load() of a full cache against pickle and orjson.

For each entry size, one cache holds `--mib` MiB of stored text (JSON
records of about that many bytes, each distinct), and a dict holds the same
keys and the same bytes. Each round, in an order that alternates between
rounds, times (with the file I/O) in a temporary directory:

- pelm save (path): `cache.save(path)`, atomic: temporary file, fsync,
  rename, directory fsync;
- pelm save (file): `cache.save(f)` to a buffered binary file, no fsync, as
  the two peers write;
- pickle dump: `pickle.dump(d, f)` of the dict (protocol 5);
- orjson lines write: the same JSON Lines written from Python, one
  `orjson.dumps([key, None, orjson.Fragment(text)])` per line;
- pelm load: `Cache(limit).load(path)` (every line and text checked);
- pickle load: `pickle.load(f)`;
- orjson lines read: `orjson.loads` of every line into a dict of values.

Throughput is the stored text's bytes over the median CPU time, in MB/s
(10^6 bytes); the atomic save is also given in wall time, which includes
waiting for the disk. The load's memory is also read once per size from /proc (Linux):
the peak resident size during the load less the resident size after it,
that is what the load needed beyond what the cache keeps.

    python bench/snapshot.py [--mib 256] [--sizes 100 1000 65536] [--rounds 3]
                             [--out bench/results/snapshot.md]

Needs pelm_lib (installed, or PYTHONPATH=<build dir>) and orjson.
"""

import argparse
import gc
import json
import os
import pickle
import platform
import statistics
import sys
import tempfile
import time

import orjson

import pelm_lib

STATUS = "/proc/self/status"


def record_text(size, i):
    """A JSON record of about `size` bytes (at least its fixed fields), distinct for each `i`."""
    doc = {"id": i, "name": f"item {i}", "ok": i % 2 == 0, "score": i / 7, "text": ""}
    doc["text"] = "x" * max(size - len(orjson.dumps(doc)), 0)
    return orjson.dumps(doc, option=orjson.OPT_SORT_KEYS)


def build(mib, size):
    n = max(1, (mib << 20) // size)
    texts = [record_text(size, i) for i in range(n)]
    keys = [f"key:{i:09d}" for i in range(n)]
    payload = sum(map(len, texts))
    cache = pelm_lib.Cache(payload * 2)
    for k, t in zip(keys, texts):
        cache.insert_raw(k, t)
    return cache, dict(zip(keys, texts)), payload


def timed(fn):
    """(CPU seconds, wall seconds) of one call."""
    gc.collect()
    cpu, wall = time.process_time(), time.perf_counter()
    fn()
    return time.process_time() - cpu, time.perf_counter() - wall


def resident():
    with open(STATUS) as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def load_memory(path, limit):
    """Peak resident bytes during a load beyond what stays after it."""
    if not os.path.exists(STATUS):
        return None
    try:
        reset_peak()
    except OSError:
        return None
    gc.collect()
    cache = pelm_lib.Cache(limit)
    cache.load(path)
    rss, peak = resident()
    del cache
    return peak - rss


def run_size(mib, size, rounds, folder):
    cache, d, payload = build(mib, size)
    paths = {name: os.path.join(folder, name) for name in ("pelm", "pelm-file", "pickle", "orjson")}

    def pelm_save_path():
        cache.save(paths["pelm"])

    def pelm_save_file():
        with open(paths["pelm-file"], "wb") as f:
            cache.save(f)

    def pickle_dump():
        with open(paths["pickle"], "wb") as f:
            pickle.dump(d, f, protocol=5)

    def orjson_write():
        fragment, dumps = orjson.Fragment, orjson.dumps
        with open(paths["orjson"], "wb") as f:
            f.writelines(dumps([k, None, fragment(t)]) + b"\n" for k, t in d.items())

    def pelm_load():
        pelm_lib.Cache(payload * 2).load(paths["pelm"])

    def pickle_load():
        with open(paths["pickle"], "rb") as f:
            pickle.load(f)

    def orjson_read():
        loads = orjson.loads
        out = {}
        with open(paths["orjson"], "rb") as f:
            for line in f:
                k, _, v = loads(line)
                out[k] = v

    cases = {"pelm save (path, atomic)": pelm_save_path, "pelm save (file, no fsync)": pelm_save_file,
             "pickle dump": pickle_dump, "orjson lines write": orjson_write,
             "pelm load": pelm_load, "pickle load": pickle_load, "orjson lines read": orjson_read}
    times = {name: [] for name in cases}
    writers = [n for n in cases if "load" not in n and "read" not in n]
    readers = [n for n in cases if n not in writers]
    for r in range(rounds):
        for group in (writers, readers):
            for name in (group if r % 2 == 0 else group[::-1]):
                times[name].append(timed(cases[name]))
    file_bytes = {name: os.path.getsize(p) for name, p in paths.items()}
    memory = load_memory(paths["pelm"], payload * 2)
    return {"entry_bytes": size, "entries": len(d), "payload": payload, "file_bytes": file_bytes,
            "load_extra_bytes": memory,
            "median_s": {n: statistics.median(c for c, _ in t) for n, t in times.items()},
            "median_wall_s": {n: statistics.median(w for _, w in t) for n, t in times.items()}}


def table(results, mib, rounds):
    names = list(results[0]["median_s"])
    lines = [f"Snapshots of {mib} MiB of stored text per entry size: MB/s of stored text over the median CPU "
             f"time of {rounds} rounds (the process's own time, file I/O calls included; what a shared machine's "
             "load does to wall time is left out), higher is better. The last column is the atomic save in wall "
             "time, waiting for its fsyncs.", "",
             "| entry size | entries | " + " | ".join(names) + " | pelm save (path), wall |",
             "|---|---:|" + "---:|" * (len(names) + 1)]
    for r in results:
        rates = [r["payload"] / r["median_s"][n] / 1e6 for n in names]
        rates.append(r["payload"] / r["median_wall_s"]["pelm save (path, atomic)"] / 1e6)
        lines.append(f"| {r['entry_bytes']:,} B | {r['entries']:,} | " + " | ".join(f"{x:,.0f}" for x in rates) + " |")
    lines += ["", "Ratios (pelm over the peer, from the same rounds):", "",
              "| entry size | save (file) / pickle dump | save (file) / orjson write | save (path) / pickle dump "
              "| load / pickle load | load / orjson read | snapshot size / text | load's extra memory / snapshot |",
              "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        m = r["median_s"]
        extra = r["load_extra_bytes"]
        size = r["file_bytes"]["pelm"]
        lines.append(f"| {r['entry_bytes']:,} B | {m['pickle dump'] / m['pelm save (file, no fsync)']:.2f} "
                     f"| {m['orjson lines write'] / m['pelm save (file, no fsync)']:.2f} "
                     f"| {m['pickle dump'] / m['pelm save (path, atomic)']:.2f} "
                     f"| {m['pickle load'] / m['pelm load']:.2f} | {m['orjson lines read'] / m['pelm load']:.2f} "
                     f"| {size / r['payload']:.2f} | {'n/a' if extra is None else f'{extra / size:.2f}'} |")
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--sizes", type=int, nargs="+", default=[100, 1000, 65536])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where the files go (default: a new temporary directory)")
    ap.add_argument("--out", default=None, help="write the table (Markdown) and raw figures (JSON) here")
    args = ap.parse_args()
    results = []
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        for size in args.sizes:
            print(f"entries of {size} B ...", file=sys.stderr, flush=True)
            results.append(run_size(args.mib, size, args.rounds, folder))
            gc.collect()
    text = table(results, args.mib, args.rounds)
    machine = f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, " \
              f"orjson {orjson.__version__}, load average {os.getloadavg()[0]:.1f} at the end"
    print(text + "\n" + machine)
    if args.out:
        with open(args.out, "w") as f:
            f.write("# Snapshot benchmark\n\n`python bench/snapshot.py " + " ".join(sys.argv[1:]) + "`\n\n"
                    + text + "\n" + machine + "\n")
        with open(os.path.splitext(args.out)[0] + ".json", "w") as f:
            json.dump({"machine": machine, "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
