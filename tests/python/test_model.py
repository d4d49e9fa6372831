"""Model-based test: the cache against a plain-Python byte-capped LRU.

A hypothesis state machine drives insert, insert_ttl and insert_raw (new
keys and overwrites; the raw text printed compact or indented), get,
get_raw, peek, contains, `in`, remove, clear, resize, stats (with and without
reset), len and size with random keys, values and limits (0 and tiny limits
included, where almost every insert evicts or is refused), moves the clock,
and compares every answer with the model. After every step it checks that the stored keys in recency
order (keys()), len(), size(), is_empty(), repr and the usage counters agree
with the model. Recency order is also observed through evictions: the model
evicts from its own least-recently-used end, so a cache that promoted or
evicted the wrong entry holds a different key set at the next check.

The model measures a value as its compact JSON text with sorted keys; that is
exactly the stored text for the values drawn here (None, bools, 64-bit
integers, short strings without lone surrogates, and lists and dicts of them;
floats are left out because their text form is the writer's own).

Time: the model keeps its own clock in whole seconds, moved by the test
clock (clock_helpers.py) in steps of 1000 s; time limits are 500 s plus a
multiple of 1000 s, so real time passing during a run (far less than 500 s)
never changes which side of a deadline the cache and the model are on. In
builds without the clock hook the clock rule is off and no entry expires.

Runs: by default a few hundred examples (profile "pelm-model-ci"). The long
mode, PELM_LONG_TESTS=1, runs 1,000 examples of 50 steps each
(profile "pelm-model-long"):

    PELM_LONG_TESTS=1 python -m pytest tests/python/test_model.py
"""

import json
import os
from collections import OrderedDict

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import pelm_lib
from clock_helpers import HOOK_AVAILABLE, TestClock

for _name, _examples, _steps in [("pelm-model-ci", 300, 30), ("pelm-model-long", 1000, 50)]:
    settings.register_profile(_name, max_examples=_examples, stateful_step_count=_steps,
                              deadline=None, suppress_health_check=[HealthCheck.too_slow])
PROFILE = "pelm-model-long" if os.environ.get("PELM_LONG_TESTS") == "1" else "pelm-model-ci"

KEYS = ["a", "b", "c", "it's", "é", "", "k" * 40]

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.integers(min_value=-3, max_value=12)
    | st.text(max_size=6)
)
values = st.integers(min_value=0, max_value=9) | st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=8,
)
limits = st.sampled_from([0, 1, 2, 3, 4, 5, 6, 8, 12]) | st.integers(min_value=0, max_value=60)
ttls = st.none() | st.sampled_from([500, 1500, 2500, 3500])


