"""A warm restart: save the cache when the service stops, load it when it starts.

Each "run" below is what one process of a service would do: answer requests
from the cache, computing what it lacks (here a stand-in that counts its
calls), and save the cache on the way out. The second run starts from the
snapshot, so it computes only what the first never saw; the time limits go
on by the wall clock, so an answer fresh for an hour stays fresh for what is
left of that hour, across the restart.
"""

import os
import tempfile

import pelm_lib

computed = []


def answer(cache, question):
    try:
        return cache.get(question)
    except KeyError:
        computed.append(question)
        value = {"question": question, "answer": len(question)}
        cache.insert_ttl(question, value, ttl=3600)
        return value


def run(snapshot, questions):
    cache = pelm_lib.Cache(limit=1_000_000)
    loaded = cache.load(snapshot) if os.path.exists(snapshot) else 0
    computed.clear()
    for q in questions:
        answer(cache, q)
    saved = cache.save(snapshot)  # atomic: a crash here leaves the old snapshot whole
    return loaded, len(computed), saved


if __name__ == "__main__":
    snapshot = os.path.join(tempfile.mkdtemp(), "answers.jsonl")
    print("run 1: loaded %d, computed %d, saved %d" % run(snapshot, ["why", "how", "when"]))
    print("run 2: loaded %d, computed %d, saved %d" % run(snapshot, ["why", "how", "where"]))
