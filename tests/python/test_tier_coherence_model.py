"""The tier's coherence bookkeeping against a model of Redis, with every
interleaving a seeded scheduler can reach.

The model keeps what the rules must survive: commands run in turns of an
event loop; a turn's replies go out first, then one invalidation per key the
turn changed, however many writes of it ran (so one name may stand for an
own write and a later one of another process); the invalidation connection
gets its replies and pushes in order, the calls get theirs whenever. When
everything has settled and been delivered, every local entry must be
Redis's bytes. No server, no sockets: thousands of schedules in a second.
"""

import random
import time

import pelm_lib
import pytest

from pelm_redis._coherence import Coherence

KEYS = ("a", "b")


class Model:
    def __init__(self, rng):
        self.rng = rng
        self.redis = {}
        self.queued = []  # (sender, command) in arrival order
        self.coherence = Coherence(pelm_lib.Cache(1 << 20))
        self.coherence.resync(True, time.monotonic() + 3600)
        self.listener_inbox = []  # ("reply", check, value) and ("push", key), in order
        self.calls = []  # dicts: op, key, ticket, text, state
        self.serial = 0

    # Redis
    def turn(self):
        count = self.rng.randint(1, max(1, len(self.queued)))
        batch, self.queued = self.queued[:count], self.queued[count:]
        changed = []
        for sender, command in batch:
            op, key = command[0], command[1]
            if op == "SET":
                self.redis[key] = command[2]
            elif op == "DEL":
                self.redis.pop(key, None)
            if op in ("SET", "DEL") and key not in changed:
                changed.append(key)
            value = self.redis.get(key) if op == "GET" else None
            if sender == "other":
                pass
            elif sender == "listener":
                self.listener_inbox.append(("reply", command[2], value))
            else:
                sender["reply"] = value
                sender["state"] = "replied"
        self.listener_inbox += [("push", key) for key in changed]

    # the calls of the tier
    def start(self):
        key, roll = self.rng.choice(KEYS), self.rng.random()
        op = "write" if roll < 0.3 else "remove" if roll < 0.4 else "other" if roll < 0.55 else "read"
        call = {"op": op, "key": key, "state": "sent"}
        if op == "other":  # another process's write: Redis hears of it, this tier does not
            self.serial += 1
            self.queued.append(("other", ("SET", key, b'"%d"' % self.serial)))
            return
        if op == "write":
            self.serial += 1
            call["text"] = b'"%d"' % self.serial
            call["ticket"] = self.coherence.begin(key, write=True)
            self.queued.append((call, ("SET", key, call["text"])))
        elif op == "read":
            call["ticket"] = self.coherence.begin(key, write=False)
            self.queued.append((call, ("GET", key)))
        else:
            self.queued.append((call, ("DEL", key)))
        self.calls.append(call)

    def settle(self, call):
        self.calls.remove(call)
        if call["op"] == "write":
            self.coherence.settle(call["ticket"], call["text"], None)
        elif call["op"] == "read":
            self.coherence.settle(call["ticket"], call["reply"], None)
        else:
            self.coherence.drop(call["key"])

    # the listener thread
    def listen_once(self):
        message = self.listener_inbox.pop(0)
        if message[0] == "push":
            self.send_checks(self.coherence.invalidate([message[1]]))
        else:
            check = message[1]
            self.coherence.checked(check[0], check[1], message[2])

    def send_checks(self, checks):
        self.queued += [("listener", ("GET", check[0], check)) for check in checks]

    def step(self, may_start):
        moves = []
        if may_start:
            moves.append(self.start)
        if self.queued:
            moves.append(self.turn)
        if self.listener_inbox:
            moves.append(self.listen_once)
        moves += [lambda c=c: self.settle(c) for c in self.calls if c["state"] == "replied"]
        moves.append(lambda: self.send_checks(self.coherence.take_checks()))
        self.rng.choice(moves)()

    def quiescent(self):
        return not (self.queued or self.listener_inbox or self.calls or self.coherence._checks)

    def differences(self):
        local = self.coherence.local
        return {key: (local.get_raw(key), self.redis.get(key)) for key in local.keys()
                if local.get_raw(key) != self.redis.get(key)}


@pytest.mark.parametrize("block", range(4))
def test_every_schedule_ends_with_the_local_tier_equal_to_redis(block):
    kept = 0
    for seed in range(block * 500, (block + 1) * 500):
        model = Model(random.Random(seed))
        for _ in range(120):
            model.step(may_start=True)
        while not model.quiescent():
            model.step(may_start=False)
        assert model.differences() == {}, f"seed {seed}"
        kept += len(model.coherence.local)
    assert kept > 0  # the rules still keep entries, not merely refuse them all
