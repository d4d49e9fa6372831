"""Cache.memoize: keys as equivalence classes of bindings, uncacheable calls
and results, exceptions, the shared coroutine call, re-entrant use of the
cache, methods, and references kept or released."""

import asyncio
import collections.abc
import copy
import functools
import gc
import inspect
import math
import pickle
import random
import sys
import time
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelm_lib

# --- keys: random spellings of one binding share a key; unequal values never do

# Values chosen to collide under ==/hash but not as JSON text (1, 1.0, True;
# 0.0 and -0.0; [1] and (1,) are one value), plus arbitrary JSON-like ones.
NEAR = st.sampled_from([0, 1, 1.0, True, False, 0.0, -0.0, None, "1", "", [], {}, [1], (1,), {"a": 1}])
SCALARS = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=4))
VALUES = st.recursive(NEAR | SCALARS, lambda ch: st.lists(ch, max_size=3)
                      | st.dictionaries(st.text(max_size=3), ch, max_size=3), max_leaves=6)
EXTRA_NAMES = st.sampled_from(["a", "b", "x", "y", "é"])  # a and b are positional-only: legal in **kw


def canon(v):
    """The value as the key must see it: types kept apart, order of dicts and
    the list/tuple difference ignored, floats by their exact repr."""
    if v is None or isinstance(v, bool):
        return (type(v).__name__, v)
    if isinstance(v, int):
        return ("int", v)
    if isinstance(v, float):
        return ("float", repr(v))
    if isinstance(v, str):
        return ("str", v)
    if isinstance(v, (list, tuple)):
        return ("list", tuple(canon(x) for x in v))
    return ("dict", tuple(sorted((k, canon(x)) for k, x in v.items())))


def respell(v, rnd):
    """An equal value spelled differently: dicts reordered, lists as tuples."""
    if isinstance(v, (list, tuple)):
        items = [respell(x, rnd) for x in v]
        return tuple(items) if rnd.random() < 0.5 else items
    if isinstance(v, dict):
        items = [(k, respell(x, rnd)) for k, x in v.items()]
        rnd.shuffle(items)
        return dict(items)
    return v


cache = pelm_lib.Cache(1 << 20)


@cache.memoize
def target(a, b=2, /, c=3, *args, d, e=5, **kw):
    return None


DEFAULTS = {"b": 2, "c": 3, "e": 5}
bindings = st.fixed_dictionaries({
    "a": VALUES, "b": NEAR, "c": NEAR, "args": st.lists(VALUES, max_size=2), "d": VALUES, "e": NEAR,
    "kw": st.dictionaries(EXTRA_NAMES, VALUES, max_size=3),
})


def spell(binding, rnd):
    """(args, kwargs) of one random call that binds to `binding`."""
    v = {k: respell(x, rnd) for k, x in binding.items()}
    is_default = {k: canon(binding[k]) == canon(DEFAULTS[k]) for k in DEFAULTS}
    c_by_position = bool(binding["args"]) or rnd.random() < 0.4
    b_given = c_by_position or not is_default["b"] or rnd.random() < 0.5
    args = [v["a"]] + ([v["b"]] if b_given else [])
    kwargs = {"d": v["d"]}
    if c_by_position:
        args += [v["c"], *v["args"]]
    elif not is_default["c"] or rnd.random() < 0.5:
        kwargs["c"] = v["c"]
    if not is_default["e"] or rnd.random() < 0.5:
        kwargs["e"] = v["e"]
    extra = list(v["kw"].items())
    rnd.shuffle(extra)
    kwargs.update(extra)
    return args, kwargs


def bound_canon(binding):
    return tuple(canon(binding[k]) if k != "kw" else canon(dict(binding[k])) for k in sorted(binding))


