"""Helpers shared by the conversion test files."""

import decimal
import json
import math

import pytest

import pelm_lib

PREFIX = "failed to serialise Python object: "


def interpreter_text(action):
    """The conversion's rendering of the exception that `action()` raises."""
    try:
        action()
    except BaseException as exc:  # any kind is carried the same way
        return f"{type(exc).__qualname__}: {exc}"
    raise AssertionError("action did not raise")


def float_text(x):
    """A float as the writer lays it out: the shortest digits (repr's), in
    plain decimals for exponents -5 to 15 and exponent form otherwise."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign, digits, exponent = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    d = "".join(map(str, digits))
    e = len(d) - 1 + exponent
    lead = "-" if x < 0 else ""
    if e < -5 or e > 15:
        mantissa = d[0] + ("." + d[1:] if len(d) > 1 else "")
        return f"{lead}{mantissa}e{'-' if e < 0 else '+'}{abs(e)}"
    if e < 0:
        return f"{lead}0.{'0' * (-e - 1)}{d}"
    if len(d) <= e + 1:
        return f"{lead}{d}{'0' * (e + 1 - len(d))}.0"
    return f"{lead}{d[:e + 1]}.{d[e + 1:]}"


def reference_text(value):
    """The stored text of a JSON-like value (None, bool, int, finite float,
    str, list, tuple, dict of str), by an independent, plain writer: members
    sorted by name, compact, non-ASCII as it is."""
    if isinstance(value, float):
        return float_text(value)
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(reference_text(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + reference_text(v)
                              for k, v in sorted(value.items())) + "}"
    return json.dumps(value, ensure_ascii=False)


BIG_LIMIT = 1 << 40


def store(value):
    """Inserts `value` into a fresh cache; returns (size, value read back)."""
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", value)
    return cache.size(), cache.get("k")


def failure_text(value):
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("before", 1)
    with pytest.raises(SystemError) as info:
        cache.insert("k", value)
    assert (len(cache), cache.size(), "k" in cache) == (1, 1, False)
    text = str(info.value)
    assert text.startswith(PREFIX)
    return text[len(PREFIX):]


class IntSub(int):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass
