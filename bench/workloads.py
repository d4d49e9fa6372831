"""The values the benchmark stores: what users put in a cache, from a small
flat dict to a 64 KiB list of records. Every workload is built from a fixed
seed, so each process and each peer sees exactly the same value."""

import gzip
import json
import os
import random
import struct

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

_NAMES = ["Ada", "Zoë", "Łukasz", "Søren", "Ñandú", "Jürgen", "Chloé", "Dmitrí"]
_CITIES = ["Köln", "São Paulo", "Zürich", "東京", "Kraków", "Reykjavík", "Москва", "القاهرة"]


def small_flat():
    return {"id": 48213, "name": "widget", "price": 9.99, "active": True,
            "stock": 120, "sku": "W-48213", "discount": None, "rating": 4.5}


def api_record():
    rng = random.Random(1)
    return {
        "id": 90210,
        "user": {"name": "Zoë Ångström", "email": "zoe@example.org",
                 "roles": ["admin", "editor", "viewer"], "locale": "fr-FR",
                 "bio": "Développeuse à Paris — aime le café ☕ et 東京"},
        "items": [{"sku": f"SKU-{i:04d}", "qty": rng.randint(1, 9),
                   "price": round(rng.uniform(1, 500), 2), "tags": ["new", "sale"][: i % 3]}
                  for i in range(8)],
        "history": [[2024, 1, 15, "created"], [2024, 3, 2, "paid"], [2024, 3, 9, "shipped"]],
        "flags": {"vip": False, "beta": True, "score": -17},
        "note": None,
    }


def floats_100():
    rng = random.Random(2)
    return [rng.uniform(-1e6, 1e6) for _ in range(100)]


def ints_1000():
    rng = random.Random(3)
    return [rng.randint(-2**40, 2**40) if i % 4 else rng.randint(0, 999) for i in range(1000)]


def text_1k():
    """A string of exactly 1024 UTF-8 bytes, mostly outside ASCII."""
    base = "Größe née 東京タワー Ωμέγα кириллица ☕ "
    s = ""
    while len((s + base).encode()) <= 1024:
        s += base
    while len(s.encode()) < 1024:
        s += "x"
    return s


def records_500():
    rng = random.Random(4)
    return [{"id": i, "name": rng.choice(_NAMES), "city": rng.choice(_CITIES),
             "email": f"user{i}@example.org", "joined": 2000 + i % 25,
             "score": round(rng.random() * 100, 3), "active": i % 3 == 0,
             "tags": ["a", "bb", "ccc"][: i % 4]}
            for i in range(500)]


def deep_100():
    """100 levels of alternating objects and arrays around a small leaf."""
    v = {"leaf": [1, 2.5, "x", None]}
    for depth in range(99):
        v = {"d": v, "n": depth} if depth % 2 else [v, depth]
    return v


def geo_pairs_50():
    """50 [lon, lat] pairs rounded to 6 decimals, as map coordinates are."""
    rng = random.Random(5)
    return [[round(rng.uniform(-180, 180), 6), round(rng.uniform(-90, 90), 6)] for _ in range(50)]


def floats_bits_100():
    """100 finite doubles from uniformly random bits: every exponent, 15-17 digits."""
    rng = random.Random(6)
    out = []
    while len(out) < 100:
        (x,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        if x == x and abs(x) != float("inf"):
            out.append(x)
    return out


def records_200():
    """200 records of 8 mixed fields: ints, floats, short strs, bools, a small dict."""
    rng = random.Random(7)
    return [{"id": i, "qty": rng.randint(0, 500), "price": round(rng.uniform(0, 1000), 2),
             "weight": rng.random(), "code": f"C{rng.randint(0, 99999):05d}",
             "name": rng.choice(_NAMES), "ok": i % 2 == 0,
             "dims": {"w": rng.randint(1, 99), "h": round(rng.uniform(1, 50), 1), "unit": "cm"}}
            for i in range(200)]


def _document(name):
    """A real document from bench/data (see its README for the sources)."""
    with gzip.open(os.path.join(DATA, name)) as f:
        return json.loads(f.read())


def doc_emoji_ja():
    """Emoji names in Japanese: 4,000-odd members of non-ASCII text."""
    return _document("emoji_ja.json.gz")


def doc_geojson():
    """Montréal's electoral districts: coordinates with 13-15 digits."""
    return _document("montreal_election.geojson.gz")


def doc_cars():
    """406 records of one shape: ints, floats, nulls and strings."""
    return _document("cars.json.gz")


# name -> builder, in the order the report lists them.
WORKLOADS = {
    "small_flat": small_flat,
    "api_record": api_record,
    "floats_100": floats_100,
    "ints_1000": ints_1000,
    "text_1k": text_1k,
    "records_500": records_500,
    "deep_100": deep_100,
    "geo_pairs_50": geo_pairs_50,
    "floats_bits_100": floats_bits_100,
    "records_200": records_200,
    "doc_emoji_ja": doc_emoji_ja,
    "doc_geojson": doc_geojson,
    "doc_cars": doc_cars,
}


def build(name):
    return WORKLOADS[name]()
