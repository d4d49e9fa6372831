"""Values whose own Python code fights the conversion: containers that mutate
themselves or their parents while they are read, lying or raising protocol
methods, raising isinstance checks, calls back into the cache that is
inserting them, and reference counts after every kind of outcome.

Every case must leave the interpreter alive and the cache exactly as it was
when the insert fails."""

import collections.abc
import dataclasses
import itertools
import sys
import typing

import pytest

import pelm_lib
from conversion_helpers import PREFIX, interpreter_text

BIG_LIMIT = 1 << 40
LIST_INDEX_ERROR = "IndexError: list index out of range"


def make_cache():
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("before", [1, 2])
    return cache


def snapshot(cache):
    return (len(cache), cache.size(), repr(cache), cache.get("before"))


def stored(value):
    """(stored size, value read back) after a successful insert."""
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", value)
    return cache.size(), cache.get("k")


def failure(value, cache=None):
    """The conversion text of a failing insert; checks the cache is unchanged."""
    cache = cache if cache is not None else make_cache()
    before = snapshot(cache)
    with pytest.raises(SystemError) as info:
        cache.insert("k", value)
    assert snapshot(cache) == before
    text = str(info.value)
    assert text.startswith(PREFIX)
    return text[len(PREFIX):]


def text_size(text):
    return len(text.encode())


def once(fn):
    """`fn` on the first call only (a length is read twice per sequence)."""
    calls = []

    def run():
        if not calls:
            calls.append(1)
            fn()

    return run


class Hook(list):
    """A list subclass that runs `hook` each time its length is read."""

    def __init__(self, items=(), hook=lambda: None):
        super().__init__(items)
        self.hook = hook

    def __len__(self):
        self.hook()
        return super().__len__()


class HashableHook(collections.abc.Sequence):
    """A hashable Sequence running `hook` when its length is read (for sets)."""

    def __init__(self, hook):
        self.hook = hook

    def __len__(self):
        self.hook()
        return 0

    def __getitem__(self, i):
        raise IndexError(i)


class ParentList(list):
    pass


class ParentDict(dict):
    pass


# --- containers mutated while they are read ---------------------------------

PARENT_LISTS = [pytest.param(list, id="exact-list"), pytest.param(ParentList, id="list-subclass")]


@pytest.mark.parametrize("parent_type", PARENT_LISTS)
@pytest.mark.parametrize(
    "mutate, outcome",
    [
        pytest.param(lambda p: p.clear(), LIST_INDEX_ERROR, id="clear"),
        pytest.param(lambda p: p.pop(), LIST_INDEX_ERROR, id="shrink-by-one"),
        pytest.param(lambda p: p.extend([7, 8]), '[[],"a","b"]', id="grow-reads-first-length"),
        pytest.param(lambda p: p.__setitem__(2, "new"), '[[],"a","new"]', id="replace-later-item"),
        pytest.param(lambda p: p.insert(0, "front"), '[[],[],"a"]', id="insert-shifts-items"),
    ],
)
def test_list_mutated_by_its_own_item(parent_type, mutate, outcome):
    parent = parent_type()
    # Items only the parent holds: a read past them would touch freed memory.
    parent.extend([Hook(hook=once(lambda: mutate(parent))), "".join(["a"]), "".join(["b"])])
    if outcome.startswith("IndexError"):
        assert failure(parent) == outcome
    else:
        assert stored(parent)[0] == text_size(outcome)


@pytest.mark.parametrize("parent_type", [pytest.param(dict, id="exact-dict"), pytest.param(ParentDict, id="subclass")])
@pytest.mark.parametrize(
    "mutate",
    [
        pytest.param(lambda d: d.clear(), id="clear"),
        pytest.param(lambda d: d.update(z=[9], b=["replaced"]), id="grow-and-replace"),
        pytest.param(lambda d: d.pop("b"), id="drop-later-entry"),
    ],
)
# Plain scalars ahead of the hook are written before the hook runs; the entries
# after it must still come from the dict as it was when the walk began.
@pytest.mark.parametrize("leading", [pytest.param({}, id="hook-first"),
                                     pytest.param({"0": 1, "1": "s", "2": 2.5, "3": None, "4": True},
                                                  id="scalars-before-hook")])
def test_dict_entries_are_read_from_the_snapshot(parent_type, mutate, leading):
    parent = parent_type(leading)
    parent["a"] = Hook(hook=once(lambda: mutate(parent)))
    parent["b"] = ["only", "here"]
    parent["c"] = {"x": "".join(["y"])}
    head = '"0":1,"1":"s","2":2.5,"3":null,"4":true,' if leading else ""
    text = '{' + head + '"a":[],"b":["only","here"],"c":{"x":"y"}}'
    assert stored(parent) == (text_size(text), {**leading, "a": [], "b": ["only", "here"], "c": {"x": "y"}})


