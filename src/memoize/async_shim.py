"""The coroutine half of a memoized coroutine function (see async.cpp).

Compiled once per process from the text CMake embeds in the extension; run
in a namespace of its own whose `lookup`, `store`, `decode`, `wrapped` and
`in_flight` are the extension's private helpers. Not a module of the
package: nothing imports this file. The key a miss's lookup gives is an
opaque object of the extension's, hashed and compared as its text: it goes
into the flight's slot and back to `store` untouched.
"""

from asyncio import CancelledError, current_task, get_running_loop, shield


class Flight:
    __slots__ = ("task", "waiters")

    def __init__(self, task):
        self.task = task
        self.waiters = 0


async def run_shared(memo, key, args, kwargs, flights, slot):
    try:
        return store(memo, key, await wrapped(memo)(*args, **kwargs))
    finally:
        flight = flights.get(slot)
        if flight is not None and flight.task is current_task():
            del flights[slot]


def retrieve(task):
    if not task.cancelled():
        task.exception()


async def memoized_call(memo, args, kwargs):
    found, value = lookup(memo, *args, **kwargs)
    if found == 0:
        return value
    if found == 1:
        return await wrapped(memo)(*args, **kwargs)
    loop = get_running_loop()
    slot = (loop, value)
    flights = in_flight(memo)
    flight = flights.get(slot)
    if flight is None:
        flight = Flight(loop.create_task(run_shared(memo, value, args, kwargs, flights, slot)))
        flight.task.add_done_callback(retrieve)
        flights[slot] = flight
    flight.waiters += 1
    try:
        text, result = await shield(flight.task)
    except CancelledError:
        flight.waiters -= 1
        if flight.waiters == 0 and not flight.task.done():
            if flights.get(slot) is flight:
                del flights[slot]
            flight.task.cancel()
        raise
    flight.waiters -= 1
    return result if text is None else decode(text)


def mark(wrapper):
    try:
        from inspect import markcoroutinefunction
    except ImportError:
        from asyncio import coroutines
        wrapper._is_coroutine = coroutines._is_coroutine
    else:
        markcoroutinefunction(wrapper)
