"""What each call of a tier does, written once for the blocking and the
asyncio client.

A plan is a generator that yields the steps needing I/O (a Redis command,
a call of the user's function, a pause) and is sent each step's result; a
driver (`TieredCache._run`, `AsyncTieredCache._run`) performs the steps with
its client and throws the client's exceptions back in, so each plan's
cleanup (settling a ticket, releasing a lock) runs on every path.

Redis keys are `namespace + key`. Memoize locks live outside the namespace
(`LOCK_PREFIX + namespace + key`), so taking one broadcasts no invalidation.
"""

from __future__ import annotations

import enum
import math
import secrets
import time
from collections.abc import Callable, Generator
from dataclasses import dataclass
from typing import Any, Union

import pelm_lib

from . import _flights
from ._codec import Codec
from ._coherence import Coherence

LOCK_PREFIX = "\x00lock:"
LOCK_SECONDS = 2.0  # a crashed holder's lock lapses after this
LOCK_REFRESH = LOCK_SECONDS / 4
_POLL_FIRST, _POLL_LAST = 0.002, 0.05


class Script(enum.Enum):
    READ = "return {redis.call('GET', KEYS[1]), redis.call('PTTL', KEYS[1])}"
    REFRESH_LOCK = (
        "if redis.call('GET', KEYS[1]) == ARGV[1] then "
        "return redis.call('PEXPIRE', KEYS[1], ARGV[2]) else return 0 end"
    )
    RELEASE_LOCK = (
        "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) else return 0 end"
    )


@dataclass(frozen=True, slots=True)
class Call:
    """Run the user's function, keeping the lock `lock` (held with `token`) alive meanwhile; no lock if ""."""

    func: Callable[..., Any]
    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    lock: str
    token: str


@dataclass(frozen=True, slots=True)
class Sleep:
    seconds: float


# A command is a tuple: ("GET", key, ...) or (Script.READ, key, *args).
Step = Union[tuple[Any, ...], Call, Sleep]
Plan = Generator[Step, Any, Any]


MISS = object()  # a local miss (None is a value: JSON null)


def _as_bytes(text: object) -> bytes:
    # A client made with decode_responses=True hands back str.
    return text.encode() if isinstance(text, str) else bytes(text)  # type: ignore[call-overload]


