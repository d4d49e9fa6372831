"""save() and load(): round trips against the cache they came from and
against one insert_raw after another, every cut and every altered byte of a
small snapshot refused with the cache unchanged, saves that fail part way
(a raising file object, a full file system) leaving the old file whole,
and the file's own code calling the cache while a save writes."""

import io
import json
import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelm_lib
from child_process import run_child

DATA = Path(__file__).resolve().parents[1] / "data"
TTLS = [None, None, 10, 20, 40]

texts = st.recursive(st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False,
                     allow_infinity=False) | st.text(max_size=8),
                     lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner,
                                                                                   max_size=3),
                     max_leaves=6).map(json.dumps)
entries = st.lists(st.tuples(st.text(max_size=6), texts, st.sampled_from(TTLS)), max_size=12)


def fill(limit, items):
    cache = pelm_lib.Cache(limit)
    for key, text, ttl in items:
        cache.insert_raw(key, text, ttl)
    return cache


def state(cache):
    """What a load must leave alone when it fails."""
    return (cache.keys(), [cache.peek(k) for k in cache.keys()], cache.size(), cache.limit, cache.stats())


def saved(cache):
    out = io.BytesIO()
    cache.save(out)
    return out.getvalue()


def present_after(cache, clock, seconds):
    clock.advance(seconds)
    return set(cache.keys())


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(items=entries, elapsed=st.sampled_from([0, 15]))
def test_a_round_trip_keeps_keys_order_texts_size_and_remaining_times(clock, items, elapsed):
    source = fill(10_000, items)
    ttl_of = {k: ttl for k, _, ttl in items}  # the last insert of a key is what stays
    before = {k: source.get_raw(k) for k in source.keys()}
    snapshot = saved(source)
    clock.advance(elapsed)
    loaded = pelm_lib.Cache(10_000)
    live = [k for k in source.keys() if ttl_of[k] is None or ttl_of[k] > elapsed]
    assert loaded.load(io.BytesIO(snapshot)) == len(live)
    assert loaded.keys() == live
    assert {k: loaded.peek(k) for k in live} == {k: source.peek(k) for k in live}
    assert [loaded.get_raw(k) for k in reversed(live)] == [before[k] for k in reversed(live)]
    assert loaded.size() == sum(len(before[k]) for k in live)
    # Each time limit goes on from where it was: look 5 s before and after each end.
    waited = elapsed
    for end in (10, 20, 40):
        if end <= elapsed:
            continue
        expected = {k for k in live if ttl_of[k] is None or ttl_of[k] > end}
        assert present_after(loaded, clock, end - 5 - waited) == expected | {k for k in live if ttl_of[k] == end}
        assert present_after(loaded, clock, 10) == expected
        waited = end + 5


@settings(max_examples=60, deadline=None)
@given(before=entries, items=entries, limit=st.integers(0, 400))
def test_a_load_stores_what_one_insert_raw_after_another_would(before, items, limit):
    # No time limits here: both caches would read the clock at other moments.
    source = fill(10_000, [(k, t, None) for k, t, _ in items])
    snapshot = saved(source)
    oldest_first = source.keys()[::-1]
    stored = {k: source.get_raw(k) for k in oldest_first}
    loaded, model = (fill(10_000, [(k, t, None) for k, t, _ in before]) for _ in range(2))
    loaded.resize(limit)
    model.resize(limit)
    if any(len(text) > limit for text in stored.values()):
        with pytest.raises(ValueError, match="exceeds the cache limit"):
            loaded.load(io.BytesIO(snapshot))
        return
    for key in oldest_first:
        model.insert_raw(key, stored[key])
    assert loaded.load(io.BytesIO(snapshot)) == len([k for k in model.keys() if k in stored])
    assert loaded.keys() == model.keys()
    assert [loaded.get_raw(k) for k in model.keys()] == [model.get_raw(k) for k in model.keys()]
    assert loaded.size() == model.size() and loaded.stats().inserts == model.stats().inserts


