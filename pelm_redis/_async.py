"""`AsyncTieredCache`: the tier for `redis.asyncio` clients, with `async` methods.

The same plans as `TieredCache`, driven by an awaiting `_run`. The
invalidation listener is the same thread (its own sockets, never the
client's), so invalidations land while the event loop is busy too; the
local tier is only touched between awaits, under the coherence lock where
the listener could race it.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Awaitable, Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar, overload

import pelm_lib
import redis
import redis.asyncio
import redis.asyncio.cluster

from ._base import TierBase
from ._memoized import AsyncTieredMemoized
from ._plans import LOCK_REFRESH, LOCK_SECONDS, MISS, Call, Plan, Script, Sleep

if TYPE_CHECKING:
    from typing_extensions import Buffer

P = ParamSpec("P")
R = TypeVar("R")


class AsyncTieredCache(TierBase):
    """`TieredCache` for `redis.asyncio.Redis` and `redis.asyncio.cluster.RedisCluster`."""

    def __init__(self, client: redis.asyncio.Redis | redis.asyncio.cluster.RedisCluster, *,
                 local: pelm_lib.Cache | None = None, namespace: str = "pelm:",
                 local_ttl: float | None = None) -> None:
        super().__init__(client, local, namespace, local_ttl)

    async def _run(self, plan: Plan) -> Any:
        try:
            step = next(plan)
            while True:
                try:
                    result = await self._perform(step)
                except BaseException as error:
                    step = plan.throw(error)
                else:
                    step = plan.send(result)
        except StopIteration as stop:
            return stop.value

    async def _perform(self, step: Any) -> Any:
        if isinstance(step, tuple):
            if isinstance(step[0], Script):
                return await self._scripts[step[0]](keys=[step[1]], args=list(step[2:]))
            return await self._client.execute_command(*step)
        if isinstance(step, Sleep):
            await asyncio.sleep(step.seconds)
            return None
        return await self._call(step)

    async def _call(self, call: Call) -> Any:
        keeper = asyncio.ensure_future(self._keep_lock(call)) if call.lock else None
        try:
            result = call.func(*call.args, **call.kwargs)
            return await result if inspect.isawaitable(result) else result
        finally:
            if keeper is not None:
                keeper.cancel()

    async def _keep_lock(self, call: Call) -> None:
        while True:
            await asyncio.sleep(LOCK_REFRESH)
            try:
                await self._scripts[Script.REFRESH_LOCK](keys=[call.lock], args=[call.token, int(LOCK_SECONDS * 1000)])
            except redis.RedisError:
                pass  # the next refresh may pass; if none does, the lock lapses

    async def get(self, key: str) -> Any:
        found = self._core.local_hit(key, raw=False)
        return await self._run(self._core.read(key, decoded=True)) if found is MISS else found

    async def get_raw(self, key: str) -> bytes:
        found = self._core.local_hit(key, raw=True)
        text: bytes = await self._run(self._core.read(key, decoded=False)) if found is MISS else found
        return text

    async def insert(self, key: str, value: object, ttl: float | None = None) -> None:
        await self._run(self._core.write(key, self._core.codec.encode(key, value, ttl), ttl))

    async def insert_raw(self, key: str, text: str | Buffer, ttl: float | None = None) -> None:
        await self._run(self._core.write(key, self._core.codec.encode_raw(key, text, ttl), ttl))

    async def remove(self, key: str) -> bool:
        removed: bool = await self._run(self._core.remove(key))
        return removed

    async def contains(self, key: str) -> bool:
        if self._local_contains(key):
            return True
        found: bool = await self._run(self._core.contains(key))
        return found

    # `in` cannot await: `await cache.contains(key)` is the asynchronous test.

    @overload
    def memoize(self, func: Callable[P, Awaitable[R]], /, *, prefix: str | None = None,
                ttl: float | None = None) -> AsyncTieredMemoized[P, R]: ...
    @overload
    def memoize(self, func: Callable[P, R], /, *, prefix: str | None = None,
                ttl: float | None = None) -> AsyncTieredMemoized[P, R]: ...
    @overload
    def memoize(self, func: None = None, /, *, prefix: str | None = None,
                ttl: float | None = None) -> Callable[[Callable[P, Awaitable[R]]], AsyncTieredMemoized[P, R]]: ...

    def memoize(self, func: Callable[P, Any] | None = None, /, *, prefix: str | None = None,
                ttl: float | None = None) -> Any:
        """As `TieredCache.memoize`; the wrapper is a coroutine function whatever `func` is."""
        pelm_lib.Cache(0).memoize(prefix=prefix, ttl=ttl)  # refuses them as Cache.memoize does, now
        def decorate(f: Callable[P, Any]) -> AsyncTieredMemoized[P, Any]:
            return AsyncTieredMemoized(self, f, prefix, ttl)
        return decorate if func is None else decorate(func)

    async def close(self) -> None:
        """Stops listening and empties the local tier; the client stays open (it is the caller's)."""
        await asyncio.get_running_loop().run_in_executor(None, self._stop_listening)

    async def __aenter__(self) -> AsyncTieredCache:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        trace: TracebackType | None) -> None:
        await self.close()
