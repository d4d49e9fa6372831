"""Exceptions at the boundary: argument matching, key/limit conversion, borrow errors."""

import pytest

import pelm_lib


def raises_exactly(exc_type, text, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert info.value.args == (text,)
    return info.value


C = pelm_lib.Cache(100)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: C.insert("k"), "Cache.insert() missing 1 required positional argument: 'value'"),
        (lambda: C.insert(), "Cache.insert() missing 2 required positional arguments: 'key' and 'value'"),
        (lambda: C.insert(value=1), "Cache.insert() missing 1 required positional argument: 'key'"),
        (lambda: C.insert("k", 1, 2), "Cache.insert() takes 2 positional arguments but 3 were given"),
        (lambda: C.insert("k", 1, key="x"), "Cache.insert() got multiple values for argument 'key'"),
        (lambda: C.get("a", "b"), "Cache.get() takes 1 positional arguments but 2 were given"),
        (lambda: C.get("a", default=1), "Cache.get() got an unexpected keyword argument 'default'"),
        (lambda: C.get(), "Cache.get() missing 1 required positional argument: 'key'"),
        (lambda: C.remove(), "Cache.remove() missing 1 required positional argument: 'key'"),
        (lambda: C.contains(k="a"), "Cache.contains() got an unexpected keyword argument 'k'"),
        (lambda: pelm_lib.Cache(), "Cache.__new__() missing 1 required positional argument: 'limit'"),
        (lambda: pelm_lib.Cache(1, 2), "Cache.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: pelm_lib.Cache(limit=5, x=1), "Cache.__new__() got an unexpected keyword argument 'x'"),
        (lambda: pelm_lib.Cache(5, limit=1), "Cache.__new__() got multiple values for argument 'limit'"),
        (lambda: pelm_lib.init_cache(1, 2), "init_cache() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: pelm_lib.init_cache(size=1), "init_cache() got an unexpected keyword argument 'size'"),
        (lambda: C.get_raw(), "Cache.get_raw() missing 1 required positional argument: 'key'"),
        (lambda: C.peek("a", "b"), "Cache.peek() takes 1 positional arguments but 2 were given"),
        (lambda: C.insert_raw("k"), "Cache.insert_raw() missing 1 required positional argument: 'text'"),
        (lambda: C.insert_raw("k", "1", None, 4),
         "Cache.insert_raw() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: C.insert_raw("k", text="1", value=1), "Cache.insert_raw() got an unexpected keyword argument 'value'"),
        (lambda: C.resize(), "Cache.resize() missing 1 required positional argument: 'limit'"),
        (lambda: C.stats(True, reset=False), "Cache.stats() got multiple values for argument 'reset'"),
        (lambda: C.stats(1, 2), "Cache.stats() takes from 0 to 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching(call, text):
    err = raises_exactly(TypeError, text, call)
    assert not hasattr(err, "__notes__")


def test_keywords_by_name_work(cache):
    cache.insert(key="k", value=[1])
    assert cache.get(key="k") == [1]
    assert cache.contains(key="k") is True
    assert cache.remove(key="k") is True


@pytest.mark.parametrize("method", ["get", "remove", "contains", "get_raw", "peek", "insert_raw"])
@pytest.mark.parametrize(
    "key, text",
    [
        (5, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"k", "'bytes' object is not an instance of 'str'"),
    ],
)
def test_key_must_be_str(cache, method, key, text):
    args = (key, "1") if method == "insert_raw" else (key,)
    err = raises_exactly(TypeError, text, getattr(cache, method), *args)
    assert err.__notes__ == ["while processing 'key'"]


def test_in_operator_raises_for_non_str(cache):
    with pytest.raises(TypeError) as info:
        5 in cache
    assert info.value.args == ("'int' object is not an instance of 'str'",)
    assert info.value.__notes__ == ["while processing 'key'"]


def test_key_type_name_is_qualname(cache):
    class Outer:
        class Inner:
            pass

    raises_exactly(
        TypeError, "'test_key_type_name_is_qualname.<locals>.Outer.Inner' object is not an instance of 'str'",
        cache.get, Outer.Inner())


@pytest.mark.parametrize("method", ["insert", "get", "remove", "contains", "in"])
def test_key_with_lone_surrogate(cache, method):
    args = ("\ud800", 1) if method == "insert" else ("\ud800",)
    call = (lambda key: key in cache) if method == "in" else getattr(cache, method)
    with pytest.raises(UnicodeEncodeError) as info:
        call(*args)
    assert info.value.__notes__ == ["while processing 'key'"]
    assert cache.len() == 0
    cache.insert("after", 1)  # the failed call gave its use back
    assert cache.len() == 1


def test_str_subclass_key_is_its_text(cache):
    class S(str):
        pass

    cache.insert(S("k"), 1)
    assert cache.get("k") == 1 and S("k") in cache


@pytest.mark.parametrize(
    "limit, exc",
    [(-1, OverflowError), (2**64, OverflowError), ("10", TypeError), (1.5, TypeError), ([], TypeError)],
)
@pytest.mark.parametrize("make", [pelm_lib.Cache, pelm_lib.init_cache, lambda n: pelm_lib.Cache(5).resize(n)])
def test_bad_limits(make, limit, exc):
    with pytest.raises(exc) as info:
        make(limit)
    assert type(info.value) is exc
    assert info.value.__notes__ == ["while processing 'limit'"]


def test_limit_index_that_raises_passes_through():
    class Bad:
        def __index__(self):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError) as info:
        pelm_lib.Cache(Bad())
    assert info.value.__notes__ == ["while processing 'limit'"]


def test_get_miss_keyerror_text(cache):
    cache.insert("a", 1)
    for key in ["nope", "it's", ""]:
        err = raises_exactly(KeyError, f"Key '{key}' not found", cache.get, key)
        assert not hasattr(err, "__notes__")
    assert cache.len() == 1 and cache.size() == 1


def test_noarg_methods_refuse_arguments(cache):
    for name in ["size", "len", "is_empty", "clear", "keys"]:
        with pytest.raises(TypeError):
            getattr(cache, name)(1)


class CallsBack(dict):
    """A dict whose keys() runs `action` on the cache that is inserting it."""

    def __init__(self, action):
        super().__init__(a=1)
        self.action = action

    def keys(self):
        self.action()
        return super().keys()


@pytest.mark.parametrize(
    "action, inner",
    [
        (lambda c: c.len(), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.size(), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.is_empty(), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.contains("a"), "RuntimeError: Already mutably borrowed"),
        (lambda c: "a" in c, "RuntimeError: Already mutably borrowed"),
        (lambda c: len(c), "RuntimeError: Already mutably borrowed"),
        (lambda c: repr(c), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.limit, "RuntimeError: Already mutably borrowed"),
        (lambda c: c.get("a"), "RuntimeError: Already borrowed"),
        (lambda c: c.insert("x", 1), "RuntimeError: Already borrowed"),
        (lambda c: c.remove("a"), "RuntimeError: Already borrowed"),
        (lambda c: c.clear(), "RuntimeError: Already borrowed"),
        (lambda c: c.peek("a"), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.keys(), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.stats(), "RuntimeError: Already mutably borrowed"),
        (lambda c: c.stats(reset=True), "RuntimeError: Already borrowed"),
        (lambda c: c.get_raw("a"), "RuntimeError: Already borrowed"),
        (lambda c: c.insert_raw("x", "1"), "RuntimeError: Already borrowed"),
        (lambda c: c.resize(0), "RuntimeError: Already borrowed"),
    ],
)
def test_reentrant_call_fails_with_in_use_error(action, inner):
    cache = pelm_lib.Cache(100)
    cache.insert("a", [1, 2])
    before = (repr(cache), cache.get("a"))
    value = CallsBack(lambda: action(cache))
    raises_exactly(SystemError, "failed to serialise Python object: " + inner, cache.insert, "b", value)
    assert (repr(cache), cache.get("a")) == before


def test_in_use_is_checked_before_key_but_after_arguments():
    cache = pelm_lib.Cache(100)
    seen = []

    def action():
        for call in (lambda: cache.get(5), lambda: cache.get(), lambda: cache.contains(5)):
            try:
                call()
            except (RuntimeError, TypeError) as e:
                seen.append((type(e), e.args[0]))
        return None

    cache.insert("k", CallsBack(action))
    assert seen == [
        (RuntimeError, "Already borrowed"),
        (TypeError, "Cache.get() missing 1 required positional argument: 'key'"),
        (RuntimeError, "Already mutably borrowed"),
    ]


def test_user_code_converting_resize_and_stats_arguments_may_use_the_cache():
    """Their arguments are converted before the cache is taken, so __index__
    and __bool__ may use it; the new cap applies to the cache they left."""
    cache = pelm_lib.Cache(100)
    cache.insert("a", "x" * 10)

    class Limit:
        def __index__(self):
            cache.insert("b", "y" * 10)
            return 13

    class Reset:
        def __bool__(self):
            cache.get("b")
            return True

    assert cache.resize(Limit()) is None
    assert cache.keys() == ["b"] and cache.limit == 13
    assert cache.stats(reset=Reset()) == (1, 0, 2, 1, 0)
    assert cache.stats() == (0, 0, 0, 0, 0)


def test_reset_whose_truth_raises_changes_nothing(cache):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("nope")

    cache.insert("a", 1)
    with pytest.raises(ZeroDivisionError) as info:
        cache.stats(reset=Bad())
    assert info.value.__notes__ == ["while processing 'reset'"]
    assert cache.stats().inserts == 1
