"""The invalidation connection: one thread per tier, one socket per primary.

Each socket speaks RESP3 (`HELLO 3`) and runs `CLIENT TRACKING ON BCAST
PREFIX <namespace>`, so the server pushes the names of the namespace's keys
that anyone changes, deletes, or lets expire, on the very connection that
asked. A cluster gets one such socket per primary (tracking is per node).

The thread probes every `PROBE_INTERVAL`: `PING` on each socket and, on a
cluster, `CLUSTER SLOTS` on the first. It also sends the coherence checks
(`GET` of a key whose local entry is kept on condition, on the socket of the
primary that owns it) and hands their replies back. A socket that closes,
errs, or leaves a probe unanswered for the probe timeout, and a slot map
that differs from the one listened to, end the round: the local tier is
emptied and local hits stop (`Coherence.resync`) until a new round has
subscribed again, which it retries by itself with a capped backoff. Only
this thread touches the sockets; `stop()` wakes it (for a stop, or for
checks a fill has queued) through a socket pair.

After `os.fork()` the child has no such thread: each listener of the child
closes its copies of the parent's sockets, empties its local tier and starts
a thread (and connections) of its own.
"""

from __future__ import annotations

import os
import selectors
import socket
import threading
import time
import weakref
from dataclasses import dataclass, field
from typing import Any

from redis.crc import key_slot

from ._coherence import Check, Coherence
from ._resp3 import Push, Reader, ReplyError, encode_command

PROBE_INTERVAL = 0.1
_BACKOFF_FIRST, _BACKOFF_LAST = 0.05, 1.0
CONNECTION_NAME = "pelm-tier-invalidations"


class LinkLost(Exception):
    """The round ends: a socket closed, erred, fell silent, or the slot map moved."""


@dataclass(frozen=True, slots=True)
class Target:
    """Where and how to connect, as read from the user's client."""

    cluster: bool
    seeds: tuple[tuple[str, int], ...]
    path: str | None
    username: str | None
    password: str | None
    timeout: float  # connect and probe timeout

    @staticmethod
    def of(client: Any) -> Target:
        cluster = hasattr(client, "get_nodes")
        if cluster:
            getter = getattr(client, "get_connection_kwargs", None)
            kwargs = dict(getter() if getter else client.connection_kwargs)
            nodes = list(client.get_nodes()) or list(client.nodes_manager.startup_nodes.values())
            seeds = tuple((str(n.host), int(n.port)) for n in nodes)
        else:
            kwargs = dict(client.connection_pool.connection_kwargs)
            seeds = ((str(kwargs.get("host", "localhost")), int(kwargs.get("port", 6379))),)
        limit = kwargs.get("socket_timeout") or 1.0
        return Target(cluster, seeds, kwargs.get("path"), kwargs.get("username"), kwargs.get("password"),
                      min(float(limit), 1.0))


@dataclass(frozen=True, slots=True)
class _Probe:
    """A command sent on a link, awaiting its reply (replies come in order)."""

    command: bytes  # PING, SLOTS or GET
    sent_at: float
    check: Check | None = None  # a GET's key and the text it must find


@dataclass(slots=True)
class _Link:
    """One subscribed socket and the probes it has yet to answer."""

    sock: socket.socket
    endpoint: tuple[str, int]
    reader: Reader = field(default_factory=Reader)
    probes: list[_Probe] = field(default_factory=list)
    answered_at: float = field(default_factory=time.monotonic)

    def send(self, *command: str | bytes | int) -> None:
        self.sock.sendall(encode_command(*command))

    def receive(self) -> list[object]:
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:  # readiness without data: nothing to read yet
            return []
        if not data:
            raise LinkLost("the server closed the connection")
        self.reader.feed(data)
        return self.reader.messages()

    def request(self, timeout: float, *command: str | bytes | int) -> object:
        """A reply read synchronously, pushes before it ignored (only while subscribing)."""
        self.send(*command)
        deadline = time.monotonic() + timeout
        while True:
            self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
            for message in self.receive():
                if isinstance(message, ReplyError):
                    raise LinkLost(message.message)
                if not isinstance(message, Push):
                    return message


