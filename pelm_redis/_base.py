"""What the blocking and the asyncio tier share: set-up, the local fast
paths, counters and teardown. Subclasses add the methods that do I/O, each
a plan of `TierCore` run by their own driver."""

from __future__ import annotations

from typing import Any

import pelm_lib

from ._listener import Listener, Target
from ._plans import Script, TierCore
from ._stats import TierStats


class TierBase:
    def __init__(self, client: Any, local: pelm_lib.Cache | None, namespace: str,
                 local_ttl: float | None) -> None:
        self._core = TierCore(local, namespace, local_ttl)
        self._client = client
        self._scripts = {script: client.register_script(script.value) for script in Script}
        target = Target.of(client)
        self._listener = Listener(self._core.coherence, namespace, target)
        # Waiting here makes the first calls local-capable; a Redis that is
        # down is not waited for longer than a probe, and is retried anyway.
        self._listener.subscribed.wait(target.timeout)

    @property
    def local(self) -> pelm_lib.Cache:
        """The local tier (read it, or resize it; writes through it bypass Redis)."""
        return self._core.local

    @property
    def namespace(self) -> str:
        return self._core.namespace

    def _local_contains(self, key: str) -> bool:
        return self._core.coherence.serving() and self._core.local.contains(key)

    def stats(self, reset: bool = False) -> TierStats:
        return self._core.counters.snapshot(reset)

    def clear_local(self) -> None:
        """Empties the local tier only; Redis keeps every entry."""
        self._core.local.clear()

    def _stop_listening(self) -> None:
        self._listener.stop()
        self._core.coherence.resync(False)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(namespace={self.namespace!r}, local={self.local!r})"