class TierCore:
    """The state a tier keeps, and its plans."""

    def __init__(self, local: pelm_lib.Cache | None, namespace: str, local_ttl: float | None) -> None:
        if local is None:
            local = pelm_lib.Cache(64 * 1024 * 1024)
        elif not isinstance(local, pelm_lib.Cache):
            raise TypeError(f"local must be a pelm_lib.Cache or None, not {type(local).__name__!r}")
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__!r}")
        self.local = local
        self.namespace = namespace
        self.coherence = Coherence(local)
        self.counters = self.coherence.counters
        self.codec = Codec(local)
        self.codec.check_ttl(local_ttl)
        self.local_ttl = local_ttl

    def local_hit(self, key: str, raw: bool) -> Any:
        """The local hit, or MISS: hits only while the local tier is known coherent."""
        if not self.coherence.serving():
            return MISS
        try:
            found = self.local.get_raw(key) if raw else self.local.get(key)
        except KeyError:
            return MISS
        self.counters.local_hits += 1
        return found

    def _lifetime(self, seconds: float | None, started: float) -> float | None:
        """What is left of `seconds` counted from `started`, capped by local_ttl."""
        left = None if seconds is None else seconds - (time.monotonic() - started)
        if self.local_ttl is not None:
            left = self.local_ttl if left is None else min(left, self.local_ttl)
        return left

    def read(self, key: str, decoded: bool, counted: bool = True) -> Plan:
        """A local miss: Redis's text, stored locally unless an invalidation overtook it."""
        self.codec.check_key(key)
        ticket = self.coherence.begin(key, write=False)
        started = time.monotonic()
        try:
            reply = yield (Script.READ, self.namespace + key)
        except BaseException:
            self.coherence.settle(ticket, None, None)
            raise
        raw, pttl = reply
        if raw is None:
            self.coherence.settle(ticket, None, None)
            if counted:
                self.counters.misses += 1
            raise self.codec.missing(key)
        text = _as_bytes(raw)
        # PTTL: -1 no expiry, -2 gone since the GET (nothing to keep).
        lifetime = 0.0 if pttl == -2 else self._lifetime(None if pttl == -1 else pttl / 1000, started)
        stored = self.coherence.settle(ticket, text, lifetime)
        self.counters.remote_hits += 1
        if stored:  # read it back from the local tier: the text is parsed once
            try:
                return self.local.get(key) if decoded else self.local.get_raw(key)
            except KeyError:
                pass  # invalidated meanwhile: the reply is still this call's answer
        return self.codec.decode(key, text) if decoded else self.codec.canonical(key, text)

    def write(self, key: str, text: bytes, ttl: float | None) -> Plan:
        command: tuple[Any, ...] = ("SET", self.namespace + key, text)
        if ttl is not None:
            # Redis counts whole milliseconds: round up there and count the
            # local lifetime from before the send, so the local copy never
            # outlives Redis's.
            command += ("PX", max(1, math.ceil(ttl * 1000)))
        ticket = self.coherence.begin(key, write=True)
        started = time.monotonic()
        try:
            yield command
        except BaseException:
            self.coherence.settle(ticket, None, None)
            raise
        self.counters.inserts += 1
        self.coherence.settle(ticket, text, self._lifetime(ttl, started))

    def remove(self, key: str) -> Plan:
        self.codec.check_key(key)
        try:
            removed = yield ("DEL", self.namespace + key)
        finally:
            self.coherence.drop(key)  # even when the reply was lost: the DEL may have run
        return removed == 1

    def contains(self, key: str) -> Plan:
        self.codec.check_key(key)
        found = yield ("EXISTS", self.namespace + key)
        return found == 1

    def memoized(self, keyer: Any, func: Callable[..., Any], args: tuple[Any, ...],
                 kwargs: dict[str, Any], ttl: float | None, caller: object) -> Plan:
        """One call in flight per key across every process sharing the Redis.

        The caller that takes the lock key runs `func`, stores the result and
        only then releases the lock; the others poll for the stored result,
        and take the lock themselves if it lapses or is released with nothing
        stored (the holder crashed, raised, or had an unstorable result). A
        wait that would close a cycle within this process runs `func`
        directly (`_flights`). `caller` is the thread or task calling.
        """
        key = keyer.key(*args, **kwargs)
        if key is None:
            return (yield Call(func, args, kwargs, "", ""))
        lock, token = LOCK_PREFIX + self.namespace + key, secrets.token_hex(16)
        pause, counted = _POLL_FIRST, True
        while True:
            found = self.local_hit(key, raw=False)
            if found is not MISS:
                return found
            try:
                return (yield from self.read(key, decoded=True, counted=counted))
            except KeyError:
                counted = False  # one miss per call, however long it waits
            if (yield ("SET", lock, token, "NX", "PX", int(LOCK_SECONDS * 1000))):
                break
            if not _flights.begin_wait(lock, caller):
                return (yield Call(func, args, kwargs, "", ""))
            try:
                yield Sleep(pause)
            finally:
                _flights.end_wait(caller)
            pause = min(pause * 2, _POLL_LAST)
        _flights.hold(lock, caller)
        try:
            result = yield Call(func, args, kwargs, lock, token)
            text, returned = self.codec.memo_result(result)
            if text is None:  # not storable by Cache.memoize's rules: returned as it is
                return result
            yield from self.write(key, text, ttl)
            return returned
        finally:
            _flights.release(lock, caller)
            yield (Script.RELEASE_LOCK, lock, token)
