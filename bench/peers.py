"""The caches pelm_lib is measured against, behind one interface.

Every peer is built by `make(limit, max_entries)` and exposes the same five
callables plus the container that `in` and `len()` are applied to, so the
timing loops are the same text for every peer. Each peer holds the encoded
bytes (never the live object) and decodes on every hit, as pelm_lib does.
Where a library offers a C-level path (dict membership, `len`) the adapter
hands that path out directly instead of wrapping it, so no peer pays for
the adapter more than a user of that library would.

`exact=True` copies each orjson output into a bytes object of its exact
length before storing it: orjson returns its output in an over-allocated
buffer, which a cache that keeps the bytes pays for in memory.

Hazard: lru-dict caps the number of entries, not bytes; `max_entries` is how
the harness gives it the same capacity as the byte-capped caches.
"""

from collections import OrderedDict
from typing import Any, Callable, NamedTuple

import cachebox
import cachetools
import lru
import msgspec
import orjson

import pelm_lib

_SORTED = orjson.OPT_SORT_KEYS
_MISSING = object()


class Peer(NamedTuple):
    insert: Callable[[str, Any], Any]
    get: Callable[[str], Any]
    contains: Callable[[str], bool]
    remove: Callable[[str], bool]
    box: Any                     # what `key in box` and `len(box)` see
    payload_bytes: Callable[[], int]


def orjson_dumps_sorted(value):
    return orjson.dumps(value, option=_SORTED)


class EncodedLRU(OrderedDict):
    """An LRU of encoded bytes, capped by their total length.

    Subclassing OrderedDict keeps `in`, `len` and lookups at C speed; only
    insert, get and remove run Python code, as in any hand-assembled cache.
    """

    def __init__(self, limit, encode, decode):
        super().__init__()
        self.limit = limit
        self.used = 0
        self.encode = encode
        self.decode = decode

    def insert(self, key, value):
        data = self.encode(value)
        n = len(data)
        if n > self.limit:
            raise ValueError("value too large")
        old = self.pop(key, None)
        if old is not None:
            self.used -= len(old)
        while self.used + n > self.limit:
            self.used -= len(self.popitem(last=False)[1])
        self[key] = data
        self.used += n

    def get(self, key):
        data = self[key]
        self.move_to_end(key)
        return self.decode(data)

    def remove(self, key):
        data = self.pop(key, None)
        if data is None:
            return False
        self.used -= len(data)
        return True


def _exact(data):
    return bytes(memoryview(data))


def _exact_orjson_dumps_sorted(value):
    return bytes(memoryview(orjson.dumps(value, option=_SORTED)))


def make_pelm(limit, max_entries, exact=False):
    c = pelm_lib.Cache(limit)
    return Peer(c.insert, c.get, c.contains, c.remove, c, c.size)


def _make_encoded_lru(encode, decode, exact_encode=None):
    def make(limit, max_entries, exact=False):
        c = EncodedLRU(limit, exact_encode if exact and exact_encode else encode, decode)
        return Peer(c.insert, c.get, c.__contains__, c.remove, c, lambda: c.used)
    return make


def _mapping_peer(c, payload_bytes, exact):
    """A peer over a mutable mapping that keeps its own LRU order and cap."""
    dumps, loads, opt = orjson.dumps, orjson.loads, _SORTED

    def insert(key, value):
        c[key] = dumps(value, option=opt)

    def insert_exact(key, value):
        c[key] = _exact(dumps(value, option=opt))

    def get(key):
        return loads(c[key])

    def remove(key):
        return c.pop(key, _MISSING) is not _MISSING

    return Peer(insert_exact if exact else insert, get, c.__contains__, remove, c,
                payload_bytes)


def make_cachetools(limit, max_entries, exact=False):
    c = cachetools.LRUCache(maxsize=limit, getsizeof=len)
    return _mapping_peer(c, lambda: c.currsize, exact)


def make_lru_dict(limit, max_entries, exact=False):
    c = lru.LRU(max_entries)
    return _mapping_peer(c, lambda: sum(map(len, c.values())), exact)


def make_cachebox(limit, max_entries, exact=False):
    c = cachebox.LRUCache(limit, getsizeof=lambda k, v: len(v))
    return _mapping_peer(c, c.current_size, exact)


_msgspec_encode = msgspec.json.Encoder(order="sorted").encode
_msgspec_decode = msgspec.json.Decoder().decode

# Peers whose stored bytes come from orjson (see `exact`).
ORJSON_BACKED = ("orjson+OrderedDict", "cachetools", "lru-dict", "cachebox")

# name -> (factory, what its cap counts). pelm_lib first: ratios are to it.
PEERS = {
    "pelm_lib": (make_pelm, "bytes"),
    "orjson+OrderedDict": (_make_encoded_lru(orjson_dumps_sorted, orjson.loads,
                                             _exact_orjson_dumps_sorted), "bytes"),
    "msgspec+OrderedDict": (_make_encoded_lru(_msgspec_encode, _msgspec_decode), "bytes"),
    "cachetools": (make_cachetools, "bytes (getsizeof=len)"),
    "lru-dict": (make_lru_dict, "entries (count-capped)"),
    "cachebox": (make_cachebox, "bytes (getsizeof=len of value)"),
}

# The floors: the bare library call an operation cannot beat, with no cache.
# op -> (label, statement); the names come from `floor_namespace`.
FLOOR = "floor"
FLOOR_STATEMENTS = {
    "insert_new": ("orjson.dumps(sorted)", "dumps(v, option=opt)"),
    "insert_overwrite": ("orjson.dumps(sorted)", "dumps(v, option=opt)"),
    "evict_churn": ("orjson.dumps(sorted)", "dumps(v, option=opt)"),
    "get_hit": ("orjson.loads", "loads(t)"),
    "get_miss": ("dict[k] miss", "try:\n    d[k]\nexcept KeyError:\n    pass"),
    "contains": ("k in dict", "k in d"),
    "in": ("k in dict", "k in d"),
    "remove": ("dict.pop(k, None)", "pop(k, None)"),
    "len": ("len(dict)", "len(d)"),
}


def floor_namespace(value, keys_present):
    """Names the floor statements use; `d` holds `keys_present`."""
    d = dict.fromkeys(keys_present, b"")
    return {"dumps": orjson.dumps, "opt": _SORTED, "loads": orjson.loads,
            "t": orjson.dumps(value, option=_SORTED), "v": value, "d": d, "pop": d.pop}


def versions():
    from importlib.metadata import version
    return {name: version(name) for name in
            ("orjson", "msgspec", "cachetools", "lru-dict", "cachebox", "pyperf")}
