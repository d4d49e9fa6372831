"""Which caller of this process holds which memoize lock, and which lock
each caller waits for: so a wait that could never end is not begun.

A caller is a thread (blocking tier) or a task (asyncio tier). Waiting on a
lock whose holder is the caller itself (the function calls itself with the
same arguments), or whose holder waits, through a chain, on a lock the caller
holds (thread 1 in f(1) calls f(2) while thread 2 in f(2) calls f(1)), would
deadlock: such a call runs the function directly instead, uncached. Holders
in other processes are not known here: a cycle through another process
waits as long as its holders live, as with any lock.
"""

from __future__ import annotations

import threading

_guard = threading.Lock()
_holders: dict[str, object] = {}  # lock key -> caller
_waiting: dict[object, str] = {}  # caller -> lock key


def hold(lock: str, caller: object) -> None:
    with _guard:
        _holders[lock] = caller


def release(lock: str, caller: object) -> None:
    with _guard:
        if _holders.get(lock) is caller:
            del _holders[lock]


def begin_wait(lock: str, caller: object) -> bool:
    """Records that `caller` waits for `lock`; False (and nothing recorded) if that closes a cycle."""
    with _guard:
        holder = _holders.get(lock)
        seen: set[int] = set()
        while holder is not None and id(holder) not in seen:
            if holder is caller:
                return False
            seen.add(id(holder))
            awaited = _waiting.get(holder)
            holder = None if awaited is None else _holders.get(awaited)
        _waiting[caller] = lock
        return True


def end_wait(caller: object) -> None:
    with _guard:
        _waiting.pop(caller, None)