@settings(max_examples=300, deadline=None)
@given(bindings, bindings, st.randoms(use_true_random=False))
def test_key_is_one_per_binding_and_never_shared(one, other, rnd):
    args, kwargs = spell(one, rnd)
    key = target.key(*args, **kwargs)
    assert key is not None and key.startswith(__name__ + ".target")
    for _ in range(3):
        again_args, again_kwargs = spell(one, rnd)
        assert target.key(*again_args, **again_kwargs) == key
    other_args, other_kwargs = spell(other, rnd)
    assert (target.key(*other_args, **other_kwargs) == key) == (bound_canon(one) == bound_canon(other))


@pytest.mark.parametrize("arg", ["ascii", "é", "日本語", "😀", {"k": "é" * 300}], ids=repr)
def test_a_call_stores_under_its_key_and_get_finds_it(arg):
    c = pelm_lib.Cache(10_000)
    f = c.memoize(lambda x: [x], prefix="p")
    f(arg)
    key = f.key(arg)
    assert c.get(key) == [arg] and c.len() == 1
    if isinstance(arg, dict):  # longer than 256 bytes: prefix + SHA-256 hex
        assert len(key) == len("p") + 64 and all(ch in "0123456789abcdef" for ch in key[1:])


# --- calls that cannot be cached, results that cannot be stored --------------

cyclic = []
cyclic.append(cyclic)


class Opaque:
    pass