class OwnListsMapping(collections.abc.Mapping):
    """keys() and values() hand out the mapping's own lists."""

    def __init__(self, keys, values, length=None):
        self.key_list = keys
        self.value_list = values
        self.length = length

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(self.key_list)

    def __len__(self):
        return len(self.key_list) if self.length is None else self.length

    def keys(self):
        return self.key_list

    def values(self):
        return self.value_list


def mapping_with_hook(mutate):
    m = OwnListsMapping(["a", "b"], [None, ["v"]])
    m.value_list[0] = Hook(hook=once(lambda: mutate(m)))
    return m


@pytest.mark.parametrize(
    "mutate, outcome",
    [
        pytest.param(lambda m: m.value_list.clear(), LIST_INDEX_ERROR, id="values-cleared"),
        pytest.param(lambda m: m.key_list.clear(), LIST_INDEX_ERROR, id="keys-cleared"),
        pytest.param(lambda m: m.value_list.__setitem__(1, "new"), '{"a":[],"b":"new"}', id="value-replaced"),
        pytest.param(lambda m: m.key_list.append("c"), '{"a":[],"b":["v"]}', id="keys-grown"),
    ],
)
def test_mapping_lists_mutated_from_nested_len(mutate, outcome):
    value = mapping_with_hook(mutate)
    if outcome.startswith("IndexError"):
        assert failure(value) == outcome
    else:
        assert stored(value)[0] == text_size(outcome)


@pytest.mark.parametrize(
    "length, outcome",
    [
        pytest.param(3, LIST_INDEX_ERROR, id="longer-than-lists"),
        pytest.param(1, '{"a":1}', id="shorter-than-lists"),
        pytest.param(0, "{}", id="zero"),
    ],
)
def test_mapping_length_decides_entry_count(length, outcome):
    value = OwnListsMapping(["a", "b"], [1, 2], length)
    if outcome.startswith("IndexError"):
        assert failure(value) == outcome
    else:
        assert stored(value)[0] == text_size(outcome)


def test_set_changed_during_iteration():
    s = set()
    s.add(HashableHook(lambda: s.add(object())))
    s.add(1)
    assert failure(s) == "RuntimeError: Set changed size during iteration"


@dataclasses.dataclass
class Holder:
    items: typing.Any
    other: typing.Any = 1


def test_dataclass_instance_dict_replaced_mid_conversion():
    holder = Holder(None, ["old"])
    holder.items = Hook(hook=lambda: setattr(holder, "__dict__", {"other": "new"}))
    assert stored(holder)[1] == {"items": [], "other": ["old"]}


def test_dataclass_later_field_deleted_mid_conversion():
    holder = Holder(None)
    holder.items = Hook(hook=once(lambda: delattr(holder, "other")))
    assert failure(holder) == "KeyError: 'other'"


def test_field_value_that_rebinds_its_field_is_still_read_whole():
    @dataclasses.dataclass
    class Only:
        items: typing.Any

    only = Only(None)
    only.items = Hook([[], 1], hook=lambda: setattr(only, "items", "gone"))
    size, got = stored(only)
    assert size == len('{"items":[[],1]}')
    assert got == {"items": [[], 1]}


# --- lying and raising protocol methods -------------------------------------


class Lying(list):
    def __init__(self, lengths, items=()):
        super().__init__(items)
        self.lengths = itertools.cycle(lengths)

    def __len__(self):
        return next(self.lengths)


class IndexHook:
    def __init__(self, value, hook):
        self.value = value
        self.hook = hook

    def __index__(self):
        self.hook()
        return self.value


def parent_cleared_by_index():
    parent = []
    parent.extend([Lying([IndexHook(0, parent.clear)] * 2), "x"])
    return parent


LIES = [
    pytest.param(Lying([1, 2], [0]), "expected sequence of length 1, got 2", id="length-changes"),
    pytest.param(Lying([-1]), interpreter_text(lambda: len(Lying([-1]))), id="negative-length"),
    pytest.param(Lying(["3"]), interpreter_text(lambda: len(Lying(["3"]))), id="length-not-int"),
    pytest.param(Lying([2**100]), interpreter_text(lambda: len(Lying([2**100]))), id="length-too-big"),
    pytest.param(Lying([3, 3], [0]), LIST_INDEX_ERROR, id="length-beyond-items"),
    pytest.param(parent_cleared_by_index(), LIST_INDEX_ERROR, id="index-of-length-clears-parent"),
]


@pytest.mark.parametrize("value, text", LIES)
def test_lying_lengths(value, text):
    assert failure(value) == text


