"""Real redis-server processes for the tier's tests, on free loopback ports.

Each server runs with no persistence, in a folder of the test's own, and is
killed by the fixture that started it. A cluster is three primaries joined
by `redis-cli --cluster create`.
"""

import os
import shutil
import signal
import socket
import subprocess
import time

SERVER = shutil.which("redis-server")
CLI = shutil.which("redis-cli")
# The sanitized suite preloads its runtime into Python: not into these.
PLAIN_ENV = {k: v for k, v in os.environ.items()
             if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def free_port(cluster=False):
    """A port free now; for a cluster node, one whose bus port (+10000) is free too."""
    while True:
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        if not cluster:
            return port
        if port + 10000 < 65536:
            with socket.socket() as bus:
                try:
                    bus.bind(("127.0.0.1", port + 10000))
                except OSError:
                    continue
            return port


def _answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2) as sock:
            sock.sendall(b"PING\r\n")
            return sock.recv(16).startswith((b"+PONG", b"-NOAUTH"))  # up, with or without a password
    except OSError:
        return False


class Server:
    def __init__(self, folder, *extra):
        self.folder = folder
        self.extra = extra
        self.port = free_port(cluster="--cluster-enabled" in extra)
        self.process = None
        self.start()

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        self.process = subprocess.Popen(
            [SERVER, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", str(self.folder), "--enable-debug-command", "yes", "--loglevel", "warning", *self.extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=PLAIN_ENV)
        deadline = time.monotonic() + 10
        while not _answers(self.port):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.kill()
                raise RuntimeError(f"redis-server did not start on port {self.port}")
            time.sleep(0.02)

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def restart_empty(self):
        self.kill()
        self.start()

    def pause(self):
        self.process.send_signal(signal.SIGSTOP)

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def cli(self, *args):
        return subprocess.run([CLI, "-p", str(self.port), *args], capture_output=True, text=True,
                              timeout=10, check=True, env=PLAIN_ENV).stdout.strip()


def start_cluster(folder, size=3):
    nodes = [Server(folder / f"node{i}", "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                    "--cluster-node-timeout", "2000") for i in range(size)]
    try:
        subprocess.run([CLI, "--cluster", "create", *[f"127.0.0.1:{n.port}" for n in nodes],
                        "--cluster-replicas", "0", "--cluster-yes"],
                       capture_output=True, text=True, timeout=30, check=True, env=PLAIN_ENV)
        deadline = time.monotonic() + 20
        while not all("cluster_state:ok" in n.cli("CLUSTER", "INFO") for n in nodes):
            if time.monotonic() > deadline:
                raise RuntimeError("the cluster did not reach state ok")
            time.sleep(0.05)
    except BaseException:
        for node in nodes:
            node.kill()
        raise
    return nodes


def move_slot(nodes, slot, target):
    """Moves `slot` with its keys to `target`, as a resharding would."""
    ids = {n.port: n.cli("CLUSTER", "MYID") for n in nodes}
    owner = slot_owner(nodes[0], slot)
    source = next(n for n in nodes if ids[n.port] == owner)
    target.cli("CLUSTER", "SETSLOT", str(slot), "IMPORTING", ids[source.port])
    source.cli("CLUSTER", "SETSLOT", str(slot), "MIGRATING", ids[target.port])
    while keys := source.cli("CLUSTER", "GETKEYSINSLOT", str(slot), "100").split():
        source.cli("MIGRATE", "127.0.0.1", str(target.port), "", "0", "5000", "KEYS", *keys)
    for node in nodes:
        node.cli("CLUSTER", "SETSLOT", str(slot), "NODE", ids[target.port])


def slot_owner(node, slot):
    for line in node.cli("CLUSTER", "NODES").splitlines():
        fields = line.split()
        for part in fields[8:]:
            first, _, last = part.partition("-")
            if part[0].isdigit() and int(first) <= slot <= int(last or first):
                return fields[0]
    return None
