"""Another process using the tier: reads one JSON command a line on stdin,
answers one JSON line on stdout. The tier tests drive several of these.

    python tier_worker.py PORT NAMESPACE [cluster]
"""

import json
import random
import sys
import threading
import time

import redis
import redis.cluster
from redis.backoff import NoBackoff
from redis.retry import Retry

import pelm_redis


def make_client(port, cluster):
    if cluster:
        return redis.cluster.RedisCluster(host="127.0.0.1", port=port, socket_timeout=0.5)
    return redis.Redis(host="127.0.0.1", port=port, socket_timeout=0.5, retry=Retry(NoBackoff(), 0))


def storm(tier, seconds, keys, seed, threads):
    """Random writes, removes and reads of `keys` keys for `seconds`, from
    `threads` threads (their hand-overs widen the windows a race needs)."""
    runners = [threading.Thread(target=storm_thread, args=(tier, seconds, keys, seed * 100 + n))
               for n in range(threads)]
    for runner in runners:
        runner.start()
    for runner in runners:
        runner.join()


def storm_thread(tier, seconds, keys, seed):
    rng = random.Random(seed)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        key = f"s{rng.randrange(keys)}"
        roll = rng.random()
        if roll < 0.3:
            tier.insert(key, {"by": seed, "n": rng.randrange(1000)})
        elif roll < 0.4:
            tier.remove(key)
        else:
            try:
                tier.get(key)
            except KeyError:
                pass


def differences(tier, client):
    """The local entries whose bytes differ from Redis's."""
    return [key for key in tier.local.keys()
            if client.get(tier.namespace + key) != tier.local.get_raw(key)]


def main():
    port, namespace = int(sys.argv[1]), sys.argv[2]
    cluster = len(sys.argv) > 3
    client = make_client(port, cluster)
    tier = pelm_redis.TieredCache(client, namespace=namespace)

    @tier.memoize(prefix="slow:")
    def slow(n, seconds):
        client.incr(namespace + "\x00runs")
        time.sleep(seconds)
        return {"n": n, "pid": "shared"}

    print(json.dumps("ready"), flush=True)
    for line in sys.stdin:
        command = json.loads(line)
        op = command.pop("op")
        try:
            if op == "insert":
                result = tier.insert(command["key"], command["value"])
            elif op == "remove":
                result = tier.remove(command["key"])
            elif op == "get":
                result = tier.get(command["key"])
            elif op == "storm":
                result = storm(tier, **command)
            elif op == "differences":
                result = differences(tier, client)
            elif op == "slow":
                result = slow(command["n"], command["seconds"])
            elif op == "stats":
                result = tier.stats()._asdict()
            else:
                break
        except KeyError:
            result = "KeyError"
        print(json.dumps(result), flush=True)
    tier.close()


if __name__ == "__main__":
    main()
