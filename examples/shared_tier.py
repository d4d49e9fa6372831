"""Two worker processes sharing one Redis through pelm_redis.

Each worker keeps a local pelm_lib.Cache in front of the shared Redis: what
one worker writes, the other reads (then locally, with no round trip), and a
write in either leaves the other's local copy at once. A memoized function
runs once for both. Needs a Redis server:

    python examples/shared_tier.py [PORT]     (default 6379, on 127.0.0.1)
"""

import multiprocessing
import sys
import time

import redis

import pelm_redis


def connect(port):
    return pelm_redis.TieredCache(redis.Redis(host="127.0.0.1", port=port, socket_timeout=1),
                                  namespace="example:")


def price_lookup(tier, name):
    @tier.memoize(prefix="price:")
    def price(item):
        tier.insert("lookups", tier.get("lookups") + 1)  # counts runs across both workers
        time.sleep(0.2)  # the slow part
        return {"item": item, "cents": 250}

    return price(name)


def worker(port, ready, done):
    with connect(port) as tier:
        ready.wait()
        price_lookup(tier, "tea")
        done.set()


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 6379
    with connect(port) as tier:
        tier.insert("greeting", {"text": "hello", "from": "main"})
        tier.insert("lookups", 0)
        tier.remove("price:[\"tea\"]")

        spawn = multiprocessing.get_context("spawn")  # a fresh interpreter, as a worker server starts
        ready, done = spawn.Event(), spawn.Event()
        other = spawn.Process(target=worker, args=(port, ready, done))
        other.start()
        ready.set()
        mine = price_lookup(tier, "tea")  # both ask at once: one runs, one waits
        done.wait(10)
        other.join(10)

        tier.get("greeting")  # a local hit
        print("price:", mine, "looked up", tier.get("lookups"), "time(s)")
        print("stats:", tier.stats())


if __name__ == "__main__":
    main()