def _slot_map(reply: object) -> tuple[tuple[int, int, str, int], ...]:
    """CLUSTER SLOTS as (first, last, host, port) of each range's primary, sorted."""
    if not isinstance(reply, list):
        raise LinkLost(f"unexpected CLUSTER SLOTS reply {reply!r}")
    ranges = []
    for entry in reply:
        first, last, primary = entry[0], entry[1], entry[2]
        host = primary[0].decode() if isinstance(primary[0], bytes) else str(primary[0])
        ranges.append((int(first), int(last), host, int(primary[1])))
    return tuple(sorted(ranges))


_running: weakref.WeakSet[Listener] = weakref.WeakSet()


def _restart_in_child() -> None:
    for listener in list(_running):
        listener.restart_in_child()


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(after_in_child=_restart_in_child)


class Listener:
    def __init__(self, coherence: Coherence, namespace: str, target: Target) -> None:
        self._coherence = coherence
        self._prefix = namespace.encode()
        self._target = target
        self._links: list[_Link] = []
        self._start()

    def _start(self) -> None:
        self._stopping = threading.Event()
        self.subscribed = threading.Event()
        self._wake_read, self._wake_write = socket.socketpair()
        self._wake_read.setblocking(False)
        self._wake_write.setblocking(False)  # a full pair already holds a wake-up
        self._coherence.wake = self._wake
        self._thread = threading.Thread(target=self._run, name=CONNECTION_NAME, daemon=True)
        self._thread.start()
        _running.add(self)

    def stop(self) -> None:
        _running.discard(self)
        self._stopping.set()
        self._wake()
        self._thread.join(timeout=5)
        self._wake_read.close()
        self._wake_write.close()

    def _wake(self) -> None:
        try:
            self._wake_write.send(b"x")
        except OSError:
            pass  # full (a wake-up is pending) or closed (stopped)

    def restart_in_child(self) -> None:
        for sock in [link.sock for link in self._links] + [self._wake_read, self._wake_write]:
            sock.close()  # the parent's connections stay the parent's
        self._links = []
        self._coherence.after_fork()
        self._start()

    def _run(self) -> None:
        backoff = _BACKOFF_FIRST
        while not self._stopping.is_set():
            links = self._links = []
            try:
                slot_map, endpoints = self._discover()
                for endpoint in endpoints:
                    links.append(self._subscribe(endpoint))
                self._coherence.resync(True, time.monotonic() + self._window())
                self.subscribed.set()
                backoff = _BACKOFF_FIRST
                self._listen(links, slot_map)
            except Exception:  # noqa: BLE001 - whatever ends a round, the next one starts afresh
                pass
            finally:
                for link in links:
                    link.sock.close()
            self.subscribed.clear()
            try:
                self._coherence.resync(False)
            except Exception:  # noqa: BLE001 - local hits are off already; the next round clears
                pass
            self._stopping.wait(backoff)
            backoff = min(backoff * 2, _BACKOFF_LAST)

    def _window(self) -> float:
        return PROBE_INTERVAL + self._target.timeout

    def _connect(self, endpoint: tuple[str, int]) -> _Link:
        target = self._target
        if target.path is not None:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.settimeout(target.timeout)
            sock.connect(target.path)
        else:
            sock = socket.create_connection(endpoint, timeout=target.timeout)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return _Link(sock, endpoint)

    def _discover(self) -> tuple[tuple[tuple[int, int, str, int], ...] | None, list[tuple[str, int]]]:
        """The primaries to listen to, and the slot map they were read from."""
        if not self._target.cluster:
            return None, list(self._target.seeds)
        last_error: Exception = LinkLost("no cluster node given")
        for seed in self._target.seeds:
            try:
                link = self._connect(seed)
            except OSError as error:
                last_error = error
                continue
            try:
                self._hello(link)
                slot_map = _slot_map(link.request(self._target.timeout, "CLUSTER", "SLOTS"))
            finally:
                link.sock.close()
            return slot_map, sorted({(host, port) for _, _, host, port in slot_map})
        raise last_error

    def _hello(self, link: _Link) -> None:
        hello: list[str | bytes | int] = ["HELLO", 3]
        if self._target.password is not None:
            hello += ["AUTH", self._target.username or "default", self._target.password]
        link.request(self._target.timeout, *hello, "SETNAME", CONNECTION_NAME)

    def _subscribe(self, endpoint: tuple[str, int]) -> _Link:
        link = self._connect(endpoint)
        try:
            self._hello(link)
            link.request(self._target.timeout, "CLIENT", "TRACKING", "ON", "BCAST", "PREFIX", self._prefix)
        except BaseException:
            link.sock.close()
            raise
        link.sock.setblocking(False)
        return link

    def _listen(self, links: list[_Link], slot_map: object) -> None:
        with selectors.DefaultSelector() as selector:
            selector.register(self._wake_read, selectors.EVENT_READ, None)
            for link in links:
                selector.register(link.sock, selectors.EVENT_READ, link)
            next_probe = time.monotonic()
            while not self._stopping.is_set():
                now = time.monotonic()
                if now >= next_probe:
                    self._probe(links, now)
                    next_probe = now + PROBE_INTERVAL
                for key, _ in selector.select(max(next_probe - time.monotonic(), 0)):
                    if key.data is None:
                        self._drain_wakes()
                    else:
                        self._handle(key.data, key.data.receive(), slot_map)
                self._send_queued_checks(links, slot_map)
                now = time.monotonic()
                for link in links:
                    if link.probes and now - link.probes[0].sent_at > self._target.timeout:
                        raise LinkLost("a probe went unanswered")
                self._coherence.heard(min(link.answered_at for link in links) + self._window())

    def _drain_wakes(self) -> None:
        try:
            while self._wake_read.recv(4096):
                pass
        except BlockingIOError:
            pass

    def _probe(self, links: list[_Link], now: float) -> None:
        for index, link in enumerate(links):
            link.send("PING")
            link.probes.append(_Probe(b"PING", now))
            if index == 0 and self._target.cluster:
                link.send("CLUSTER", "SLOTS")
                link.probes.append(_Probe(b"SLOTS", now))

    def _send_checks(self, link: _Link, checks: list[Check]) -> None:
        now = time.monotonic()
        for check in checks:
            link.send("GET", self._prefix + check[0].encode())
            link.probes.append(_Probe(b"GET", now, check))

    def _send_queued_checks(self, links: list[_Link], slot_map: Any) -> None:
        checks = self._coherence.take_checks()
        if not checks:
            return
        if slot_map is None:
            self._send_checks(links[0], checks)
            return
        by_endpoint = {link.endpoint: link for link in links}
        for check in checks:
            slot = key_slot(self._prefix + check[0].encode())
            owner = next(((host, port) for first, last, host, port in slot_map if first <= slot <= last), None)
            link = by_endpoint.get(owner) if owner else None
            if link is None:  # no primary serves the slot: nothing to check against
                self._coherence.checked(check[0], check[1], None)
            else:
                self._send_checks(link, [check])

    def _handle(self, link: _Link, messages: list[object], slot_map: object) -> None:
        for message in messages:
            if isinstance(message, Push):
                # The key's owner announced it: the check goes to the same node.
                self._send_checks(link, self._invalidated(message.items))
                continue
            if isinstance(message, ReplyError) or not link.probes:
                raise LinkLost(f"unexpected reply {message!r}")
            probe = link.probes.pop(0)
            if probe.command == b"SLOTS" and _slot_map(message) != slot_map:
                raise LinkLost("the cluster's slot map changed")
            if probe.check is not None:
                self._coherence.checked(probe.check[0], probe.check[1], message)
            link.answered_at = time.monotonic()

    def _invalidated(self, items: list[object]) -> list[Check]:
        if not items or items[0] not in (b"invalidate", "invalidate"):
            return []
        names = items[1] if len(items) > 1 else None
        if not isinstance(names, list):  # a flush: every key is gone
            self._coherence.resync(True, time.monotonic() + self._window())
            return []
        keys = []
        for name in names:
            if isinstance(name, bytes) and name.startswith(self._prefix):
                try:
                    keys.append(name[len(self._prefix):].decode())
                except UnicodeDecodeError:
                    continue
        return self._coherence.invalidate(keys)
