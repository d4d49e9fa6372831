"""get, contains, `in`, remove: promotion, membership without promotion, removal."""

import pytest

import pelm_lib


def two_then_third(probe):
    """Insert a and b, run probe on "a", then insert c needing one eviction."""
    c = pelm_lib.Cache(2)
    c.insert("a", 1)
    c.insert("b", 2)
    probe(c, "a")
    c.insert("c", 3)
    return [k for k in "abc" if k in c]


@pytest.mark.parametrize("method", ["get", "get_raw"])
def test_get_promotes(method):
    assert two_then_third(lambda c, k: getattr(c, method)(k)) == ["a", "c"]


@pytest.mark.parametrize(
    "probe",
    [lambda c, k: c.contains(k), lambda c, k: k in c, lambda c, k: c.len(), lambda c, k: c.size(),
     lambda c, k: repr(c), lambda c, k: c.is_empty(), lambda c, k: c.peek(k), lambda c, k: c.keys(),
     lambda c, k: c.stats()],
)
def test_reads_that_do_not_promote(probe):
    assert two_then_third(probe) == ["b", "c"]


def test_failed_get_does_not_promote():
    def probe(c, k):
        with pytest.raises(KeyError):
            c.get("zzz")

    assert two_then_third(probe) == ["b", "c"]


def test_get_order_after_promotion():
    c = pelm_lib.Cache(3)
    for k in "abc":
        c.insert(k, 0)
    c.get("a")  # order from the head: a, c, b
    c.insert("d", 0)
    assert [k for k in "abcd" if k in c] == ["a", "c", "d"]
    c.get("d")  # the head already: nothing moves
    c.insert("e", 0)
    assert [k for k in "abcde" if k in c] == ["a", "d", "e"]


def test_each_get_returns_a_fresh_object():
    c = pelm_lib.Cache(100)
    c.insert("k", {"xs": [1, 2]})
    first = c.get("k")
    second = c.get("k")
    assert first == second and first is not second and first["xs"] is not second["xs"]
    first["xs"].append(3)
    assert c.get("k") == {"xs": [1, 2]}


def test_remove():
    c = pelm_lib.Cache(100)
    c.insert("a", [1, 2, 3])
    c.insert("b", "x")
    assert c.remove("a") is True
    assert (c.len(), c.size(), "a" in c) == (1, 3, False)
    assert c.remove("a") is False
    assert (c.len(), c.size()) == (1, 3)
    assert c.remove("b") is True
    assert (c.len(), c.size(), c.is_empty()) == (0, 0, True)
    c.insert("c", 1)
    assert c.get("c") == 1


@pytest.mark.parametrize("removed, kept", [("a", ["b", "c"]), ("b", ["a", "c"]), ("c", ["a", "b"])])
def test_remove_keeps_the_order_of_the_rest(removed, kept):
    c = pelm_lib.Cache(3)
    for k in "abc":
        c.insert(k, 0)
    c.remove(removed)
    c.insert("d", 0)
    c.insert("e", 0)  # two more: the two oldest survivors leave in order
    assert [k for k in "abcde" if k in c] == [kept[1], "d", "e"]


def test_nesting_127_round_trips_and_128_is_refused():
    deep = []
    for _ in range(126):
        deep = [deep]
    c = pelm_lib.Cache(1000)
    c.insert("ok", deep)  # 127 levels
    assert c.size() == 254 and c.get("ok") == deep
    with pytest.raises(SystemError) as info:
        c.insert("deep", [deep])
    assert info.value.args == ("failed to serialise Python object: recursion limit exceeded",)
    assert "deep" not in c and c.len() == 1


def test_self_containing_values_are_refused():
    lst = []
    lst.append(lst)
    d = {}
    d["d"] = d
    c = pelm_lib.Cache(10**6)
    for value in (lst, d):
        with pytest.raises(SystemError, match="recursion limit exceeded"):
            c.insert("k", value)
    assert c.len() == 0


@pytest.mark.parametrize(
    "key",
    ["", "a\x00b", "\x00", "é", "\U0001F600", "k" * 1_000_000, " spaced key "],
    ids=["empty", "inner-nul", "only-nul", "non-ascii", "astral", "one-megabyte", "spaces"],
)
def test_unusual_keys_are_exact_bytes(key):
    c = pelm_lib.Cache(100)
    c.insert(key, [1])
    near = key[:-1] + "?" if key else "?"
    assert key in c and c.contains(key) and near not in c
    assert c.get(key) == [1] and c.size() == 3
    with pytest.raises(KeyError) as info:
        c.get(near)
    assert info.value.args == (f"Key '{near}' not found",)
    assert c.remove(key) is True and c.len() == 0


class OpaqueStr(str):
    """A str subclass whose own hashing and equality must never be consulted."""

    def __hash__(self):
        raise AssertionError("the cache ran the key's __hash__")

    def __eq__(self, other):
        raise AssertionError("the cache ran the key's __eq__")

    __ne__ = __eq__


def utf8_made(text):
    s = "".join(list(text))
    pelm_lib.Cache(0).contains(s)  # converting a key caches its UTF-8 form
    return s


def hashed(text):
    s = "".join(list(text))
    hash(s)
    return s


# Each builds a fresh, equal str in another way or state.
KEY_BUILDS = {
    "literal": lambda t: t,
    "concatenated": lambda t: t[:2] + t[2:],
    "decoded": lambda t: t.encode("utf-8").decode("utf-8"),
    "hash-cached": hashed,
    "utf8-cached": utf8_made,
    "subclass": OpaqueStr,
}
KEY_TEXTS = ["plain-key:0001", "na\u00efve-cl\u00e9", "\u043a\u043b\u044e\u0447-\u00f6", "key-\U0001F600-x"]


@pytest.mark.parametrize("text", KEY_TEXTS, ids=["ascii", "latin-1", "two-byte", "astral"])
@pytest.mark.parametrize("lookup", KEY_BUILDS)
@pytest.mark.parametrize("store", KEY_BUILDS)
def test_equal_keys_built_differently_find_each_other(store, lookup, text):
    c = pelm_lib.Cache(1000)
    c.insert(KEY_BUILDS[store](text), 1)
    key = KEY_BUILDS[lookup]
    assert key(text) in c and c.contains(key(text)) and c.get(key(text)) == 1
    assert key(text[:-1] + "?") not in c
    c.insert(key(text), 2)  # overwrites: the same key
    assert c.len() == 1 and c.get(key(text)) == 2
    assert c.remove(key(text)) is True and c.len() == 0
