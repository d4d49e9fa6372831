"""What keeps the local tier a subset of Redis: the bookkeeping between the
calls that fill it and the listener that empties it.

Redis announces a key's changes by name only, and names every key once per
turn of its event loop however many writes of it that turn ran (a pipeline
of three SETs is one invalidation). So an invalidation never tells whose
write it was: it may stand for an own write and a later one of another
process together. The rules below lean on that alone.

Invariants:
- Local hits are served only while the invalidation connection is known to
  be listening (`serving()`): subscribed, and heard from within the probe
  window. Otherwise every call goes to Redis, which raises the client's own
  errors when it cannot be reached.
- Every fill (a reply of Redis, or the text an own write sent) is decided
  under `_lock`, which the listener also holds while it removes entries, so
  a fill can never land after an invalidation of its key that it should
  yield to:
  * a read's reply is dropped if any invalidation of the key, or a resync,
    came in while the read was in flight (the reply may be older than the
    write the invalidation announced);
  * an own write is kept if at most one invalidation came meanwhile, and no
    other own write of the key overlapped it (their order at Redis is
    unknown). If none came, the write's own is still to come and is awaited
    as an echo. If one came, it may have been the echo, named once with a
    later write of another process: the text is kept on condition, and a
    check is queued (`take_checks`). Two came: the text is not kept.
- An invalidation removes the local entry, except one awaited as an echo,
  which keeps it on condition. A kept-on-condition entry stays only if a
  read of the key on the invalidation connection, sent after the fact,
  returns the very bytes stored (`checked`); anything written after that
  read is announced on that connection after its reply.
- A resync (the connection lost or re-established, the cluster's slot map
  changed, a flush) empties the local tier and moves `_generation` on, which
  spoils every fill in flight.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

import pelm_lib

from ._stats import Counters


@dataclass(slots=True)
class _KeyState:
    """Per key, while something of it is in flight or its echo is awaited."""

    version: int = 0  # invalidations seen (and own fills and removals made)
    busy: int = 0  # reads and writes in flight
    writes_begun: int = 0
    writing: int = 0
    echoes: int = 0  # own writes whose invalidation is yet to come
    text: bytes = b""  # what the last fill stored: an echo's check compares with it


@dataclass(slots=True)
class Ticket:
    """One read or write in flight, from before it is sent to its settling."""

    key: str
    state: _KeyState
    generation: int
    version: int
    write_number: int  # 0 for a read
    shared: bool  # another own write of the key overlapped this one


# (key, text): keep the local entry only if Redis, read after the fact, has `text`.
Check = tuple[str, bytes]


class Coherence:
    def __init__(self, local: pelm_lib.Cache) -> None:
        self.local = local
        self.counters = Counters()
        self._lock = threading.Lock()
        self._keys: dict[str, _KeyState] = {}
        self._generation = 0
        self._listening = False
        self._live_until = 0.0
        self._checks: list[Check] = []
        # Called, outside the lock, when a fill has queued a check; the
        # listener sets it to wake its thread.
        self.wake: Callable[[], None] = lambda: None

    def serving(self) -> bool:
        # _live_until is 0 whenever the connection is not subscribed.
        return time.monotonic() < self._live_until

    def begin(self, key: str, write: bool) -> Ticket:
        with self._lock:
            state = self._keys.get(key)
            if state is None:
                state = self._keys[key] = _KeyState()
            state.busy += 1
            number = 0
            shared = False
            if write:
                state.writes_begun += 1
                number = state.writes_begun
                shared = state.writing > 0
                state.writing += 1
            return Ticket(key, state, self._generation, state.version, number, shared)

    def settle(self, ticket: Ticket, text: bytes | None, ttl: float | None) -> bool:
        """Ends `ticket`; stores `text` locally if that is still sound.

        `ttl` is the local lifetime left (None: unlimited); a spent one stores
        nothing. Returns whether the text was stored.
        """
        with self._lock:
            state = ticket.state
            state.busy -= 1
            if ticket.write_number:
                state.writing -= 1
            try:
                stored = text is not None and self._may_fill(ticket, ttl) and self._fill(ticket, text, ttl)
                queued = bool(self._checks)
            finally:
                if state.busy == 0 and state.echoes == 0 and self._keys.get(ticket.key) is state:
                    del self._keys[ticket.key]
        if stored and queued:
            self.wake()
        return stored

    def _may_fill(self, ticket: Ticket, ttl: float | None) -> bool:
        if not self._listening or ticket.generation != self._generation:
            return False
        if ttl is not None and ttl <= 0:
            return False
        seen = ticket.state.version - ticket.version
        if not ticket.write_number:
            return seen == 0
        alone = not ticket.shared and ticket.write_number == ticket.state.writes_begun
        return alone and seen <= 1

    def _fill(self, ticket: Ticket, text: bytes, ttl: float | None) -> bool:
        state = ticket.state
        if len(text) > self.local.limit:
            return False
        if ttl is None:
            self.local.insert_raw(ticket.key, text)
        else:
            self.local.insert_raw(ticket.key, text, ttl)
        state.text = text
        if ticket.write_number:
            if state.version == ticket.version:
                state.echoes += 1
            else:
                self._checks.append((ticket.key, text))
        # Reads in flight may carry a value older than this one: spoil them.
        state.version += 1
        return True

    def take_checks(self) -> list[Check]:
        """The checks fills have queued since the last call (the listener sends them)."""
        with self._lock:
            checks, self._checks = self._checks, []
            return checks

    def checked(self, key: str, expected: bytes, found: object) -> None:
        """A check's reply: `found` is what Redis had for `key` when read."""
        with self._lock:
            if found == expected:
                return
            self.local.remove(key)
            state = self._keys.get(key)
            if state is not None:
                state.version += 1

    def drop(self, key: str) -> None:
        """An own removal: the entry leaves and fills in flight are spoiled."""
        with self._lock:
            self.local.remove(key)
            state = self._keys.get(key)
            if state is not None:
                state.version += 1

    def invalidate(self, keys: list[str]) -> list[Check]:
        """Removes the local entries of `keys`, but for awaited echoes: their
        checks are returned, to be sent on the connection that announced them."""
        checks = []
        with self._lock:
            for key in keys:
                self.counters.invalidations += 1
                state = self._keys.get(key)
                if state is None:
                    self.local.remove(key)
                    continue
                state.version += 1
                if state.echoes:
                    state.echoes -= 1
                    checks.append((key, state.text))
                    if state.busy == 0 and state.echoes == 0:
                        del self._keys[key]
                else:
                    self.local.remove(key)
        return checks

    def resync(self, listening: bool, live_until: float = 0.0) -> None:
        """Empties the local tier and spoils every fill in flight.

        With `listening` the connection is (again) subscribed; without it,
        local hits stop until it is.
        """
        with self._lock:
            if self._listening:
                self.counters.resyncs += 1
            self._generation += 1
            # Off first: if the clear fails (the local cache is in use by a
            # call of another thread), nothing is served until a resync succeeds.
            self._listening, self._live_until = False, 0.0
            for state in self._keys.values():
                state.echoes = 0
            self._keys = {k: s for k, s in self._keys.items() if s.busy}
            self._checks = []  # nothing left to check
            self.local.clear()
            self._listening = listening
            self._live_until = live_until if listening else 0.0

    def after_fork(self) -> None:
        """In a child process: the parent's listener may have held the lock at the fork."""
        self._lock = threading.Lock()
        self._keys = {}
        self._checks = []
        self.resync(False)

    def heard(self, live_until: float) -> None:
        """Only the listener thread calls this, and only while subscribed."""
        self._live_until = live_until
