"""The shared tier on Redis, one run: what a local hit saves, what a remote
hit costs, what 4 worker processes gain on a skewed key set, and how soon a
write reaches the other processes' local tiers.

Starts its own redis-server on a free loopback port (no persistence) and
stops it at the end. Stages:
- hits: one process, one ~300-byte record; per call medians of `--rounds`
  rounds, the cases in a new order each round: `TieredCache.get` served locally; a dict of decoded objects
  (`d[key]`, no copy); `redis.Redis.get` + `orjson.loads`; `TieredCache.get`
  served by Redis, with a local tier of limit 0 (nothing is kept) and with
  the local tier emptied before each call (the reply is kept there).
- workers: 4 processes for `--seconds` each way, keys drawn from a Zipf
  distribution (s=1.1) over 10,000 keys all present in Redis, 98% reads and
  2% writes; with the tier (local hits, coherent) and without it (every
  read is `get` + `orjson.loads`). Hit rate is the share of reads served
  locally; requests per second are summed over the workers.
- invalidation: 1 writer and 3 reader processes; each round the readers hold
  the key locally, the writer rewrites it, and each reader notes when its
  copy left (polling every 50 us). Latency from just before the writer's
  `insert` to that moment (CLOCK_MONOTONIC is shared by the processes).

    python bench/redis_tier.py [--rounds 15] [--seconds 4] [--writes 200]

Writes bench/results/redis_tier.md (and prints it).
"""

import argparse
import multiprocessing
import os
import platform
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import orjson
import redis

import pelm_lib
import pelm_redis

RESULTS = Path(__file__).resolve().parent / "results" / "redis_tier.md"
RECORD = {"id": 12345, "name": "Ada Lovelace", "email": "ada@example.com", "active": True,
          "roles": ["admin", "dev", "ops"], "score": 98.5, "created": "2024-05-01T12:00:00Z",
          "address": {"street": "12 Analytical Row", "city": "London", "zip": "NW1 6XE"},
          "tags": ["math", "engines", "poetry", "notes"], "visits": [3, 1, 4, 1, 5, 9, 2, 6]}
KEYS = 10_000
ZIPF_S = 1.1
WRITE_SHARE = 0.02


