"""The operations timed for every peer, and the state each one starts from.

Each operation is one statement run once per key `k`; `make_keys` gives the
keys of one round, and `setup` builds a fresh peer in the state the statement
needs and returns the names the statement uses. Operations that change the cache (new inserts,
removals, churn) get keys never seen before in every round; the others loop
over a small working set of present (or absent) keys repeated as often as the
round needs, so their setup stays cheap.

Capacity: ordinary rounds use a limit no workload reaches. `evict_churn`
fills the cache to exactly `churn_entries` entries of the workload's own
payload (measured per peer, since encoders may differ by a byte), so every
timed insert evicts exactly one entry; lru-dict gets the same entry count.
"""

from typing import NamedTuple

import peers

BIG_LIMIT = 1 << 62
UNCAPPED_ENTRIES = 1 << 30
WORKING_SET_KEYS = 1024
WORKING_SET_BYTES = 4 << 20
# How much a full cache holds for `evict_churn`; the smoke run lowers it.
churn_bytes = 16 << 20


class Op(NamedTuple):
    stmt: str       # run once per key k
    fresh: bool     # keys never inserted before (the op changes the cache)
    prefill: str    # "none", "keys" (the timed keys), "others" or "full"


OPS = {
    "insert_new": Op("insert(k, v)", True, "none"),
    "insert_overwrite": Op("insert(k, v)", False, "keys"),
    "get_hit": Op("get(k)", False, "keys"),
    "get_miss": Op("try:\n    get(k)\nexcept KeyError:\n    pass", False, "others"),
    "contains": Op("contains(k)", False, "keys"),
    "in": Op("k in box", False, "keys"),
    "remove": Op("remove(k)", True, "keys"),
    "len": Op("len(box)", False, "keys"),
    "evict_churn": Op("insert(k, v)", True, "full"),
}


def payload_size(peer_name, value):
    make, _ = peers.PEERS[peer_name]
    p = make(BIG_LIMIT, UNCAPPED_ENTRIES)
    p.insert("probe", value)
    return p.payload_bytes()


def churn_entries(payload):
    return max(16, min(1000, churn_bytes // max(payload, 1)))


def working_set(payload):
    """Distinct keys the non-mutating ops cycle over: at most 1024, fewer
    for big values so that filling the cache stays cheap."""
    return max(16, min(WORKING_SET_KEYS, WORKING_SET_BYTES // max(payload, 1)))


def make_keys(op_name, n, round_tag, distinct):
    """The keys one round loops over (fresh ones carry the round's tag)."""
    op = OPS[op_name]
    if op.fresh:
        return [f"{op_name}:{round_tag}:{i:08d}" for i in range(n)]
    base = [f"key:{i:08d}" for i in range(min(n, distinct))]
    return (base * (n // len(base) + 1))[:n]


def _present_keys(op_name, keys):
    prefill = OPS[op_name].prefill
    if prefill == "keys":
        return list(dict.fromkeys(keys))
    if prefill == "others":
        return [f"other:{i:08d}" for i in range(64)]
    return []


def setup(peer_name, op_name, value, keys):
    """A fresh participant in the op's start state: the statement's names."""
    present = _present_keys(op_name, keys)
    if peer_name == peers.FLOOR:
        return peers.floor_namespace(value, present)
    make, _ = peers.PEERS[peer_name]
    if OPS[op_name].prefill == "full":
        payload = payload_size(peer_name, value)
        entries = churn_entries(payload)
        p = make(entries * payload, entries)
        for i in range(entries):
            p.insert(f"fill:{i:08d}", value)
    else:
        p = make(BIG_LIMIT, UNCAPPED_ENTRIES)
        for k in present:
            p.insert(k, value)
    return {"insert": p.insert, "get": p.get, "contains": p.contains,
            "remove": p.remove, "box": p.box, "v": value}


def statement(peer_name, op_name):
    if peer_name == peers.FLOOR:
        return peers.FLOOR_STATEMENTS[op_name][1]
    return OPS[op_name].stmt
