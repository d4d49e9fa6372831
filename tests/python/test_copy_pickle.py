"""pickle, copy.copy and copy.deepcopy of a cache: a clean TypeError, never a
crash or a half-copied cache, and the cache works as before afterwards."""

import copy
import pickle

import pytest

import pelm_lib

ATTEMPTS = {
    "pickle-default": pickle.dumps,
    **{f"pickle-protocol-{p}": (lambda p: lambda obj: pickle.dumps(obj, protocol=p))(p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "reduce_ex": lambda obj: obj.__reduce_ex__(2),
    "pickle-inside-a-list": lambda obj: pickle.dumps([1, obj]),
    "deepcopy-inside-a-dict": lambda obj: copy.deepcopy({"c": obj}),
}


def filled_cache():
    c = pelm_lib.Cache(100)
    c.insert("a", [1, 2])
    c.insert("b", {"x": None})
    return c


@pytest.mark.parametrize("attempt", ATTEMPTS.values(), ids=ATTEMPTS.keys())
def test_copying_raises_type_error_and_leaves_cache_working(attempt):
    c = filled_cache()
    before = repr(c)
    with pytest.raises(TypeError, match="pickle"):
        attempt(c)
    assert repr(c) == before
    assert c.get("a") == [1, 2]
    c.insert("c", "x" * 94)  # 96 bytes: both older entries must go, the list is intact
    assert [k for k in "abc" if k in c] == ["c"] and c.size() == 96


@pytest.mark.parametrize("attempt", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"])
def test_copying_the_cache_from_inside_its_own_insert(attempt):
    """The attempt runs while insert holds the cache: still only a TypeError,
    which fails the conversion and leaves the cache unchanged."""
    c = filled_cache()
    before = repr(c)

    class CopiesTheCache(dict):
        def keys(self):
            attempt(c)
            return super().keys()

    with pytest.raises(SystemError) as info:
        c.insert("d", CopiesTheCache(k=1))
    assert info.value.args[0].startswith("failed to serialise Python object: TypeError: cannot pickle")
    assert repr(c) == before and "d" not in c
