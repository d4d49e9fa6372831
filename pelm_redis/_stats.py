"""Usage counters of a tier, and the tuple `stats()` returns."""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import NamedTuple


class TierStats(NamedTuple):
    """Counts since the tier was made or its counters were last reset."""

    local_hits: int  # served by the local tier
    remote_hits: int  # read from Redis
    misses: int  # in neither tier
    inserts: int  # values written to Redis
    invalidations: int  # keys named by invalidation messages (own writes' echoes too)
    resyncs: int  # times the local tier was emptied: connection lost, restart, slot map moved


@dataclass(slots=True)
class Counters:
    local_hits: int = 0
    remote_hits: int = 0
    misses: int = 0
    inserts: int = 0
    invalidations: int = 0
    resyncs: int = 0

    def snapshot(self, reset: bool) -> TierStats:
        taken = TierStats(*(getattr(self, f.name) for f in fields(self)))
        if reset:
            for f in fields(self):
                setattr(self, f.name, 0)
        return taken