def text_of(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def payload_size(value):
    return len(text_of(value).encode())


class LruModel:
    """Byte-capped LRU: entries ordered least- to most-recently used, and the
    usage counters (hits, misses, inserts, evictions, expirations)."""

    def __init__(self, limit):
        self.limit = limit
        self.entries = OrderedDict()  # key -> (value, size)
        self.size = 0
        self.counts = [0, 0, 0, 0, 0]
        self.now = 0
        self.deadlines = {}  # key -> deadline, for the timed entries

    def advance(self, seconds):
        self.now += seconds
        for key, deadline in list(self.deadlines.items()):
            if deadline <= self.now:
                self.remove(key)
                self.counts[4] += 1

    def evict_until(self, room):
        while self.size + room > self.limit:
            self.remove(next(iter(self.entries)))
            self.counts[3] += 1

    def insert(self, key, value, ttl=None):
        """Returns the refusal message, or None when the value was stored."""
        size = payload_size(value)
        if size > self.limit:
            return f"Value for key '{key}' ({size} bytes) exceeds the cache limit ({self.limit} bytes)"
        # The old entry under `key` still counts here and may be evicted itself.
        self.evict_until(size)
        self.remove(key)
        if ttl is not None:
            self.deadlines[key] = self.now + ttl
        self.entries[key] = (value, size)
        self.size += size
        self.counts[2] += 1
        return None

    def get(self, key):
        """The value, promoted and counted; None (a miss) when absent."""
        if key not in self.entries:
            self.counts[1] += 1
            return None
        self.counts[0] += 1
        self.entries.move_to_end(key)
        return self.entries[key][0]

    def resize(self, limit):
        self.limit = limit
        self.evict_until(0)

    def remove(self, key):
        if key not in self.entries:
            return False
        self.size -= self.entries.pop(key)[1]
        self.deadlines.pop(key, None)
        return True

    def clear(self):
        self.entries.clear()
        self.deadlines.clear()
        self.size = 0


def keys_in_order(value):
    """Every dict's keys, depth first, to compare key order and not only equality."""
    if isinstance(value, dict):
        return [(list(value), [keys_in_order(v) for v in value.values()])]
    if isinstance(value, list):
        return [keys_in_order(v) for v in value]
    return []


def json_image(value):
    """What get returns for a stored value: dicts with their keys sorted."""
    if isinstance(value, dict):
        return {k: json_image(value[k]) for k in sorted(value)}
    if isinstance(value, list):
        return [json_image(v) for v in value]
    return value


class CacheMachine(RuleBasedStateMachine):
    @initialize(limit=limits)
    def make_cache(self, limit):
        self.cache = pelm_lib.Cache(limit)
        self.model = LruModel(limit)
        self.clock = TestClock()

    def teardown(self):
        self.clock.reset()

    @precondition(lambda self: HOOK_AVAILABLE)
    @rule(steps=st.integers(min_value=1, max_value=3))
    def advance_clock(self, steps):
        self.clock.advance(1000 * steps)
        self.model.advance(1000 * steps)

    @rule(key=st.sampled_from(KEYS), value=values, raw_indent=st.sampled_from([False, None, 2]), ttl=ttls)
    def insert(self, key, value, raw_indent=False, ttl=None):
        """Through insert (insert_ttl with a ttl), or (raw_indent not False)
        insert_raw of the value's text, printed with that indent, and the ttl."""
        if raw_indent is False and ttl is None:
            store = lambda: self.cache.insert(key, value)  # noqa: E731
        elif raw_indent is False:
            store = lambda: self.cache.insert_ttl(key, value, ttl)  # noqa: E731
        else:
            store = lambda: self.cache.insert_raw(key, json.dumps(value, indent=raw_indent), ttl=ttl)  # noqa: E731
        refusal = self.model.insert(key, value, ttl)
        if refusal is None:
            assert store() is None
        else:
            try:
                store()
            except ValueError as e:
                assert e.args == (refusal,)
            else:
                raise AssertionError("insert of an oversized value succeeded")

    @precondition(lambda self: self.model.entries)
    @rule(data=st.data(), value=values, raw_indent=st.sampled_from([False, None, 2]), ttl=ttls)
    def overwrite(self, data, value, raw_indent, ttl):
        key = data.draw(st.sampled_from(list(self.model.entries)))
        self.insert(key, value, raw_indent, ttl)

    @precondition(lambda self: self.model.entries)
    @rule(data=st.data())
    def get_stored(self, data):
        self.get(data.draw(st.sampled_from(list(self.model.entries))))

    @rule(key=st.sampled_from(KEYS), how=st.sampled_from(["get", "get_raw", "peek"]))
    def get(self, key, how="get"):
        stored = key in self.model.entries
        if how == "peek":
            expected = self.model.entries[key][0] if stored else None
        else:
            expected = self.model.get(key)
        if not stored:
            try:
                getattr(self.cache, how)(key)
            except KeyError as e:
                assert e.args == (f"Key '{key}' not found",)
            else:
                raise AssertionError(f"{how} of a missing key succeeded")
        elif how == "get_raw":
            assert self.cache.get_raw(key) == text_of(expected).encode()
        else:
            got = getattr(self.cache, how)(key)
            assert got == json_image(expected)
            assert keys_in_order(got) == keys_in_order(json_image(expected))

    @rule(key=st.sampled_from(KEYS))
    def contains(self, key):
        assert self.cache.contains(key) is (key in self.model.entries)

    @rule(key=st.sampled_from(KEYS))
    def membership(self, key):
        assert (key in self.cache) is (key in self.model.entries)

    @rule(key=st.sampled_from(KEYS))
    def remove(self, key):
        assert self.cache.remove(key) is self.model.remove(key)

    @rule()
    def clear(self):
        assert self.cache.clear() is None
        self.model.clear()

    @rule(limit=limits)
    def resize(self, limit):
        assert self.cache.resize(limit) is None
        self.model.resize(limit)

    @rule(reset=st.booleans())
    def stats(self, reset):
        assert self.cache.stats(reset=reset) == tuple(self.model.counts)
        if reset:
            self.model.counts = [0] * 5

    @invariant()
    def agrees_with_model(self):
        model = self.model
        assert model.size <= model.limit
        assert [k for k in KEYS if k in self.cache] == [k for k in KEYS if k in model.entries]
        assert self.cache.len() == len(self.cache) == len(model.entries)
        assert self.cache.size() == model.size == sum(s for _, s in model.entries.values())
        assert self.cache.is_empty() is (not model.entries)
        assert self.cache.keys() == list(reversed(model.entries))
        assert self.cache.stats() == tuple(model.counts)
        assert repr(self.cache) == (
            f"Cache(limit={model.limit}, size={model.size}, entries={len(model.entries)})"
        )


TestCacheAgainstModel = CacheMachine.TestCase
TestCacheAgainstModel.settings = settings.get_profile(PROFILE)


def test_model_sizes_match_the_stored_text():
    """The size model itself: sizes taken from the cache for edge values."""
    samples = [None, True, False, 0, -(2**63), 2**64 - 1, "", "é", "\n", "\x01", '"\\', [],
               {}, [1, [2, 3]], {"b": 1, "a": [True, None]}, {"é": 1, "z": 2, "A": ""}]
    for value in samples:
        cache = pelm_lib.Cache(1000)
        cache.insert("k", value)
        assert cache.size() == payload_size(value), value
