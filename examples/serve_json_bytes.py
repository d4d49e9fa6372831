"""Serving cached JSON responses as bytes with the standard library's http.server.

An upstream service answers with pretty-printed JSON text. The cache keeps its
canonical compact form (insert_raw reads and rewrites the text without
building Python objects), and every response body is the stored text itself
(get_raw): no decode and no re-encode on a hit.

Run it as it is: it serves on a free loopback port, makes one request to
itself, prints the response and the cache's counters, and stops.
"""

import http.server
import threading
import urllib.request

import pelm_lib

UPSTREAM = {
    "/users/1": '{\n  "name": "Ada Lovelace",\n  "id": 1,\n  "roles": ["admin", "dev"],\n  "active": true\n}\n',
    "/users/2": '{\n  "name": "Grace Hopper",\n  "id": 2,\n  "roles": ["dev"],\n  "active": true\n}\n',
}

cache = pelm_lib.init_cache(limit=64_000)


def response_body(path):
    """The stored JSON bytes for `path`, fetched from upstream on a miss."""
    try:
        return cache.get_raw(path)
    except KeyError:
        pass
    cache.insert_raw(path, UPSTREAM[path])  # KeyError here: no such resource
    return cache.get_raw(path)


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        try:
            body, status = response_body(self.path), 200
        except KeyError:
            body, status = b'{"error":"not found"}', 404
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass  # keep the example's output to what it prints itself


def serve_one_request(path):
    """Serves exactly one request on a free loopback port and returns (status, body)."""
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    port = server.server_address[1]
    thread = threading.Thread(target=server.handle_request)
    thread.start()
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as response:
            return response.status, response.read()
    finally:
        thread.join(timeout=30)
        server.server_close()


if __name__ == "__main__":
    status, body = serve_one_request("/users/1")
    print(f"{status} {body.decode()}")
    print(cache.stats())  # the miss, its insert, then the hit that made the body
