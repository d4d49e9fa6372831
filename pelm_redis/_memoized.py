"""Functions memoized in a tier: the wrapper objects `memoize` returns.

Keys are made by a `pelm_lib.Cache.memoize` wrapper of the same function
(on a cache of limit 0 that never stores anything), so every key rule,
the uncached-call rules and the `ttl` check are `Cache.memoize`'s own. The
wrappers bind like functions (they are descriptors), so they work on methods.
"""

from __future__ import annotations

import asyncio
import functools
import threading
import types
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, Generic, ParamSpec, TypeVar, cast

import pelm_lib

if TYPE_CHECKING:
    from ._async import AsyncTieredCache
    from ._sync import TieredCache

P = ParamSpec("P")
R = TypeVar("R")


class _Keyed(Generic[P, R]):
    def __init__(self, func: Callable[P, Any], prefix: str | None, ttl: float | None) -> None:
        self._keyer = pelm_lib.Cache(0).memoize(func, prefix=prefix, ttl=ttl)
        self._func = func
        self._ttl = ttl
        functools.update_wrapper(cast(Callable[..., Any], self), func)

    def key(self, *args: P.args, **kwargs: P.kwargs) -> str | None:
        """The key a call with these arguments uses, or None if it runs uncached."""
        return self._keyer.key(*args, **kwargs)

    def __get__(self, instance: object, owner: type | None = None) -> Any:
        return self if instance is None else types.MethodType(cast(Callable[..., Any], self), instance)


class TieredMemoized(_Keyed[P, R]):
    """A function memoized in a TieredCache: results shared by every process."""

    def __init__(self, tier: TieredCache, func: Callable[P, R], prefix: str | None, ttl: float | None) -> None:
        super().__init__(func, prefix, ttl)
        self._tier = tier

    @property
    def cache(self) -> TieredCache:
        return self._tier

    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> R:
        tier = self._tier
        caller = threading.current_thread()
        result: R = tier._run(tier._core.memoized(self._keyer, self._func, args, kwargs, self._ttl, caller))
        return result

    def invalidate(self, *args: P.args, **kwargs: P.kwargs) -> bool:
        key = self.key(*args, **kwargs)
        return key is not None and self._tier.remove(key)


class AsyncTieredMemoized(_Keyed[P, R]):
    """A function memoized in an AsyncTieredCache; calling it returns a coroutine."""

    def __init__(self, tier: AsyncTieredCache, func: Callable[P, Awaitable[R]] | Callable[P, R],
                 prefix: str | None, ttl: float | None) -> None:
        super().__init__(func, prefix, ttl)
        self._tier = tier

    @property
    def cache(self) -> AsyncTieredCache:
        return self._tier

    async def __call__(self, *args: P.args, **kwargs: P.kwargs) -> R:
        tier = self._tier
        caller = asyncio.current_task()
        result: R = await tier._run(tier._core.memoized(self._keyer, self._func, args, kwargs, self._ttl, caller))
        return result

    async def invalidate(self, *args: P.args, **kwargs: P.kwargs) -> bool:
        key = self.key(*args, **kwargs)
        return key is not None and await self._tier.remove(key)
