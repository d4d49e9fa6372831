"""The module's surface as Python sees it: names, types, signatures, repr."""

import gc
import weakref

import pytest

import pelm_lib


def test_exports_exactly_init_cache_and_cache():
    assert pelm_lib.__all__ == ["init_cache", "Cache"]
    public = {n for n in dir(pelm_lib) if not n.startswith("__")}
    assert public == {"init_cache", "Cache"}
    assert pelm_lib.__doc__ == ""


def test_cache_type_identity():
    assert pelm_lib.Cache.__module__ == "pelm_lib"
    assert pelm_lib.Cache.__qualname__ == "Cache"
    assert type(pelm_lib.init_cache()) is pelm_lib.Cache


@pytest.mark.parametrize(
    "name, signature",
    [
        ("insert", "($self, key, value)"),
        ("get", "($self, key)"),
        ("remove", "($self, key)"),
        ("contains", "($self, key)"),
        ("size", "($self)"),
        ("len", "($self)"),
        ("is_empty", "($self)"),
        ("clear", "($self)"),
        ("get_raw", "($self, key)"),
        ("insert_raw", "($self, key, text, ttl=None)"),
        ("peek", "($self, key)"),
        ("keys", "($self)"),
        ("stats", "($self, reset=False)"),
        ("resize", "($self, limit)"),
        ("save", "($self, file)"),
        ("load", "($self, file)"),
    ],
)
def test_method_signatures(name, signature):
    assert getattr(pelm_lib.Cache, name).__text_signature__ == signature


def test_function_and_class_signatures():
    assert pelm_lib.init_cache.__text_signature__ == "(limit=None)"
    assert pelm_lib.Cache.__text_signature__ == "(limit)"
    assert pelm_lib.Cache.__doc__.startswith("An in-memory, size-capped LRU cache")
    assert pelm_lib.Cache.limit.__doc__ == "Maximum total payload size in bytes."
    assert pelm_lib.Cache.get.__doc__.startswith("Retrieve the value for `key`")


def test_cannot_subclass_or_weakref_or_add_attributes():
    with pytest.raises(TypeError):
        type("C", (pelm_lib.Cache,), {})
    c = pelm_lib.Cache(1)
    with pytest.raises(TypeError):
        weakref.ref(c)
    with pytest.raises(AttributeError):
        c.extra = 1
    with pytest.raises(AttributeError):
        c.limit = 5
    assert not gc.is_tracked(c)


def test_cache_node_is_hidden_and_uninstantiable():
    assert not hasattr(pelm_lib, "CacheNode")
    c = pelm_lib.Cache(100)
    c.insert("k", 1)
    node_types = [t for t in object.__subclasses__() if t.__name__ == "CacheNode"]
    assert len(node_types) == 1
    node = node_types[0]
    assert node.__doc__ == ""
    with pytest.raises(TypeError):
        node()
    with pytest.raises(TypeError):
        object.__new__(node)
    with pytest.raises(TypeError):
        type("Sub", (node,), {})


@pytest.mark.parametrize(
    "make, limit",
    [
        (lambda: pelm_lib.init_cache(), 1000000),
        (lambda: pelm_lib.init_cache(None), 1000000),
        (lambda: pelm_lib.init_cache(limit=5), 5),
        (lambda: pelm_lib.init_cache(0), 0),
        (lambda: pelm_lib.Cache(10), 10),
        (lambda: pelm_lib.Cache(limit=10), 10),
        (lambda: pelm_lib.Cache(True), 1),
        (lambda: pelm_lib.Cache(2**64 - 1), 2**64 - 1),
    ],
)
def test_limit_forms(make, limit):
    c = make()
    assert c.limit == limit and type(c.limit) is int
    assert repr(c) == f"Cache(limit={limit}, size=0, entries=0)"


def test_limit_accepts_index_protocol():
    class Idx:
        def __index__(self):
            return 42

    assert pelm_lib.Cache(Idx()).limit == 42


def test_repr_counts_entries_and_bytes():
    c = pelm_lib.Cache(100)
    c.insert("a", "x")  # "x" with quotes: 3 bytes
    c.insert("b", 12345)  # 5 bytes
    assert repr(c) == "Cache(limit=100, size=8, entries=2)"


def test_counters_agree(cache):
    assert cache.is_empty() and cache.len() == len(cache) == 0
    cache.insert("a", 1)
    assert not cache.is_empty() and cache.len() == len(cache) == 1
    assert cache.clear() is None
    assert cache.is_empty() and cache.size() == 0 and "a" not in cache
    assert cache.clear() is None


def test_stats_record_is_a_read_only_named_tuple_reachable_only_through_its_type(cache):
    record = cache.stats()
    fields = ("hits", "misses", "inserts", "evictions", "expirations")
    assert isinstance(record, tuple) and record == (0,) * 5 and type(record).n_fields == len(fields)
    assert [getattr(record, f) for f in fields] == list(record)
    assert type(record).__name__ == "CacheStats" and not hasattr(pelm_lib, "CacheStats")
    with pytest.raises(AttributeError):
        record.hits = 1
    with pytest.raises(TypeError):
        type(record).extra = 1
