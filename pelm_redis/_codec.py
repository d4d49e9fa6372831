"""Canonical text in and out, with exactly the refusals of `pelm_lib.Cache`.

Every conversion runs through a scratch `Cache` that is empty between calls:
a value is inserted there, its canonical bytes read back and the scratch
cleared. So a key or value the tier refuses is refused by the very code (and
with the very message and notes) `Cache` would use, before anything is sent.
Each thread has its own scratch: a value's own code that calls the tier again
from the same thread meets "Already borrowed" as it would on a `Cache`, and no
lock is held while user code runs. A text longer than the local tier's
`limit` is refused by handing it to the local tier, whose refusal changes
nothing.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

import pelm_lib

if TYPE_CHECKING:
    from typing_extensions import Buffer

_UNLIMITED = 2**64 - 1
_T = TypeVar("_T")


class Codec:
    def __init__(self, local: pelm_lib.Cache) -> None:
        self._local = local
        self._scratches = threading.local()

    def _scratch(self) -> pelm_lib.Cache:
        scratch: pelm_lib.Cache | None = getattr(self._scratches, "cache", None)
        if scratch is None:
            scratch = self._scratches.cache = pelm_lib.Cache(_UNLIMITED)
        return scratch

    def check_key(self, key: str) -> None:
        self._scratch().contains(key)

    def check_ttl(self, ttl: float | None) -> None:
        if ttl is not None:
            scratch = self._scratch()
            scratch.insert_ttl("", None, ttl)
            scratch.clear()

    def encode(self, key: str, value: object, ttl: float | None = None) -> bytes:
        if ttl is None:
            text = self._through_scratch(lambda c: c.insert(key, value), lambda c: c.get_raw(key))
        else:
            text = self._through_scratch(lambda c: c.insert_ttl(key, value, ttl), lambda c: c.get_raw(key))
        return self._within_limit(key, text)

    def encode_raw(self, key: str, text: str | Buffer, ttl: float | None = None) -> bytes:
        canonical = self._through_scratch(lambda c: c.insert_raw(key, text, ttl), lambda c: c.get_raw(key))
        return self._within_limit(key, canonical)

    def _within_limit(self, key: str, text: bytes) -> bytes:
        if len(text) > self._local.limit:
            self._local.insert_raw(key, text)  # raises Cache's own ValueError
        return text

    def decode(self, key: str, text: bytes) -> Any:
        return self._through_scratch(lambda c: c.insert_raw(key, text), lambda c: c.get(key))

    def canonical(self, key: str, text: bytes) -> bytes:
        """Text read from Redis as `get_raw` returns it (another writer's may not be canonical)."""
        return self._through_scratch(lambda c: c.insert_raw(key, text), lambda c: c.get_raw(key))

    def _through_scratch(self, store: Callable[[pelm_lib.Cache], None], read: Callable[[pelm_lib.Cache], _T]) -> _T:
        scratch = self._scratch()
        try:
            store(scratch)
            return read(scratch)
        finally:
            scratch.clear()

    def memo_result(self, result: object) -> tuple[bytes | None, Any]:
        """The text `Cache.memoize` would store of a result (None when it would
        store nothing: refused, longer than the local limit, non-finite floats)
        and what it would return, found by letting a `Cache.memoize` of the
        local tier's limit store it."""
        holder = pelm_lib.Cache(self._local.limit)
        store = holder.memoize(lambda: result, prefix="")
        returned = store()
        key = store.key()
        if key is None or key not in holder:
            return None, result
        return holder.get_raw(key), returned

    def missing(self, key: str) -> KeyError:
        """The KeyError `Cache.get` raises for `key`, word for word."""
        try:
            self._scratch().peek(key)
        except KeyError as error:
            return error
        raise AssertionError("the scratch cache is empty between calls")
