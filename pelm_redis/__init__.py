"""A shared tier on Redis for pelm_lib: a local `pelm_lib.Cache` in each
process, kept coherent with one Redis (or cluster) that every process uses.

    import redis, pelm_redis
    with pelm_redis.TieredCache(redis.Redis()) as cache:
        cache.insert("user:1", {"name": "Ada"})
        cache.get("user:1")

`TieredCache` takes a `redis.Redis` or `redis.cluster.RedisCluster`;
`AsyncTieredCache` the `redis.asyncio` ones. See the README's section
"A shared tier on Redis".
"""

from ._async import AsyncTieredCache
from ._memoized import AsyncTieredMemoized, TieredMemoized
from ._stats import TierStats
from ._sync import TieredCache

__all__ = ["TieredCache", "AsyncTieredCache", "TierStats", "TieredMemoized", "AsyncTieredMemoized"]