def test_save_changes_neither_recency_nor_counters_and_writes_oldest_first(tmp_path):
    cache = fill(1000, [("a", "1", None), ("b", "[2]", 30), ("c", '{"z":3}', None)])
    cache.get("a")
    order, stats = cache.keys(), cache.stats()
    assert cache.save(tmp_path / "s") == 3 and cache.save(file=str(tmp_path / "t")) == 3
    assert cache.keys() == order and cache.stats() == stats
    lines = (tmp_path / "s").read_bytes().splitlines()
    assert [json.loads(line)[0] for line in lines[1:-1]] == ["b", "c", "a"]
    assert lines[1].endswith(b',[2]]') and json.loads(lines[0])["format"] == "pelm_lib snapshot"
    assert json.loads(lines[-1])["entries"] == 3
    assert sorted(os.listdir(tmp_path)) == ["s", "t"]


@pytest.fixture(scope="module")
def small_snapshot():
    return saved(fill(1000, [("a", "1", None), ("é\n", '{"k":[1,"x"]}', 60), ("", "null", None)]))


def test_every_cut_and_every_altered_byte_is_refused_and_the_cache_unchanged(small_snapshot):
    cache = fill(1000, [("kept", "[1,2]", None), ("a", "0", None)])
    before = state(cache)
    damaged = [small_snapshot[:n] for n in range(len(small_snapshot))]
    for i in range(len(small_snapshot)):
        for flip in (0x01, 0x80):
            altered = bytearray(small_snapshot)
            altered[i] ^= flip
            damaged.append(bytes(altered))
    for data in damaged:
        with pytest.raises(ValueError, match=r"^snapshot refused at line \d+: "):
            cache.load(io.BytesIO(data))
        assert state(cache) == before


@pytest.mark.parametrize("lines, message", [
    (['["a",null,1]', '["a",null,2]'], r"line 3: the key \"a\" is repeated"),
    (['["a",null,"' + "x" * 2000 + '"]'], r"line 2: the text \(2002 bytes\) exceeds the cache limit \(1000 bytes\)"),
    (['["a",null,1', ], r"line 2: not JSON"),
    (['["a",null,NaN]'], r"line 2: not JSON"),
])
def test_faults_name_their_line_and_leave_the_cache_unchanged(lines, message):
    from_crc = crc_snapshot(lines)
    cache = fill(1000, [("a", "0", None)])
    before = state(cache)
    with pytest.raises(ValueError, match=message):
        cache.load(io.BytesIO(from_crc))
    assert state(cache) == before


def crc_snapshot(lines):
    """A snapshot of `lines` with a correct trailer, made by hand."""
    body = b'{"format":"pelm_lib snapshot","version":1,"saved_at":0}\n' + b"".join(
        line.encode() + b"\n" for line in lines)
    return body + b'{"entries":%d,"crc32c":%d}\n' % (len(lines), crc32c(body))


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def test_expired_entries_are_skipped_and_a_snapshot_of_another_build_loads():
    # Written by hand: one entry long expired, one that never will be.
    cache = pelm_lib.Cache(1000)
    assert cache.load(DATA / "snapshot_v1.jsonl") == 2
    assert cache.keys() == ["never", "plain"]
    assert cache.get("plain") == {"a": [1, 2.5, None]} and cache.get("never") == "é"


class RaisingWriter(io.RawIOBase):
    def __init__(self, budget):
        self.budget, self.got = budget, bytearray()

    def writable(self):
        return True

    def write(self, b):
        if len(self.got) + len(b) > self.budget:
            raise OSError("disk full")
        self.got += b
        return len(b)


