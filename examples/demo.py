"""A short tour of pelm_lib: sizes in bytes, eviction, fresh objects on every hit."""

import pelm_lib

cache = pelm_lib.init_cache(40)
print(cache)

cache.insert("a", [1, 2, 3])           # stored as [1,2,3]: 7 bytes
cache.insert("b", {"y": 2, "x": 1})    # stored as {"x":1,"y":2}: 13 bytes
print("after two inserts:", cache, "size", cache.size())

value = cache.get("a")                 # promotes "a", returns a new list
value.append(99)                       # cannot touch the cached text
print("get a ->", cache.get("a"))

cache.insert("c", "x" * 20)            # 22 bytes: "b" is least recent and goes
print("after c:", "b" in cache, cache.len(), "entries,", cache.size(), "bytes")

try:
    cache.insert("big", "y" * 100)
except ValueError as e:
    print("refused:", e)