class IdentityStr(str):
    """Equal only to itself: two of one text are two keys of one dict."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


UNCACHEABLE = {
    "set": {1}, "frozenset": frozenset({2}), "nan": math.nan, "inf": math.inf, "-inf": -math.inf,
    "set-deep": [{"x": [{3}]}], "nan-deep": {"x": [math.nan]}, "bytes": b"x", "object": Opaque(),
    "int-too-big": 2**70, "int-member-name": {1: 2}, "cyclic": cyclic,
    "one-text-two-names": {IdentityStr("a"): 1, IdentityStr("a"): 2},
}


def counting(c, **options):
    calls = []

    def fn(x, *rest):
        calls.append(x)
        return RESULT

    return c.memoize(fn, **options), calls


RESULT = ["the", "result"]


@pytest.mark.parametrize("arg", UNCACHEABLE.values(), ids=UNCACHEABLE.keys())
def test_uncacheable_calls_run_every_time_and_return_as_is(arg):
    c = pelm_lib.Cache(1000)
    f, calls = counting(c)
    assert f(arg) is RESULT and f(arg) is RESULT
    assert len(calls) == 2 and c.is_empty()
    assert f.key(arg) is None and f.invalidate(arg) is False


@pytest.mark.parametrize("call", [lambda f: f(), lambda f: f(1, y=2), lambda f: f(x=1, **{"x\ud800": 1})],
                         ids=["missing", "unexpected-keyword", "surrogate-keyword"])
def test_calls_that_do_not_bind_raise_the_functions_own_error(call):
    c = pelm_lib.Cache(1000)
    plain = lambda x: x  # noqa: E731
    f = c.memoize(plain)
    with pytest.raises(TypeError) as memoized:
        call(f)
    with pytest.raises(TypeError) as direct:
        call(plain)
    assert str(memoized.value) == str(direct.value) and c.is_empty()


@pytest.mark.parametrize("result", [[b"bytes"], Opaque(), "x" * 100, [2**70], cyclic, math.inf,
                                    [1, {"x": -math.inf}], [math.nan]], ids=repr)
def test_results_that_cannot_be_stored_are_returned_as_they_are(result):
    c = pelm_lib.Cache(50)
    f = c.memoize(lambda x: result)
    assert f(1) is result and f(1) is result and c.is_empty()


@pytest.mark.parametrize("result, stored", [((1, 2), [1, 2]), ({"b": 1, "a": (2.5,)}, {"a": [2.5], "b": 1}),
                                            ([{1}], [[1]])], ids=repr)
def test_first_and_later_calls_return_the_stored_form(result, stored):
    c = pelm_lib.Cache(1000)
    f = c.memoize(lambda x: result)
    first, second = f(1), f(1)
    assert first == second == stored and first is not second
    assert type(first) is type(second) is type(stored)


def test_calls_count_in_stats_as_get_and_insert_do():
    c = pelm_lib.Cache(1000)
    f, calls = counting(c)
    f(1), f(1), f(1), f(2), f({1}), f(math.nan)  # miss, hit, hit, miss, and two uncached calls
    assert c.stats()[:4] == (2, 2, 2, 0) and len(calls) == 4


def test_exceptions_propagate_and_store_nothing():
    c = pelm_lib.Cache(1000)
    outcomes = [ValueError("first"), KeyError("second"), {"ok": True}]

    @c.memoize
    def f(x):
        outcome = outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    for expected in (ValueError, KeyError):
        with pytest.raises(expected):
            f(1)
        assert c.is_empty()
    assert f(1) == f(1) == {"ok": True} and outcomes == []


# --- time limits ------------------------------------------------------------------

def test_results_expire_after_ttl(clock):
    c = pelm_lib.Cache(1000)
    f, calls = counting(c, ttl=60)
    plain, plain_calls = counting(c, prefix="plain")
    f(1), plain(1)
    clock.advance(59)
    f(1), plain(1)
    assert len(calls) == 1 and c.stats().expirations == 0
    clock.advance(2)
    assert f.invalidate(1) is False and c.stats().expirations == 1  # expired: gone for every caller
    f(1), f(1), plain(1)
    assert len(calls) == 2 and len(plain_calls) == 1


def test_results_expire_after_ttl_in_real_time():
    c = pelm_lib.Cache(1000)
    f, calls = counting(c, ttl=0.02)
    f(1)
    time.sleep(0.05)
    f(1)
    assert len(calls) == 2


@pytest.mark.parametrize("ttl", [True, "1", 1j, 0, -5, 0.0, math.nan, math.inf], ids=repr)
def test_ttl_is_refused_as_insert_ttl_refuses_it(ttl):
    c = pelm_lib.Cache(100)
    with pytest.raises((TypeError, ValueError)) as expected:
        c.insert_ttl("k", 1, ttl)
    for memoize in (lambda: c.memoize(len, ttl=ttl), lambda: c.memoize(ttl=ttl)):
        with pytest.raises(type(expected.value)) as raised:
            memoize()
        assert (raised.value.args, raised.value.__notes__) == (expected.value.args, expected.value.__notes__)


# --- coroutine functions ------------------------------------------------------

def run_async_case(make_body):
    c = pelm_lib.Cache(1000)
    calls = []

    @c.memoize
    async def fetch(n):
        calls.append(n)
        for _ in range(3):
            await asyncio.sleep(0)
        if n < 0:
            raise ValueError(n)
        return {"n": n}

    return asyncio.run(make_body(fetch)), calls, c


def test_concurrent_awaits_of_one_key_share_one_call():
    async def body(fetch):
        first = await asyncio.gather(*(fetch(1) for _ in range(5)), fetch(2))
        return first, await fetch(1)

    (results, later), calls, c = run_async_case(body)
    assert sorted(calls) == [1, 2] and results[:5] == [{"n": 1}] * 5 and later == {"n": 1}
    assert len({id(r) for r in results}) == 6 and c.len() == 2


def test_a_shared_call_that_raises_fails_every_waiter_and_stores_nothing():
    async def body(fetch):
        failed = await asyncio.gather(*(fetch(-1) for _ in range(4)), return_exceptions=True)
        return failed, await asyncio.gather(fetch(-1), return_exceptions=True)

    (failed, again), calls, c = run_async_case(body)
    assert calls == [-1, -1] and c.is_empty()
    assert all(isinstance(e, ValueError) for e in failed + again) and len({id(e) for e in failed}) == 1


@pytest.mark.parametrize("arg", ["plain", "été ✓", "x" * 400], ids=["ascii", "non-ascii", "digested"])
def test_a_shared_call_stores_under_the_key_that_get_and_later_calls_find(arg):
    async def body(fetch):
        return await asyncio.gather(fetch(arg), fetch(arg)), await fetch(arg)

    c = pelm_lib.Cache(10_000)
    calls = []

    @c.memoize
    async def fetch(a):
        calls.append(a)
        await asyncio.sleep(0)
        return [a]

    shared, later = asyncio.run(body(fetch))
    assert shared == [[arg]] * 2 and later == [arg] and calls == [arg]
    assert c.get(fetch.key(arg)) == [arg] and c.len() == 1


@pytest.mark.parametrize("cancelled_index", [0, 1], ids=["first-awaiter", "later-awaiter"])
def test_a_cancelled_awaiter_leaves_the_shared_call_running(cancelled_index):
    async def body(fetch):
        awaiters = [asyncio.ensure_future(fetch(3)) for _ in range(3)]
        await asyncio.sleep(0)
        awaiters[cancelled_index].cancel()
        return await asyncio.gather(*awaiters, return_exceptions=True)

    results, calls, c = run_async_case(body)
    assert isinstance(results.pop(cancelled_index), asyncio.CancelledError)
    assert results == [{"n": 3}] * 2 and calls == [3] and c.len() == 1


def test_cancelling_every_awaiter_cancels_the_call_and_a_new_await_starts_afresh():
    async def body(fetch):
        awaiters = [asyncio.ensure_future(fetch(4)) for _ in range(2)]
        await asyncio.sleep(0)
        for a in awaiters:
            a.cancel()
        gone = await asyncio.gather(*awaiters, return_exceptions=True)
        return gone, await fetch(4)

    (gone, again), calls, c = run_async_case(body)
    assert all(isinstance(e, asyncio.CancelledError) for e in gone)
    assert again == {"n": 4} and calls == [4, 4] and c.len() == 1


def test_the_coroutine_wrapper_is_a_coroutine_function():
    c = pelm_lib.Cache(1000)

    async def fetch():
        return 1

    f = c.memoize(fetch)
    if sys.version_info >= (3, 12):
        assert inspect.iscoroutinefunction(f)
    else:  # asyncio's check is deprecated from 3.14
        assert asyncio.iscoroutinefunction(f)
    coroutine = f()
    assert inspect.iscoroutine(coroutine)
    assert asyncio.run(coroutine) == 1


# --- re-entrancy --------------------------------------------------------------

def test_the_function_may_use_its_cache_and_memoized_functions():
    c = pelm_lib.Cache(100_000)

    @c.memoize
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    @c.memoize
    def report(n):
        c.insert("seen", n)
        return {"fib": fib(n), "seen": c.get("seen"), "removed": c.remove("seen")}

    assert report(40) == report(40) == {"fib": 102334155, "removed": True, "seen": 40}


def test_a_call_made_while_the_cache_is_in_use_runs_uncached():
    c = pelm_lib.Cache(1000)
    f, calls = counting(c)

    class Probe(collections.abc.Sequence):
        def __len__(self):
            self.seen = f(7)  # runs during the insert's conversion
            return 0

        def __getitem__(self, i):
            raise IndexError(i)

    probe = Probe()
    c.insert("k", probe)
    ran = len(calls)  # the conversion reads the length more than once
    assert probe.seen is RESULT and ran >= 1 and c.len() == 1
    assert f(7) == RESULT and f(7) == RESULT and len(calls) == ran + 1


def test_arguments_that_call_the_wrapper_while_the_key_is_written():
    c = pelm_lib.Cache(1000)

    class Nested(collections.abc.Mapping):
        def __getitem__(self, k):
            return {"a": f(1)}[k]

        def __iter__(self):
            return iter(["a"])

        def __len__(self):
            return 1

    f = c.memoize(lambda x: x if isinstance(x, int) else dict(x))
    assert f(Nested()) == {"a": 1} and f.key(Nested()).endswith('[{"a":1}]') and c.len() == 2


# --- methods and the wrapper's attributes ---------------------------------------

def test_methods_static_and_class_methods():
    c = pelm_lib.Cache(1000)
    calls = []

    class Point(dict):
        @c.memoize
        def norm(self, scale=1):
            calls.append("norm")
            return (self["x"] ** 2 + self["y"] ** 2) ** 0.5 * scale

        @staticmethod
        @c.memoize
        def below(x):
            calls.append("below")
            return x

        @c.memoize
        @staticmethod
        def above(x):
            calls.append("above")
            return x

        @c.memoize
        @classmethod
        def make(cls, x):
            calls.append("make")
            return x

    p, q = Point(x=3, y=4), Point(y=4, x=3)
    assert p.norm() == q.norm(scale=1) == Point.norm(p) == 5.0 and calls == ["norm"]
    assert Point.norm.key(p) == Point.norm.key(q, 1)
    assert Point.below(1) == Point.above(1) == p.below(1) == p.above(1) == 1
    assert Point.make(2) == Point.make(2) == 2  # cls is no JSON value: uncached
    assert calls == ["norm", "below", "above", "make", "make"]


def total(n, rate=2, *, fee=0):
    return n * rate + fee


class Shop:
    def price(self, n=1, *, fee=0):
        return n * 10 + fee


# Each case: (make the callable, change what its defaults are read from, the
# arguments, the result before and after). The memoized call must follow.
STALE_DEFAULTS = {
    "partial-keyword-changed": (lambda: functools.partial(total, rate=2),
                                lambda p: p.keywords.__setitem__("rate", 3), (10,), 20, 30),
    "partial-keyword-added": (lambda: functools.partial(total, rate=2),
                              lambda p: p.keywords.__setitem__("fee", 1), (10,), 20, 21),
    "partial-of-function-defaults": (lambda: functools.partial(total),
                                     lambda p: setattr(total, "__defaults__", (4,)), (10,), 20, 40),
    "method-defaults-reassigned": (lambda: Shop().price,
                                   lambda m: setattr(Shop.price, "__defaults__", (5,)), (), 10, 50),
    "method-kwdefaults-changed": (lambda: Shop().price,
                                  lambda m: Shop.price.__kwdefaults__.__setitem__("fee", 7), (), 10, 17),
}


@pytest.mark.parametrize("make, change, args, before, after", STALE_DEFAULTS.values(), ids=STALE_DEFAULTS.keys())
def test_defaults_of_partials_and_bound_methods_are_those_in_force_at_the_call(make, change, args, before, after):
    saved = (total.__defaults__, Shop.price.__defaults__, dict(Shop.price.__kwdefaults__))
    try:
        c = pelm_lib.Cache(1000)
        target = make()
        f = c.memoize(target, prefix="f")
        assert f(*args) == f(*args) == before and c.len() == 1
        change(target)
        assert f(*args) == f(*args) == target(*args) == after
    finally:
        total.__defaults__, Shop.price.__defaults__, kw = saved
        Shop.price.__kwdefaults__.clear()
        Shop.price.__kwdefaults__.update(kw)


def test_defaults_that_cannot_be_watched_run_the_call_uncached():
    c = pelm_lib.Cache(1000)

    class Scaled:
        def __init__(self, n, rate=2):
            self.value = n * rate

    f = c.memoize(lambda n: Scaled(n).value, prefix="g")  # a plain function: cached
    assert f(1) == 2 and c.len() == 1
    made = c.memoize(Scaled, prefix="s")  # a class: its __init__ defaults are not watched
    Scaled.__init__.__defaults__ = (3,)
    assert made(1).value == 3 and c.len() == 1  # took a default: ran uncached (and unstorable anyway)
    calls = []

    class Call:
        def __call__(self, n, rate=2):
            calls.append(n)
            return n * rate

    g = c.memoize(Call(), prefix="c")
    assert g(1) == g(1) == 2 and calls == [1, 1]  # takes a default: uncached
    assert g(1, 2) == g(1, 2) == 2 and calls == [1, 1, 1]  # every argument given: cached


def test_a_method_of_an_instance_that_is_no_json_value_runs_uncached():
    c = pelm_lib.Cache(1000)

    class Plain:
        calls = 0

        @c.memoize
        def twice(self, x):
            self.calls += 1
            return [x, x]

    p = Plain()
    assert p.twice(1) == p.twice(1) == [1, 1] and p.calls == 2 and c.is_empty()


def test_the_wrapper_looks_like_the_function():
    c = pelm_lib.Cache(1000)

    def area(w: int, h: int = 1) -> int:
        """Width times height."""
        return w * h

    area.extra = "kept"
    f = c.memoize(prefix="v2")(area)
    assert (f.__wrapped__, f.__name__, f.__qualname__, f.__doc__, f.__module__, f.extra, f.cache) == (
        area, "area", area.__qualname__, area.__doc__, __name__, "kept", c)
    assert inspect.signature(f) == inspect.signature(area) and f.key(2) == "v2[2,1]"
    assert "MemoizedFunction" not in dir(pelm_lib)
    with pytest.raises(TypeError):
        type(f)()
    assert copy.copy(f) is f and copy.deepcopy([f])[0] is f and pickle.loads(pickle.dumps(target)) is target


def test_a_wrapper_in_a_reference_cycle_is_collected():
    c = pelm_lib.Cache(1000)

    def make():
        @c.memoize
        def countdown(n):
            return n if n <= 0 else countdown(n - 1)
        return countdown

    f = make()
    assert f(5) == 0
    alive = weakref.ref(f)
    del f
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("args, kwargs, error", [
    ((len, len), {}, "Cache.memoize() takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"func": len}, "Cache.memoize() got some positional-only arguments passed as keyword arguments: 'func'"),
    ((len,), {"other": 1}, "Cache.memoize() got an unexpected keyword argument 'other'"),
    ((5,), {}, "'int' object is not callable"),
    ((len,), {"prefix": 5}, "'int' object is not an instance of 'str'"),
])
def test_memoize_argument_errors(args, kwargs, error):
    with pytest.raises(TypeError) as raised:
        pelm_lib.Cache(10).memoize(*args, **kwargs)
    assert str(raised.value) == error


# --- references -----------------------------------------------------------------

DEFAULT = {"default": [1]}


def test_calls_keep_the_references_of_arguments_defaults_and_results():
    c = pelm_lib.Cache(10_000)

    @c.memoize
    def f(x, d=DEFAULT, *rest, **kw):
        if x == "raise":
            raise ValueError(x)
        return RESULT if x == "as-is" else {"x": x}

    arg, opaque = {"k": ["v", 1.5]}, Opaque()
    watched = (arg, opaque, DEFAULT, RESULT)
    before = [sys.getrefcount(o) for o in watched]
    for i in range(50):
        f(arg), f(arg, DEFAULT, arg, k=arg), f(str(i)), f(opaque), f.key(arg), f.invalidate(arg)
        f(b"unstorable" if i % 2 else "as-is")
        with pytest.raises(ValueError):
            f("raise")
    assert [sys.getrefcount(o) for o in watched] == before


def test_random_call_sequences_agree_with_the_function():
    c = pelm_lib.Cache(400)  # small: entries are evicted as the sequence runs
    rnd = random.Random(15)

    @c.memoize
    def f(a, b=0, *, scale=1.0):
        return {"sum": [a, b, a + b], "scaled": (a + b) * scale}

    for _ in range(2000):
        a, b, scale = rnd.randrange(20), rnd.randrange(3), rnd.choice([1.0, 2.0, 1])
        call = rnd.choice([lambda: f(a, b, scale=scale), lambda: f(b=b, a=a, scale=scale),
                           lambda: f(a, scale=scale) if b == 0 else f(a, b=b, scale=scale)])
        result, direct = call(), f.__wrapped__(a, b, scale=scale)
        assert result == direct and type(result["scaled"]) is type(direct["scaled"])