def test_lying_length_below_item_count_reads_a_prefix():
    assert stored(Lying([1, 1], ["a", "b"]))[1] == ["a"]


def raise_(exc):
    raise exc


class RaisingGetItem(list):
    def __init__(self, exc):
        super().__init__([1])
        self.exc = exc

    def __getitem__(self, i):
        raise self.exc


class RaisingKeys(dict):
    def __init__(self, exc):
        super().__init__(a=1)
        self.exc = exc

    def keys(self):
        raise self.exc


class RaisingValues(dict):
    def __init__(self, exc):
        super().__init__(a=1)
        self.exc = exc

    def values(self):
        raise self.exc


class RaisingIter(set):
    def __init__(self, exc):
        super().__init__([1])
        self.exc = exc

    def __iter__(self):
        raise self.exc


class RaisingNext(frozenset):
    def __iter__(self):
        yield 1
        raise self.exc


class RaisingDictAttr:
    __dataclass_fields__ = {"a": None}

    def __init__(self, exc):
        self.exc = exc

    def __getattribute__(self, name):
        if name == "__dict__":
            raise object.__getattribute__(self, "exc")
        return object.__getattribute__(self, name)


def raising_next(exc):
    value = RaisingNext()
    value.exc = exc
    return value


def raising_eq_field(exc):
    class RaisingEq(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise exc

    class Fields:
        __dataclass_fields__ = {RaisingEq("a"): None}

        def __init__(self):
            self.a = 1

    return Fields()


HOOKS = {
    "__len__": lambda exc: Hook(hook=lambda: raise_(exc)),
    "__getitem__": RaisingGetItem,
    "keys": RaisingKeys,
    "values": RaisingValues,
    "__iter__": RaisingIter,
    "next": raising_next,
    "__index__": lambda exc: Lying([IndexHook(0, lambda: raise_(exc))]),
    "__dict__": RaisingDictAttr,
    "field-name-__eq__": raising_eq_field,
}


@pytest.mark.parametrize("hook", HOOKS)
@pytest.mark.parametrize(
    "exc, text",
    [
        (ValueError("boom"), "ValueError: boom"),
        (KeyboardInterrupt("stop"), "KeyboardInterrupt: stop"),
        (SystemExit(3), "SystemExit: 3"),
    ],
    ids=["ValueError", "KeyboardInterrupt", "SystemExit"],
)
def test_raising_hook_is_the_conversion_failure(hook, exc, text):
    assert failure(HOOKS[hook](exc)) == text


class AttributeRaises:
    def __getattr__(self, name):
        raise ValueError(name)


def test_raising_dataclass_lookup_counts_as_absent():
    assert failure(AttributeRaises()) == "unsupported type AttributeRaises"


class IntIndexRaises(int):
    def __index__(self):
        raise AssertionError("an int's value is read directly")

    def __int__(self):
        raise AssertionError("an int's value is read directly")


def test_int_subclass_is_read_without_its_hooks():
    assert stored([IntIndexRaises(5), IntIndexRaises(2**64 - 1)])[1] == [5, 2**64 - 1]


# --- isinstance checks that raise -------------------------------------------


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((type(u.exc_value), u.object)))
    return seen


class ClassRaises:
    """isinstance against an abstract class reads __class__, which raises."""

    def __init__(self, after=0, first=object):
        self.after = after
        self.first = first

    def __len__(self):
        return 0

    @property
    def __class__(self):
        if self.after == 0:
            raise LookupError("no class")
        self.after -= 1
        return self.first


class SequenceClaim(collections.abc.Sequence):
    pass


def test_raising_isinstance_is_reported_and_counts_as_no(unraisable):
    value = ClassRaises()
    assert failure(value) == "unsupported type ClassRaises"
    assert unraisable == [(LookupError, value), (LookupError, value)]


def test_raising_isinstance_in_the_opening_is_a_type_error(unraisable):
    value = ClassRaises(after=1, first=SequenceClaim)
    assert failure(value) == "unexpected type: 'ClassRaises' object is not an instance of 'Sequence'"
    assert unraisable == [(LookupError, value)]


class ClassRaisesDataclass(ClassRaises):
    __dataclass_fields__ = {"a": None}

    def __init__(self):
        super().__init__()
        self.a = [1]


def test_raising_isinstance_then_dataclass(unraisable):
    assert stored(ClassRaisesDataclass())[1] == {"a": [1]}
    assert [kind for kind, _ in unraisable] == [LookupError, LookupError]


# --- calls back into the inserting cache ------------------------------------

