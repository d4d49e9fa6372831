"""What keeps the local tier a subset of Redis: the bookkeeping between the
calls that fill it and the listener that empties it.

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
  * an own write is kept if at most one invalidation came meanwhile (it may
    be the write's own echo; if it was an older write's, the echo still to
    come removes the entry), and, when none came, the echo still to come is
    expected and spares the entry. Two own writes of one key in flight at
    once fill nothing, since their echoes cannot be told apart.
- A resync (the connection lost or re-established, the cluster's slot map
  changed, a flush) empties the local tier and moves `_generation` on, which
  spoils every fill in flight.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass

import pelm_lib

from ._stats import Counters


@dataclass(slots=True)
class _KeyState:
    """Per key, while something of it is in flight or its echo is awaited."""

    version: int = 0  # invalidations seen (and own fills made)
    busy: int = 0  # reads and writes in flight
    writes_begun: int = 0
    writing: int = 0
    echoes: int = 0  # own writes whose invalidation is yet to come


@dataclass(slots=True)
class Ticket:
    """One read or write in flight, from before it is sent to its settling."""

    key: str
    state: _KeyState
    generation: int
    version: int
    write_number: int  # 0 for a read
    shared: bool  # another own write of the key overlapped this one


class Coherence:
    def __init__(self, local: pelm_lib.Cache) -> None:
        self.local = local
        self.counters = Counters()
        self._lock = threading.Lock()
        self._keys: dict[str, _KeyState] = {}
        self._generation = 0
        self._listening = False
        self._live_until = 0.0

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
                return text is not None and self._may_fill(ticket, ttl) and self._fill(ticket, text, ttl)
            finally:
                if state.busy == 0 and state.echoes == 0 and self._keys.get(ticket.key) is state:
                    del self._keys[ticket.key]

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
        # Reads in flight may carry a value older than this one: spoil them.
        if ticket.write_number and state.version == ticket.version:
            state.echoes += 1
        state.version += 1
        return True

    def drop(self, key: str) -> None:
        """An own removal: the entry leaves and fills in flight are spoiled."""
        with self._lock:
            self.local.remove(key)
            state = self._keys.get(key)
            if state is not None:
                state.version += 1

    def invalidate(self, keys: list[str]) -> None:
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
                    if state.busy == 0 and state.echoes == 0:
                        del self._keys[key]
                else:
                    self.local.remove(key)

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
            self.local.clear()
            self._listening = listening
            self._live_until = live_until if listening else 0.0

    def after_fork(self) -> None:
        """In a child process: the parent's listener may have held the lock at the fork."""
        self._lock = threading.Lock()
        self._keys = {}
        self.resync(False)

    def heard(self, live_until: float) -> None:
        """Only the listener thread calls this, and only while subscribed."""
        self._live_until = live_until