def start_server():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    folder = tempfile.mkdtemp(prefix="pelm-bench-redis-")
    server = subprocess.Popen([shutil.which("redis-server") or "redis-server", "--port", str(port), "--bind",
                               "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", folder],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = redis.Redis(host="127.0.0.1", port=port)
    for _ in range(500):
        try:
            client.ping()
            return server, port, folder
        except redis.ConnectionError:
            time.sleep(0.01)
    server.kill()
    sys.exit("redis-server did not start")


def per_call_ns(cases, rounds):
    """Median ns per call of each case; every round runs the cases in a new
    order, so a burst of load elsewhere does not land on one case alone."""
    times = {name: [] for name in cases}
    order = list(cases)
    for _ in range(rounds):
        random.shuffle(order)
        for name in order:
            call, loops = cases[name]
            start = time.perf_counter_ns()
            for _ in range(loops):
                call()
            times[name].append((time.perf_counter_ns() - start) / loops)
    return {name: statistics.median(found) for name, found in times.items()}


def stage_hits(port, rounds):
    client = redis.Redis(host="127.0.0.1", port=port)
    with pelm_redis.TieredCache(client, namespace="bench:") as tier, \
         pelm_redis.TieredCache(redis.Redis(host="127.0.0.1", port=port), namespace="bench:",
                                local=pelm_lib.Cache(0)) as remote_only:
        tier.insert("record", RECORD)
        tier.get("record")
        decoded = {"record": orjson.loads(client.get("bench:record"))}
        cases = {
            "TieredCache.get, local hit": (lambda: tier.get("record"), 20_000),
            "dict of decoded objects (d[key], shared, no copy)": (lambda: decoded["record"], 200_000),
            "redis.Redis.get + orjson.loads": (lambda: orjson.loads(client.get("bench:record")), 1_000),
            "TieredCache.get, remote hit (local tier of limit 0)": (lambda: remote_only.get("record"), 1_000),
            "TieredCache.get, remote hit kept locally (clear_local() before each)": (
                lambda: (tier.clear_local(), tier.get("record")), 1_000),
        }
        return per_call_ns(cases, rounds)


def zipf_keys(rng, count):
    weights = [1 / (rank ** ZIPF_S) for rank in range(1, KEYS + 1)]
    return [f"z{k}" for k in rng.choices(range(KEYS), weights=weights, k=count)]


def worker(port, tiered, seconds, seed, out):
    rng = random.Random(seed)
    draws = zipf_keys(rng, 200_000)
    client = redis.Redis(host="127.0.0.1", port=port)
    tier = pelm_redis.TieredCache(client, namespace="zipf:") if tiered else None
    requests = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key in draws[requests % 100_000: requests % 100_000 + 100]:
            requests += 1
            write = rng.random() < WRITE_SHARE
            if tier is not None:
                if write:
                    tier.insert(key, RECORD)
                else:
                    tier.get(key)
            elif write:
                client.set("zipf:" + key, orjson.dumps(RECORD, option=orjson.OPT_SORT_KEYS))
            else:
                orjson.loads(client.get("zipf:" + key))
    stats = tier.stats() if tier is not None else None
    if tier is not None:
        tier.close()
    out.put((requests, stats.local_hits if stats else 0, stats.remote_hits if stats else requests))


def stage_workers(port, seconds):
    client = redis.Redis(host="127.0.0.1", port=port)
    text = orjson.dumps(RECORD, option=orjson.OPT_SORT_KEYS)
    with client.pipeline(transaction=False) as pipe:
        for k in range(KEYS):
            pipe.set(f"zipf:z{k}", text)
        pipe.execute()
    ctx = multiprocessing.get_context("spawn")
    found = {}
    for tiered in (False, True):
        out = ctx.Queue()
        procs = [ctx.Process(target=worker, args=(port, tiered, seconds, seed, out)) for seed in range(4)]
        for proc in procs:
            proc.start()
        totals = [out.get(timeout=seconds + 60) for _ in procs]
        for proc in procs:
            proc.join()
        requests = sum(t[0] for t in totals)
        local = sum(t[1] for t in totals)
        reads = local + sum(t[2] for t in totals)
        found["with the tier" if tiered else "without (get + orjson.loads)"] = (
            requests / seconds, local / reads if reads else 0.0)
    return found


def reader(port, start, held, done, out, rounds):
    tier = pelm_redis.TieredCache(redis.Redis(host="127.0.0.1", port=port), namespace="inval:")
    for _ in range(rounds):
        start.wait()
        tier.get("k")
        tier.get("k")
        held.wait()
        while tier.local.contains("k"):
            time.sleep(50e-6)
        out.put(time.monotonic())
        done.wait()
    tier.close()


def stage_invalidation(port, rounds):
    ctx = multiprocessing.get_context("spawn")
    start, held, done = (ctx.Barrier(4) for _ in range(3))
    out = ctx.Queue()
    readers = [ctx.Process(target=reader, args=(port, start, held, done, out, rounds)) for _ in range(3)]
    for proc in readers:
        proc.start()
    writer = pelm_redis.TieredCache(redis.Redis(host="127.0.0.1", port=port), namespace="inval:")
    latencies = []
    for i in range(rounds):
        writer.insert("k", {"round": i})
        time.sleep(0.005)  # the write's own invalidation has passed before readers fill
        start.wait()
        held.wait()
        began = time.monotonic()
        writer.insert("k", {"round": -i})
        latencies += [out.get(timeout=10) - began for _ in readers]
        done.wait()
    for proc in readers:
        proc.join()
    writer.close()
    latencies.sort()
    return statistics.median(latencies), latencies[int(0.99 * (len(latencies) - 1))], len(latencies)


def report(hits, workers, invalidation, args):
    median_ns, p99_ns, samples = invalidation
    local = hits["TieredCache.get, local hit"]
    lines = [
        "# The shared tier on Redis",
        "",
        f"One run of `python bench/redis_tier.py --rounds {args.rounds} --seconds {args.seconds} "
        f"--writes {args.writes}` on {platform.machine()}, {os.cpu_count()} cores, Python "
        f"{platform.python_version()}, redis-py {redis.__version__}, "
        f"{subprocess.run(['redis-server', '--version'], capture_output=True, text=True).stdout.split()[2]}, "
        f"server and clients on loopback, load average {os.getloadavg()[0]:.1f} at the end. "
        "Per-call figures are medians of the rounds (wall time).",
        "",
        "## A read of one ~300-byte record",
        "",
        "| call | ns per call | against the local hit |",
        "|---|---:|---:|",
    ]
    lines += [f"| {name} | {ns:,.0f} | {ns / local:.2f}x |" for name, ns in hits.items()]
    lines += [
        "",
        f"## 4 worker processes, Zipf (s={ZIPF_S}) over {KEYS:,} keys, {1 - WRITE_SHARE:.0%} reads, "
        f"{args.seconds} s each",
        "",
        "| | requests per second (all workers) | reads served locally |",
        "|---|---:|---:|",
    ]
    lines += [f"| {name} | {rps:,.0f} | {rate:.1%} |" for name, (rps, rate) in workers.items()]
    lines += [
        "",
        "## From a write to the other processes' invalidation",
        "",
        f"{samples} samples (3 readers x {args.writes} writes): median {median_ns * 1e6:,.0f} us, "
        f"99th percentile {p99_ns * 1e6:,.0f} us.",
        "",
    ]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--writes", type=int, default=200)
    ap.add_argument("--output", type=Path, default=RESULTS)
    args = ap.parse_args()
    server, port, folder = start_server()
    try:
        hits = stage_hits(port, args.rounds)
        workers = stage_workers(port, args.seconds)
        invalidation = stage_invalidation(port, args.writes)
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(folder, ignore_errors=True)
    text = report(hits, workers, invalidation, args)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
