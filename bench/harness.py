"""Timing primitives: a statement compiled into a tight loop, timed in CPU time.

Like timeit, the statement is pasted into a generated function whose names
are locals, so the loop costs only iteration and the call itself; the same
loop with `pass` as its body is timed right after and subtracted, so the
numbers are the operation's own cost. CPU time of this process
(CLOCK_PROCESS_CPUTIME_ID) rather than wall time, because the machine is
shared: time lost to other processes is not charged to the operation.
The cyclic collector is paused while a loop runs (as timeit does), so a
collection triggered by one peer's garbage is not billed to another.
"""

import gc
import textwrap
import time

_CLOCK = time.process_time


def compile_loop(stmt, names):
    """A function `loop(keys, ns) -> seconds` running `stmt` once per key."""
    unpack = "".join(f"    {n} = ns[{n!r}]\n" for n in sorted(names))
    body = textwrap.indent(stmt, " " * 8)
    src = (f"def loop(keys, ns):\n{unpack}"
           f"    t0 = clock()\n    for k in keys:\n{body}\n    return clock() - t0\n")
    scope = {"clock": _CLOCK}
    exec(compile(src, f"<loop {stmt!r}>", "exec"), scope)
    return scope["loop"]


_EMPTY = compile_loop("pass", [])


def time_per_op(loop, keys, ns):
    """Seconds per operation, the empty loop's cost taken out."""
    gc.collect()
    gc.disable()
    try:
        spent = loop(keys, ns)
        empty = _EMPTY(keys, ns)
    finally:
        gc.enable()
    return (spent - empty) / len(keys)


def median(values):
    s = sorted(values)
    mid = len(s) // 2
    return s[mid] if len(s) % 2 else (s[mid - 1] + s[mid]) / 2
