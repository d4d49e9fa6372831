"""Turns the raw measurements into results.md, the PNG charts and a pyperf file.

Input: the JSON that run.py gathered from the benchmark processes (ops, scale,
memory, codec, machine). Output, in the results directory: results.md (the
tables and the target check), ops.png, scale.png, and ops.pyperf.json, which
`python -m pyperf compare_to old.json new.json` can compare across runs.
Ratios are always peer / pelm_lib: above 1 means pelm_lib is faster.
"""

import json
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)

import harness  # noqa: E402
import ops as ops_mod  # noqa: E402
import peers  # noqa: E402
import workloads  # noqa: E402

PELM = "pelm_lib"
CODEC_GOAL_MBPS = 1000.0


def medians(op_records):
    """(workload, op, peer) -> median seconds per op over all rounds."""
    pooled = {}
    for r in op_records:
        pooled.setdefault((r["workload"], r["op"], r["peer"]), []).extend(r["values"])
    return {k: harness.median(v) for k, v in pooled.items() if v}


def rounds_per_cell(op_records):
    pooled = {}
    for r in op_records:
        key = (r.get("workload", r.get("case")), r["op"], r["peer"])
        pooled[key] = pooled.get(key, 0) + len(r["values"])
    return min(pooled.values()) if pooled else 0


def fmt_ns(seconds):
    ns = seconds * 1e9
    if ns >= 100_000:
        return f"{ns / 1000:,.0f} µs"
    if ns >= 10_000:
        return f"{ns / 1000:.1f} µs"
    return f"{ns:,.0f} ns" if ns >= 100 else f"{ns:.1f} ns"


def participants():
    return list(peers.PEERS) + [peers.FLOOR]


def _present(med, names, ops):
    return [n for n in names if any((w, o) for (w, o, p) in med if p == n and o in ops)]


def ops_tables(med):
    lines = []
    cols = participants()
    for w in workloads.WORKLOADS:
        if not any(k[0] == w for k in med):
            continue
        lines += [f"### {w}", "",
                  "| op | " + " | ".join(cols) + " |",
                  "|---|" + "---:|" * len(cols)]
        for op in ops_mod.OPS:
            base = med.get((w, op, PELM))
            if base is None:
                continue
            cells = []
            for p in cols:
                t = med.get((w, op, p))
                if t is None:
                    cells.append("")
                elif p == PELM:
                    cells.append(f"**{fmt_ns(t)}**")
                else:
                    cells.append(f"{fmt_ns(t)} ({t / base:.2f}x)" if base > 0 else fmt_ns(t))
            lines.append(f"| {op} | " + " | ".join(cells) + " |")
        lines.append("")
    return lines


# The reference that stands for the fastest cache a user can assemble: per
# workload and operation, whichever peer was fastest in this run.
FASTEST = "fastest assembled peer"


def _reference(med, w, op, peer):
    if peer != FASTEST:
        return med.get((w, op, peer))
    times = [t for (w2, o, p), t in med.items() if w2 == w and o == op and p not in (PELM, peers.FLOOR)]
    return min(times) if times else None


def _ratio(med, w, op, other_op, other_peer):
    a, b = med.get((w, op, PELM)), _reference(med, w, other_op, other_peer)
    return None if a is None or not b or b <= 0 else a / b


# (column title, pelm op, reference op, reference participant, ratio it must stay under)
TARGETS = [
    ("insert_new / fastest peer", "insert_new", "insert_new", FASTEST, 1.0),
    ("evict_churn / fastest peer", "evict_churn", "evict_churn", FASTEST, 1.0),
    ("evict_churn / orjson.dumps", "evict_churn", "evict_churn", peers.FLOOR, 1.3),
    ("get / orjson.loads", "get_hit", "get_hit", peers.FLOOR, 1.0),
    ("contains() / `k in dict`", "contains", "in", peers.FLOOR, 1.5),
    ("`in` / `k in dict`", "in", "in", peers.FLOOR, 1.5),
    ("len() / `k in dict`", "len", "in", peers.FLOOR, 1.5),
]


def target_table(med):
    lines = ["| workload | " + " | ".join(f"{t[0]} (≤ {t[4]})" for t in TARGETS) + " |",
             "|---|" + "---:|" * len(TARGETS)]
    misses = []
    for w in workloads.WORKLOADS:
        cells = []
        for title, op, ref_op, ref_peer, limit in TARGETS:
            r = _ratio(med, w, op, ref_op, ref_peer)
            if r is None:
                cells.append("")
                continue
            ok = r <= limit
            cells.append(f"{r:.2f} {'✓' if ok else '✗'}")
            if not ok:
                misses.append(f"{w}: {title} = {r:.2f} (limit {limit})")
        if any(cells):
            lines.append(f"| {w} | " + " | ".join(cells) + " |")
    return lines, misses


