"""Caching HTTP-like JSON responses by URL.

A response body is stored as compact JSON, so the cache's size is close to
what the payloads weigh on the wire; every hit returns a fresh dict that the
caller may change freely.
"""

import pelm_lib

FAKE_API = {
    "/users/1": {"id": 1, "name": "Ada Lovelace", "roles": ["admin", "dev"], "active": True},
    "/users/2": {"id": 2, "name": "Grace Hopper", "roles": ["dev"], "active": True},
    "/status": {"ok": True, "version": "1.4.2", "uptime_s": 86400.5},
}
fetches = 0


def fetch(url):
    global fetches
    fetches += 1
    return FAKE_API[url]


cache = pelm_lib.init_cache(limit=512)


def get_json(url):
    if url in cache:
        return cache.get(url)
    body = fetch(url)
    cache.insert(url, body)
    return body


if __name__ == "__main__":
    for url in ["/users/1", "/status", "/users/1", "/users/2", "/status"]:
        body = get_json(url)
    body["ok"] = False  # changes the caller's copy only
    assert cache.get("/status")["ok"] is True
    print(f"{fetches} fetches for 5 requests; {cache.len()} responses, {cache.size()} bytes cached")
