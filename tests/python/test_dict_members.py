"""A dict's members as insert reads them, straight from the entry table where
its layout is known, against the interpreter's own iteration (json's): the
written text must be the same for every history a dict can have. Holes from
deletions, tables grown and shrunk, cleared and refilled, copies, tables
that once held a key of another type, and instance attribute dicts (split
tables) are all made by the random histories below.
"""

import json
import random

import pelm_lib
import pytest


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":")).encode()


class Holder:
    pass


def step(rng, d):
    """One random operation on `d`; returns the dict to go on with."""
    key = f"k{rng.randrange(48)}"
    roll = rng.random()
    if roll < 0.55:
        d[key] = rng.randrange(1000)
    elif roll < 0.85:
        d.pop(key, None)
    elif roll < 0.88:
        d.clear()
    elif roll < 0.91:
        return dict(d)  # a compacted copy
    elif roll < 0.94:
        d[7] = 0  # the table turns general and stays so
        del d[7]
    elif roll < 0.97:
        holder = Holder()  # an instance's attributes: a split table
        for name, value in d.items():
            setattr(holder, name, value)
        return vars(holder)
    else:
        d[key] = {"nested": dict(d)}
    return d


@pytest.mark.parametrize("seed", range(8))
def test_every_history_of_a_dict_writes_its_members(seed):
    rng = random.Random(seed)
    cache = pelm_lib.Cache(1 << 20)
    d = {}
    for _ in range(400):
        d = step(rng, d)
        cache.insert("d", d)
        assert cache.get_raw("d") == canonical(d)
        assert cache.get("d") == d
