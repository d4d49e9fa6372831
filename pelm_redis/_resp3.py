"""The RESP3 wire format for the invalidation connection, with no I/O.

That connection sends a handful of commands and mostly reads pushes, so it
speaks the protocol itself instead of borrowing a client's connection (whose
push handling is internal to the client). `Reader` takes bytes as they come
and hands back whole messages; a message split across reads stays buffered
until the rest arrives. Pushes (`>`) come back as `Push`, errors as
`ReplyError`, everything else as plain Python values (bulk strings as
`bytes`, simple strings as `str`).
"""

from __future__ import annotations

from typing import NamedTuple


class Push(NamedTuple):
    """An out-of-band message: `items[0]` names its kind (b"invalidate")."""

    items: list[object]


class ReplyError(NamedTuple):
    """An error reply (`-ERR ...`, `!...`)."""

    message: str


class ProtocolError(Exception):
    """The server sent bytes that are not RESP3."""


class _Incomplete(Exception):
    """The buffer ends inside a message: wait for more bytes."""


def encode_command(*args: str | bytes | int) -> bytes:
    """One command as an array of bulk strings."""
    parts = [b"*%d\r\n" % len(args)]
    for arg in args:
        data = arg if isinstance(arg, bytes) else str(arg).encode()
        parts.append(b"$%d\r\n%s\r\n" % (len(data), data))
    return b"".join(parts)


class Reader:
    """Splits a byte stream into RESP3 messages."""

    def __init__(self) -> None:
        self._buffer = bytearray()

    def feed(self, data: bytes) -> None:
        self._buffer += data

    def messages(self) -> list[object]:
        """Every whole message buffered so far, oldest first."""
        found: list[object] = []
        pos = 0
        while pos < len(self._buffer):
            try:
                value, pos_after = self._value(pos)
            except _Incomplete:
                break
            if value is not _ATTRIBUTE:
                found.append(value)
            pos = pos_after
        del self._buffer[:pos]
        return found

    def _line(self, pos: int) -> tuple[bytes, int]:
        end = self._buffer.find(b"\r\n", pos)
        if end < 0:
            raise _Incomplete
        return bytes(self._buffer[pos:end]), end + 2

    def _blob(self, pos: int, length: int) -> tuple[bytes, int]:
        end = pos + length
        if end + 2 > len(self._buffer):
            raise _Incomplete
        return bytes(self._buffer[pos:end]), end + 2

    def _items(self, pos: int, count: int) -> tuple[list[object], int]:
        items: list[object] = []
        for _ in range(count):
            value, pos = self._value(pos)
            items.append(value)
        return items, pos

    def _value(self, pos: int) -> tuple[object, int]:
        line, pos = self._line(pos)
        kind, body = line[:1], line[1:]
        if kind == b"+":
            return body.decode(), pos
        if kind == b"-":
            return ReplyError(body.decode(errors="replace")), pos
        if kind in (b":", b"("):
            return int(body), pos
        if kind == b"_":
            return None, pos
        if kind == b"#":
            return body == b"t", pos
        if kind == b",":
            return float(body), pos
        if kind in (b"$", b"=", b"!"):
            if body == b"-1":
                return None, pos
            blob, pos = self._blob(pos, int(body))
            if kind == b"!":
                return ReplyError(blob.decode(errors="replace")), pos
            return (blob[4:] if kind == b"=" else blob), pos
        if kind in (b"*", b"~", b">"):
            if body == b"-1":
                return None, pos
            items, pos = self._items(pos, int(body))
            return (Push(items) if kind == b">" else items), pos
        if kind in (b"%", b"|"):
            pairs, pos = self._items(pos, 2 * int(body))
            if kind == b"|":  # attributes annotate the next reply: not needed here
                return _ATTRIBUTE, pos
            return dict(zip(map(_hashable, pairs[::2]), pairs[1::2])), pos
        raise ProtocolError(f"unexpected RESP3 type byte {kind!r}")


_ATTRIBUTE = object()


def _hashable(value: object) -> object:
    return tuple(value) if isinstance(value, list) else value
