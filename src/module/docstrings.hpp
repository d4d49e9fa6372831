// Docstrings of the module's callables. Each method's text starts with its
// signature line and "\n--\n\n", from which the interpreter derives
// __text_signature__ ("($self, key, value)" for insert). The texts are part of
// the public surface: keep them byte for byte, including where they describe
// defaults that the code deliberately does differently (init_cache uses
// 1000000 bytes).
#pragma once

namespace pelm::doc {

inline constexpr const char kCache[] =
    "Cache(limit)\n--\n\nAn in-memory, size-capped LRU cache backed by a doubly-linked list and a\n"
    "hash map.  Serialises Python objects to JSON bytes internally.\n\nParameters\n----------\n"
    "limit : int\n    Maximum number of bytes the cache may hold (measured as the length of\n"
    "    the JSON-serialised value).  Defaults to 1 MB.";

inline constexpr const char kInsert[] =
    "insert($self, key, value)\n--\n\nInsert or overwrite a key.  Evicts the least-recently-used entry when\n"
    "the cache would exceed its limit.\n\nRaises\n------\nValueError\n"
    "    If the serialised value is larger than the cache limit itself.";

inline constexpr const char kGet[] =
    "get($self, key)\n--\n\nRetrieve the value for `key` and promote it to the most-recently-used\n"
    "position.\n\nRaises\n------\nKeyError\n    If the key is not present in the cache.";

inline constexpr const char kRemove[] =
    "remove($self, key)\n--\n\nRemove a key from the cache.  Returns ``True`` if the key existed,\n"
    "``False`` otherwise.";

inline constexpr const char kContains[] =
    "contains($self, key)\n--\n\nReturns ``True`` if the key exists in the cache (without updating LRU order).";

inline constexpr const char kSize[] = "size($self)\n--\n\nCurrent total byte usage.";

inline constexpr const char kLen[] = "len($self)\n--\n\nNumber of entries currently in the cache.";

inline constexpr const char kIsEmpty[] = "is_empty($self)\n--\n\n``True`` if the cache holds no entries.";

inline constexpr const char kClear[] = "clear($self)\n--\n\nEvict all entries.";

inline constexpr const char kSizeof[] =
    "__sizeof__($self, /)\n--\n\nMemory the cache holds, in bytes: the object, every entry (key, JSON text\n"
    "and bookkeeping) and the key table.";

inline constexpr const char kLimit[] = "Maximum total payload size in bytes.";

inline constexpr const char kInitCache[] =
    "init_cache(limit=None)\n--\n\nInstantiate a size-capped LRU cache.\n\nParameters\n----------\n"
    "limit : int, optional\n    Maximum total payload bytes.  Defaults to 1 048 576 (1 MB).";

}  // namespace pelm::doc
