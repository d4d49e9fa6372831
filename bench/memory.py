"""Process memory per entry beyond key and payload, from RSS deltas.

One peer per fresh process (run by run.py); prints JSON. Keys and values are
made inside the fill loop and dropped by the caller at once, as in a service
that caches what it just computed, so whatever the cache keeps alive (its
own key copy or the caller's str object, byte objects, nodes, map slots) is
charged to the cache. The overhead is (RSS growth - UTF-8 key bytes -
payload bytes) / entries; the payload is what each cache itself counts.
`--ttl SECONDS` fills pelm_lib with insert_ttl instead (entries that expire
after the measurement), to show what a time limit adds per entry.
"""

import argparse
import gc
import json
import os
import sys

import ops
import peers

_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def fill(peer, entries, ttl=None):
    insert = peer.insert if ttl is None else (lambda k, v: peer.box.insert_ttl(k, v, ttl))
    for i in range(entries):
        insert(f"key:{i:08d}", {"id": i})


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--peer", required=True, choices=list(peers.PEERS))
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--exact", action="store_true", help="store orjson output copied to size")
    ap.add_argument("--ttl", type=float, help="pelm_lib only: fill with insert_ttl and this limit")
    args = ap.parse_args(argv)
    if args.ttl is not None and args.peer != "pelm_lib":
        ap.error("--ttl is for pelm_lib")
    make, _ = peers.PEERS[args.peer]
    peer = make(ops.BIG_LIMIT, ops.UNCAPPED_ENTRIES, exact=args.exact)
    peer.insert("warm-up", {"id": 0})
    peer.remove("warm-up")
    gc.collect()
    before = rss_bytes()
    fill(peer, args.entries, args.ttl)
    gc.collect()
    grown = rss_bytes() - before
    key_bytes = args.entries * len("key:00000000")
    payload = peer.payload_bytes()
    json.dump({"peer": args.peer, "exact": args.exact, "ttl": args.ttl, "entries": args.entries,
               "rss_growth": grown,
               "key_bytes": key_bytes, "payload_bytes": payload,
               "overhead_per_entry": (grown - key_bytes - payload) / args.entries},
              sys.stdout)


if __name__ == "__main__":
    main()