REENTRANT_CALLS = {
    "insert": (lambda c: c.insert("x", 1), "Already borrowed"),
    "get": (lambda c: c.get("before"), "Already borrowed"),
    "remove": (lambda c: c.remove("before"), "Already borrowed"),
    "clear": (lambda c: c.clear(), "Already borrowed"),
    "contains": (lambda c: c.contains("before"), "Already mutably borrowed"),
    "in": (lambda c: "before" in c, "Already mutably borrowed"),
    "size": (lambda c: c.size(), "Already mutably borrowed"),
    "len": (lambda c: c.len(), "Already mutably borrowed"),
    "is_empty": (lambda c: c.is_empty(), "Already mutably borrowed"),
    "len()": (lambda c: len(c), "Already mutably borrowed"),
    "repr": (lambda c: repr(c), "Already mutably borrowed"),
    "limit": (lambda c: c.limit, "Already mutably borrowed"),
}

REENTRY_POINTS = {
    "__len__": lambda call: Hook(hook=call),
    "keys": lambda call: type("K", (dict,), {"keys": lambda self: (call(), [])[1]})(),
    "dataclass-field": lambda call: Holder(Hook(hook=call)),
}


@pytest.mark.parametrize("point", REENTRY_POINTS)
@pytest.mark.parametrize("method", REENTRANT_CALLS)
def test_reentrant_call_fails_and_leaves_cache_unchanged(method, point):
    cache = make_cache()
    call, message = REENTRANT_CALLS[method]
    value = {"outer": [REENTRY_POINTS[point](lambda: call(cache))]}
    assert failure(value, cache) == f"RuntimeError: {message}"
    cache.insert("after", 1)  # the cache is usable again
    assert len(cache) == 2


def test_reentrant_call_caught_by_the_value_does_not_fail_the_insert():
    cache = make_cache()
    seen = []

    def call():
        try:
            cache.get("before")
        except RuntimeError as exc:
            seen.append(str(exc))

    cache.insert("k", Hook([1], hook=call))
    assert seen == ["Already borrowed"] * 2
    assert cache.get("k") == [1]


# --- reference counts of the caller's objects -------------------------------


def fresh(text):
    return "".join(list(text))


def counted_success():
    leaf, key, inner = fresh("leaf"), fresh("key"), [fresh("x")]
    value = {key: [leaf, (inner, frozenset([leaf])), Holder(inner, leaf)], fresh("m"): OwnListsMapping([key], [inner])}
    return value, [leaf, key, inner], True


def counted(fault):
    def build():
        leaf, inner = fresh("leaf"), [fresh("x")]
        return {fresh("a"): [leaf, inner, Holder(leaf, inner)], fresh("z"): [inner, fault()]}, [leaf, inner], False

    return build


def counted_mapping_cleared():
    key, hook = fresh("key"), Hook(hook=lambda: None)
    m = OwnListsMapping([key, fresh("b")], [hook, [fresh("v")]])
    hook.hook = m.value_list.clear  # the value list's own entries go: not watched
    m.keep = hook  # else clearing the list frees the hook and its bound method's reference
    return m, [key, m.key_list, m.value_list], False


def counted_deep():
    leaf = [fresh("deep")]
    value = leaf
    for _ in range(128):
        value = [value, leaf]
    return value, [leaf], False


REFCOUNT_CASES = {
    "success": counted_success,
    "interpreter-error": counted(lambda: Hook(hook=lambda: raise_(ValueError("x")))),
    "message": counted(lambda: 2**70),
    "unsupported": counted(object),
    "unexpected-type": counted(lambda: {1: 2}),
    "sequence-length": counted(lambda: Lying([1, 2], [3])),
    "key-error": counted(lambda: Holder.__new__(Holder)),
    "mapping-index-error": counted_mapping_cleared,
    "recursion-limit": counted_deep,
    "keyboard-interrupt": counted(lambda: Hook(hook=lambda: raise_(KeyboardInterrupt()))),
}


@pytest.mark.parametrize("case", REFCOUNT_CASES)
def test_reference_counts_unchanged(case):
    value, watched, succeeds = REFCOUNT_CASES[case]()
    watched = [value, *watched]
    before = [sys.getrefcount(o) for o in watched]
    cache = pelm_lib.Cache(BIG_LIMIT)
    for _ in range(3):
        if succeeds:
            cache.insert("k", value)
        else:
            with pytest.raises(SystemError):
                cache.insert("k", value)
    assert [sys.getrefcount(o) for o in watched] == before


def test_reference_counts_unchanged_after_unraisable(unraisable):
    value = ClassRaises()
    before = sys.getrefcount(value)
    with pytest.raises(SystemError):
        pelm_lib.Cache(BIG_LIMIT).insert("k", value)
    unraisable.clear()
    assert sys.getrefcount(value) == before


# --- size --------------------------------------------------------------------


def test_million_element_list():
    value = list(range(10**6))
    size, got = stored(value)
    assert size == len(str(value).replace(" ", ""))
    assert got == value
