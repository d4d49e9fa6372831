"""`TieredCache`: a `pelm_lib.Cache` in front of a blocking Redis client.

Local hits return without I/O (`TierBase`); every other call is a plan of
`_plans.TierCore` driven by `_run`, which sends its commands through the
user's client, so that client's timeouts, retries and errors are the tier's.
"""

from __future__ import annotations

import inspect
import threading
from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar, overload

import pelm_lib
import redis
import redis.cluster

from ._base import TierBase
from ._memoized import TieredMemoized
from ._plans import LOCK_REFRESH, LOCK_SECONDS, MISS, Call, Plan, Script, Sleep

if TYPE_CHECKING:
    from typing_extensions import Buffer

P = ParamSpec("P")
R = TypeVar("R")


class TieredCache(TierBase):
    """A local `pelm_lib.Cache` kept coherent with a shared Redis.

    Every key lives in Redis under `namespace + key`; the local tier holds
    the same canonical bytes, and loses a key as soon as any process
    changes it.
    """

    def __init__(self, client: redis.Redis | redis.cluster.RedisCluster, *, local: pelm_lib.Cache | None = None,
                 namespace: str = "pelm:", local_ttl: float | None = None) -> None:
        super().__init__(client, local, namespace, local_ttl)

    def _run(self, plan: Plan) -> Any:
        try:
            step = next(plan)
            while True:
                try:
                    result = self._perform(step)
                except BaseException as error:
                    step = plan.throw(error)
                else:
                    step = plan.send(result)
        except StopIteration as stop:
            return stop.value

    def _perform(self, step: Any) -> Any:
        if isinstance(step, tuple):
            if isinstance(step[0], Script):
                return self._scripts[step[0]](keys=[step[1]], args=list(step[2:]))
            return self._client.execute_command(*step)
        if isinstance(step, Sleep):
            threading.Event().wait(step.seconds)
            return None
        return self._call(step)

    def _call(self, call: Call) -> Any:
        if not call.lock:
            return call.func(*call.args, **call.kwargs)
        done = threading.Event()

        def keep_lock() -> None:
            while not done.wait(LOCK_REFRESH):
                try:
                    self._scripts[Script.REFRESH_LOCK](keys=[call.lock], args=[call.token, int(LOCK_SECONDS * 1000)])
                except redis.RedisError:
                    pass  # the next refresh may pass; if none does, the lock lapses

        keeper = threading.Thread(target=keep_lock, name="pelm-tier-lock", daemon=True)
        keeper.start()
        try:
            return call.func(*call.args, **call.kwargs)
        finally:
            done.set()
            keeper.join()

    def get(self, key: str) -> Any:
        """The value: a local hit, else Redis's (then kept locally), else KeyError as `Cache.get`."""
        found = self._core.local_hit(key, raw=False)
        return self._run(self._core.read(key, decoded=True)) if found is MISS else found

    def get_raw(self, key: str) -> bytes:
        found = self._core.local_hit(key, raw=True)
        text: bytes = self._run(self._core.read(key, decoded=False)) if found is MISS else found
        return text

    def insert(self, key: str, value: object, ttl: float | None = None) -> None:
        """Writes the value's canonical text to Redis (PX when `ttl` is given), then to the local tier."""
        self._run(self._core.write(key, self._core.codec.encode(key, value, ttl), ttl))

    def insert_raw(self, key: str, text: str | Buffer, ttl: float | None = None) -> None:
        self._run(self._core.write(key, self._core.codec.encode_raw(key, text, ttl), ttl))

    def remove(self, key: str) -> bool:
        """True if Redis had the key."""
        removed: bool = self._run(self._core.remove(key))
        return removed

    def contains(self, key: str) -> bool:
        if self._local_contains(key):
            return True
        found: bool = self._run(self._core.contains(key))
        return found

    def __contains__(self, key: str) -> bool:
        return self.contains(key)

    @overload
    def memoize(self, func: Callable[P, R], /, *, prefix: str | None = None,
                ttl: float | None = None) -> TieredMemoized[P, R]: ...
    @overload
    def memoize(self, func: None = None, /, *, prefix: str | None = None,
                ttl: float | None = None) -> Callable[[Callable[P, R]], TieredMemoized[P, R]]: ...

    def memoize(self, func: Callable[P, R] | None = None, /, *, prefix: str | None = None,
                ttl: float | None = None) -> Any:
        """As `Cache.memoize`, with one call per key in flight and the results shared by every process."""
        pelm_lib.Cache(0).memoize(prefix=prefix, ttl=ttl)  # refuses them as Cache.memoize does, now
        def decorate(f: Callable[P, R]) -> TieredMemoized[P, R]:
            if inspect.iscoroutinefunction(f):
                raise TypeError("a coroutine function is memoized by an AsyncTieredCache")
            return TieredMemoized(self, f, prefix, ttl)
        return decorate if func is None else decorate(func)

    def close(self) -> None:
        """Stops listening and empties the local tier; calls after it go to Redis directly.

        The client stays open: it is the caller's.
        """
        self._stop_listening()

    def __enter__(self) -> TieredCache:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()