README_ROWS = {"small_flat": "small flat dict", "api_record": "API record", "floats_100": "100 floats",
               "ints_1000": "1,000 ints", "text_1k": "1 KiB non-ASCII text", "records_500": "500 records (~66 KB)",
               "deep_100": "100 levels deep", "geo_pairs_50": "50 [lon, lat] pairs, 6 decimals",
               "floats_bits_100": "100 doubles from random bits", "records_200": "200 mixed records (~33 KB)",
               "doc_emoji_ja": "real: emoji names, Japanese (257 KB)",
               "doc_geojson": "real: GeoJSON districts (100 KB)", "doc_cars": "real: 406 car records (72 KB)"}


def readme_table(med):
    """The README's performance table: the steady state (an insert into a full
    cache, which evicts), the fastest assembled cache, the floors."""
    lines = ["| workload | insert, full cache | fastest assembled cache | floor: `orjson.dumps` | get (hit) "
             "| fastest assembled cache | floor: `orjson.loads` | `key in cache` | floor: `key in dict` |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for w, label in README_ROWS.items():
        cells = [med.get((w, "evict_churn", PELM)), _reference(med, w, "evict_churn", FASTEST),
                 med.get((w, "evict_churn", peers.FLOOR)), med.get((w, "get_hit", PELM)),
                 _reference(med, w, "get_hit", FASTEST), med.get((w, "get_hit", peers.FLOOR)),
                 med.get((w, "in", PELM)), med.get((w, "in", peers.FLOOR))]
        if cells[0] is None:
            continue
        lines.append(f"| {label} | " + " | ".join("" if c is None else fmt_ns(c) for c in cells) + " |")
    return lines


def save_chart(fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def ops_chart(med, path):
    ops = [o for o in ops_mod.OPS if any(k[1] == o for k in med)]
    wls = [w for w in workloads.WORKLOADS if any(k[0] == w for k in med)]
    cols = participants()
    fig, axes = plt.subplots(3, 3, figsize=(18, 13))
    width = 0.8 / len(cols)
    for ax, op in zip(axes.flat, ops):
        for i, p in enumerate(cols):
            ys = [med.get((w, op, p), float("nan")) * 1e9 for w in wls]
            xs = [j + (i - len(cols) / 2 + 0.5) * width for j in range(len(wls))]
            ax.bar(xs, ys, width, label=p)
        ax.set_yscale("log")
        ax.set_title(op)
        ax.set_ylabel("CPU ns per op (median)")
        ax.set_xticks(range(len(wls)))
        ax.set_xticklabels(wls, rotation=30, ha="right", fontsize=8)
    for ax in list(axes.flat)[len(ops):]:
        ax.axis("off")
    axes.flat[0].legend(fontsize=8)
    fig.suptitle("pelm_lib vs peers: CPU time per operation (lower is better)")
    save_chart(fig, path)


def scale_lines(scale):
    if not scale:
        return []
    lines = ["| peer | entries | insert median | insert slowest batch | get median | ",
             "|---|---:|---:|---:|---:|"]
    for s in scale:
        for row in s["rows"]:
            lines.append(f"| {s['peer']} | {row['entries']:,} | {row['insert']['median_ns']:.0f} ns"
                         f" | {row['insert']['max_ns']:.0f} ns | {row['get']['median_ns']:.0f} ns |")
    lines += ["", f"Dropping the full cache ({scale[0]['rows'][-1]['entries']:,} entries):", "",
              "| peer | wall | CPU | VmStk before → after |", "|---|---:|---:|---:|"]
    for s in scale:
        d = s["drop"]
        lines.append(f"| {s['peer']} | {d['wall_s'] * 1000:.0f} ms | {d['cpu_s'] * 1000:.0f} ms"
                     f" | {d['vmstk_before_kib']} → {d['vmstk_after_kib']} KiB |")
    return lines


def scale_chart(scale, path):
    fig, axes = plt.subplots(1, 2, figsize=(14, 5))
    for ax, what in zip(axes, ("insert", "get")):
        for s in scale:
            xs = [r["entries"] for r in s["rows"]]
            ax.plot(xs, [r[what]["median_ns"] for r in s["rows"]], marker="o", label=s["peer"])
        ax.set_xscale("log")
        ax.set_xlabel("entries in the cache")
        ax.set_ylabel("CPU ns per op (median batch)")
        ax.set_title(f"{what} as the cache grows")
        ax.set_ylim(bottom=0)
        ax.legend(fontsize=8)
    save_chart(fig, path)


def memory_lines(memory):
    if not memory:
        return []
    rows = {}
    for m in memory:
        name = m["peer"] + (" (insert_ttl)" if m.get("ttl") else "")
        rows.setdefault(name, {})[m["exact"]] = m
    lines = ["| peer | bytes per entry beyond key + payload | with orjson output copied to size |",
             "|---|---:|---:|"]
    for p in [n for peer in peers.PEERS for n in (peer, peer + " (insert_ttl)")]:
        if p not in rows:
            continue
        plain = rows[p].get(False)
        exact = rows[p].get(True)
        exact_cell = "" if exact is None else f"{exact['overhead_per_entry']:.0f}"
        lines.append(f"| {p} | {plain['overhead_per_entry']:.0f} | {exact_cell} |")
    n = memory[0]["entries"]
    lines += ["", f"Over {n:,} entries of `{{\"id\": i}}` under 12-byte keys made in the fill loop."]
    return lines


def expiry_lines(rows):
    lines = ["| workload | operation | plain | with a time limit | ratio |", "|---|---|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['workload']} | {r['op']} | {fmt_ns(r['plain_s'])} | {fmt_ns(r['timed_s'])} "
                     f"| {r['timed_s'] / r['plain_s']:.2f} |")
    return lines


# (column title, field) of the C++ libraries codec_bench.cpp measures beside
# the codec when their Debian packages are installed.
CODEC_PEER_COLUMNS = [("RapidJSON SAX", "rapidjson_sax_mbps"), ("RapidJSON Document", "rapidjson_dom_mbps"),
                      ("simdjson DOM", "simdjson_dom_mbps"), ("RapidJSON Writer", "rapidjson_write_mbps"),
                      ("simdjson to_string", "simdjson_write_mbps")]


def codec_lines(codec):
    if not codec:
        return []
    peers_cols = [(t, k) for t, k in CODEC_PEER_COLUMNS if any(k in c for c in codec)]
    lines = ["| workload | text bytes | reader, events only | reader → value tree | writer (value tree) "
             "| canonicaliser (insert_raw) | " + "".join(f"{t} | " for t, _ in peers_cols),
             "|---|---:|---:|---:|---:|---:|" + "---:|" * len(peers_cols)]
    for c in codec:
        marks = ["" if c.get(k, 0) >= CODEC_GOAL_MBPS else " ✗"
                 for k in ("read_events_mbps", "read_tree_mbps", "write_mbps", "canonical_mbps")]
        canonical = f"{c['canonical_mbps']:,.0f} MB/s{marks[3]}" if "canonical_mbps" in c else ""
        peer_cells = "".join(f"{c[k]:,.0f} MB/s | " if k in c else " | " for _, k in peers_cols)
        lines.append(f"| {c['workload']} | {c['text_bytes']:,} | {c['read_events_mbps']:,.0f} MB/s{marks[0]}"
                     f" | {c['read_tree_mbps']:,.0f} MB/s{marks[1]} | {c['write_mbps']:,.0f} MB/s{marks[2]}"
                     f" | {canonical} | " + peer_cells)
    return lines


RAW_SERVE_GOAL = 1.5        # get_raw / (dict[k] + one bytes copy)
RAW_STORE_GOAL_MBPS = 1000.0  # insert_raw, MB of input text per CPU second


def raw_lines(raw_records):
    """Per workload: serving stored bytes, then storing text; ratios to the first contestant."""
    pooled, sizes = {}, {}
    for r in raw_records:
        pooled.setdefault((r["workload"], r["op"], r["contestant"]), []).extend(r["values"])
        sizes[(r["workload"], r["op"])] = r["text_bytes"]
    med = {k: harness.median(v) for k, v in pooled.items() if v}
    ops = {}
    for (w, op, c) in med:
        ops.setdefault(op, [])
        if c not in ops[op]:
            ops[op].append(c)
    lines = []
    for op, title in (("serve", "Serving a stored response as bytes"),
                      ("store_canonical", "Storing compact sorted JSON text"),
                      ("store_pretty", "Storing indented JSON text (json.dumps(indent=2))")):
        if op not in ops:
            continue
        cols = ops[op]
        extra = "get_raw / floor" if op == "serve" else "insert_raw input MB/s"
        lines += [f"### {title}", "", "| workload | text bytes | " + " | ".join(cols) + f" | {extra} |",
                  "|---|---:|" + "---:|" * (len(cols) + 1)]
        for w in workloads.WORKLOADS:
            base = med.get((w, op, cols[0]))
            if base is None:
                continue
            cells = [f"**{fmt_ns(base)}**"] + [
                f"{fmt_ns(med[(w, op, c)])} ({med[(w, op, c)] / base:.2f}x)" if (w, op, c) in med else ""
                for c in cols[1:]]
            if op == "serve":
                floor = med.get((w, op, cols[-1]))
                ratio = base / floor if floor else float("nan")
                goal = f"{ratio:.2f} {'✓' if ratio <= RAW_SERVE_GOAL else '✗'}"
            else:
                mbps = sizes[(w, op)] / base / 1e6
                goal = f"{mbps:,.0f} {'✓' if mbps >= RAW_STORE_GOAL_MBPS else '✗'}"
            lines.append(f"| {w} | {sizes[(w, op)]:,} | " + " | ".join(cells) + f" | {goal} |")
        lines.append("")
    return lines


MEMO_GOALS = [("cachetools", 1.0), ("cachetools+deepcopy", 0.5)]


def memoize_lines(records):
    """A table per case (hit and miss for every peer) and the goal check:
    a pelm_lib hit under a cachetools hit and under half a deepcopy one."""
    pooled = {}
    for r in records:
        pooled.setdefault((r["case"], r["op"], r["peer"]), []).extend(r["values"])
    med = {k: harness.median(v) for k, v in pooled.items() if v}
    lines = []
    for case in dict.fromkeys(k[0] for k in med):
        cols = list(dict.fromkeys(p for (c, _, p) in med if c == case))
        lines += [f"### {case}", "", "| call | " + " | ".join(cols) + " |", "|---|" + "---:|" * len(cols)]
        for op in ("hit", "miss"):
            base = med[(case, op, PELM)]
            cells = [f"**{fmt_ns(base)}**" if p == PELM else f"{fmt_ns(t)} ({t / base:.2f}x)"
                     for p, t in ((p, med[(case, op, p)]) for p in cols)]
            lines.append(f"| {op} | " + " | ".join(cells) + " |")
        hit = med[(case, "hit", PELM)]
        checks = [f"hit / {p} hit = {hit / med[(case, 'hit', p)]:.2f} (goal < {limit}) "
                  f"{'✓' if hit / med[(case, 'hit', p)] < limit else '✗'}" for p, limit in MEMO_GOALS]
        lines += ["", "Goals: " + "; ".join(checks) + ".", ""]
    return lines


def write_pyperf(op_records, path):
    import pyperf
    benches = {}
    for r in op_records:
        # pyperf takes only positive times; with the empty loop subtracted a
        # round of a few-nanosecond op can come out at or below zero when the
        # empty loop was the one disturbed. The median tables keep them.
        values = [v for v in r["values"] if v > 0]
        warmups = [(r["loops"], w) for w in r["warmups"] if w > 0]
        if not values:
            continue
        name = f"{r['workload']}/{r['op']}/{r['peer']}"
        run = pyperf.Run(values, warmups=warmups or None,
                         metadata={"name": name, "unit": "second", "loops": r["loops"]},
                         collect_metadata=False)
        benches.setdefault(name, []).append(run)
    suite = pyperf.BenchmarkSuite([pyperf.Benchmark(runs) for runs in benches.values()])
    suite.dump(path, replace=True)


def write(raw, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    med = medians(raw.get("ops", []))
    m = raw["machine"]
    lines = ["# Benchmark results", "",
             f"Commit `{m['commit']}`, {m['date']}; {m['cpu']} ({m['cores']} cores), "
             f"Python {m['python']}; peers: "
             + ", ".join(f"{k} {v}" for k, v in m["versions"].items()) + ".", "",
             f"**These numbers are from a shared 2-core machine** (other people were compiling "
             f"at the same time; load average {m['load']} at the start). Every figure is CPU time "
             f"of the benchmark process (not wall time), the median of "
             f"{rounds_per_cell(raw.get('ops') or raw.get('memoize', []))} rounds spread over "
             f"{m['processes']} processes "
             f"(after {m['warmups']} warm-up round(s) each), with the empty loop's cost taken out. "
             "Ratios are peer / pelm_lib: above 1 means pelm_lib is faster. "
             f"Mode: {m['mode']}.", "",
             f"Package measured: {m.get('package', 'not recorded')}.", ""]
    if med:
        table, misses = target_table(med)
        lines += ["## Targets", "",
                  "pelm_lib's time divided by the reference's (✓ within the limit, ✗ missed). "
                  "Membership and `len` are compared with `k in dict` on the same keys.", ""]
        lines += table + [""]
        lines += (["Missed:", ""] + [f"- {x}" for x in misses] if misses else ["Every target met."])
        lines += ["", "## Every operation (CPU time per op, median)", "", "![ops](ops.png)", "",
                  "Floors: " + "; ".join(f"{op}: {lbl}" for op, (lbl, _) in peers.FLOOR_STATEMENTS.items())
                  + ". lru-dict is capped by entry count, not bytes; cachebox counts the value's "
                  "byte length through `getsizeof`; cachetools through `getsizeof=len`. Keys are "
                  "reused str objects, so dict-based peers find their hash cached.", ""]
        lines += ops_tables(med)
        ops_chart(med, os.path.join(out_dir, "ops.png"))
        with open(os.path.join(out_dir, "readme_table.md"), "w") as f:
            f.write("\n".join(readme_table(med)) + "\n")
        write_pyperf(raw["ops"], os.path.join(out_dir, "ops.pyperf.json"))
    if raw.get("raw"):
        lines += ["## JSON text in and out: get_raw and insert_raw", "",
                  "Medians of CPU time per call; ratios are the contestant's time / the first "
                  f"column's (above 1: the first is faster). Goals: get_raw within {RAW_SERVE_GOAL}x "
                  "of the floor (`d[k][:]` on a dict of bytearrays: one lookup and one copy of the "
                  "same length); insert_raw "
                  f"at least {RAW_STORE_GOAL_MBPS:,.0f} MB/s of input on large texts.", ""]
        lines += raw_lines(raw["raw"])
    if raw.get("scale"):
        lines += ["## Scale: one cache growing to its largest size", "", "![scale](scale.png)", ""]
        lines += scale_lines(raw["scale"]) + [""]
        scale_chart(raw["scale"], os.path.join(out_dir, "scale.png"))
    if raw.get("memory"):
        lines += ["## Memory per entry (RSS growth)", ""] + memory_lines(raw["memory"]) + [""]
    if raw.get("codec"):
        lines += ["## Codec alone (native, no Python)", "",
                  f"MB/s of JSON text per CPU second, median of 5 rounds; ✗ marks below the "
                  f"{CODEC_GOAL_MBPS:.0f} MB/s goal. Texts are the workloads' compact sorted JSON. "
                  "Beside it, on the same texts and compiled with the same flags, the C++ JSON "
                  "libraries Debian ships: RapidJSON (validating UTF-8, floats at full precision, "
                  "as this codec does) and simdjson (whose DOM reading always does both).", ""]
        lines += codec_lines(raw["codec"]) + [""]
    if raw.get("expiry"):
        lines += ["## Time limits (bench/expiry.py)", "",
                  "pelm_lib alone: `insert` of a new key against `insert_ttl` with an hour's limit, a hit on "
                  "a plain entry against one on a timed entry, and a churn where each step stores a new "
                  "key and reads one long gone: evicted from a full cache (plain) or expired after 20 µs "
                  "(timed, the cache never fills). Medians of CPU time per operation.", ""]
        lines += expiry_lines(raw["expiry"]) + [""]
    if raw.get("memoize"):
        lines += ["## Memoized calls", "",
                  "CPU time per call, median; in brackets the peer's time over pelm_lib's. "
                  "`record(user_id, filters)` returns a five-member dict (cachetools keys it by "
                  "`(user_id, frozenset(filters.items()))`, since a dict cannot be hashed); "
                  "`two_ints(a, b)` returns an int. A miss includes running the function. "
                  "functools.lru_cache takes hashable arguments only, so it appears for two ints alone.",
                  ""] + memoize_lines(raw["memoize"])
    profiles = sorted(n for n in os.listdir(out_dir) if n.startswith("profile-") and n.endswith(".txt"))
    if profiles:
        lines += ["## Profiles of pelm_lib", "",
                  "CPU-clock samples (perf) of one operation looped on a build with symbols; "
                  "self time, inclusive time and the hottest source lines of the top functions "
                  "(`python bench/run.py --no-install --merge --stages --profile OP:WORKLOAD`).", ""]
        lines += [f"- [{n[len('profile-'):-len('.txt')]}]({n})" for n in profiles] + [""]
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write("\n".join(lines))