def test_a_file_object_that_fails_part_way_raises_and_the_old_file_stays(tmp_path):
    cache = fill(10**6, [(f"k{i}", json.dumps("v" * 1000), None) for i in range(100)])
    with pytest.raises(OSError, match="disk full"):
        cache.save(RaisingWriter(5000))
    target = tmp_path / "snap"
    cache.save(target)
    old = target.read_bytes()
    cache.insert("new", 1)
    # A path whose directory vanished fails before the target is touched.
    with pytest.raises(FileNotFoundError):
        cache.save(tmp_path / "missing" / "snap")
    assert target.read_bytes() == old and sorted(os.listdir(tmp_path)) == ["snap"]


def test_a_full_file_system_leaves_the_old_file_whole(tmp_path):
    target = tmp_path / "snap"
    out = run_child(f"""
        import os, resource, pelm_lib
        old = pelm_lib.Cache(10**6)
        old.insert("old", 1)
        old.save({str(target)!r})
        big = pelm_lib.Cache(10**7)
        for i in range(200):
            big.insert(f"k{{i}}", "v" * 10000)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        try:
            big.save({str(target)!r})
        except OSError as e:
            print(e.errno)
    """)
    assert out.strip() == str(__import__("errno").EFBIG)
    cache = pelm_lib.Cache(100)
    assert cache.load(target) == 1 and cache.keys() == ["old"]
    assert os.listdir(tmp_path) == ["snap"]


def test_writes_come_in_pieces_of_at_most_one_mebibyte():
    cache = fill(10**8, [(f"k{i}", json.dumps("v" * 300_000), None) for i in range(20)])
    cache.insert("huge", "w" * 3_000_000)
    pieces = []
    cache.save(type("Sink", (), {"write": lambda self, b: pieces.append(len(b))})())
    assert max(pieces) <= 1 << 20 and sum(pieces) > 9_000_000


def test_code_run_by_write_may_read_but_not_change_the_cache():
    cache = fill(1000, [("a", "1", None), ("b", "2", None)])
    seen = []

    class Meddler:
        def write(self, b):
            seen.append(cache.peek("a"))
            for change in (lambda: cache.insert("c", 3), lambda: cache.get("a"), cache.clear):
                with pytest.raises(RuntimeError, match="Already borrowed"):
                    change()
            out.write(b)

    out = io.BytesIO()
    assert cache.save(Meddler()) == 2 and seen
    assert pelm_lib.Cache(100).load(io.BytesIO(out.getvalue())) == 2


def test_code_run_by_read_may_change_the_cache_and_the_load_applies_after_it():
    data = io.BytesIO(saved(fill(1000, [("a", "1", None)])))
    cache = pelm_lib.Cache(1000)

    class Reader:
        def read(self, n):
            cache.insert("during", 1)
            cache.insert("a", 0)
            return data.read(n)

    assert cache.load(Reader()) == 1
    assert cache.keys() == ["a", "during"] and cache.get("a") == 1


@pytest.mark.parametrize("file, error, message", [
    (5, TypeError, r"Cache.load\(\) takes a path or a binary file object with read\(\), not 'int'"),
    (b"{}", TypeError, "not 'bytes'"),
    (io.StringIO("x"), TypeError, r"read\(\) returned 'str', not bytes"),
])
def test_load_refuses_what_is_no_binary_file(file, error, message):
    with pytest.raises(error, match=message):
        pelm_lib.Cache(10).load(file)


def test_a_fork_inside_write_stops_the_childs_save_and_its_cache_works():
    out = run_child("""
        import os, pelm_lib
        cache = pelm_lib.Cache(1000)
        cache.insert("a", 1)
        pids = []

        class Forker:
            def write(self, b):
                if not pids:
                    pids.append(os.fork())

        try:
            result = f"saved {cache.save(Forker())}"
        except RuntimeError as e:
            result = str(e)
        if pids[0] == 0:
            cache.insert("b", 2)
            print("child:", result, cache.keys(), flush=True)
            os._exit(0)
        os.waitpid(pids[0], 0)
        print("parent:", result, cache.keys())
    """)
    assert "child: Cache.save(): the process forked while it was writing ['b', 'a']" in out
    assert "parent: saved 1 ['a']" in out
