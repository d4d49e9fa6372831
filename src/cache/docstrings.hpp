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

inline constexpr const char kInsertTtl[] =
    "insert_ttl($self, key, value, ttl)\n--\n\nInsert or overwrite a key whose entry expires `ttl` seconds from now,\n"
    "measured on a monotonic clock; otherwise exactly like `insert`.  An expired\n"
    "entry is gone for every caller, and its memory is released by the next call\n"
    "on the cache.  A plain `insert` over it takes the time limit away.\n\nRaises\n------\nTypeError\n"
    "    If `ttl` is not an int or a float (a bool is refused).\nValueError\n"
    "    If `ttl` is not finite and greater than 0, or the serialised value is\n"
    "    larger than the cache limit itself.";

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

// The methods beyond the first eight are this module's own; their texts
// follow the same layout.
inline constexpr const char kGetRaw[] =
    "get_raw($self, key)\n--\n\nReturn the stored JSON text of `key` as a new bytes object, byte for\n"
    "byte, and promote the key to the most-recently-used position.\n\nRaises\n------\nKeyError\n"
    "    If the key is not present in the cache.";

inline constexpr const char kInsertRaw[] =
    "insert_raw($self, key, text, ttl=None)\n--\n\nStore JSON text (a str or a bytes-like object holding UTF-8) "
    "under `key`\nin its canonical form: exactly the bytes insert(key, json.loads(text)) would\nstore, made "
    "without building Python objects.  Evicts like insert.  A `ttl` other than\nNone is a time limit in seconds, "
    "as insert_ttl takes it.\n\n"
    "Raises\n------\nValueError\n    If the text is not one JSON value the cache can store (the message\n"
    "    names the fault and its byte offset), or its canonical form is larger\n    than the cache limit, "
    "or `ttl` is not finite and greater than 0.\n"
    "TypeError\n    If `text` is neither a str nor a bytes-like object, or `ttl` is not None,\n    an int or a float.";

inline constexpr const char kPeek[] =
    "peek($self, key)\n--\n\nReturn the value for `key` as get does, without promoting it and without\n"
    "counting it in stats().\n\nRaises\n------\nKeyError\n    If the key is not present in the cache.";

inline constexpr const char kKeys[] = "keys($self)\n--\n\nEvery key in the cache as a list, most recently used first.";

inline constexpr const char kStats[] =
    "stats($self, reset=False)\n--\n\nUsage counters since the cache was made or last reset: hits and misses\n"
    "(get, get_raw, memoized calls), inserts, evictions and expirations, as a\n"
    "read-only named tuple.  With reset=True the counters are returned and set\nto zero.";

inline constexpr const char kResize[] =
    "resize($self, limit)\n--\n\nSet a new cache limit in bytes, evicting least-recently-used entries until\n"
    "the cache fits it.";

inline constexpr const char kSizeof[] =
    "__sizeof__($self, /)\n--\n\nMemory the cache holds, in bytes: the object, every entry (key, JSON text\n"
    "and bookkeeping) and the key table.";

inline constexpr const char kMemoize[] =
    "memoize($self, func=None, /, *, prefix=None, ttl=None)\n--\n\nCache a function's results, keyed by the "
    "canonical JSON of its arguments.\n\nUse as ``@cache.memoize`` or ``@cache.memoize(prefix=..., ttl=...)``.  "
    "The key is\n``prefix`` (default: the function's module and qualified name) followed\nby the JSON text of the "
    "arguments bound to the function's signature,\ndefaults applied.  Calls with arguments that have no canonical "
    "text\n(sets, NaN, infinities, anything ``insert`` refuses) run uncached.  Every\nresult comes back as a fresh "
    "copy decoded from the stored text.  With ``ttl``\n(seconds, as for insert_ttl) results expire.";

inline constexpr const char kMemoType[] = "A function memoized in a Cache (see Cache.memoize).";

inline constexpr const char kMemoKey[] =
    "key($self, /, *args, **kwargs)\n--\n\nThe cache key a call with these arguments uses, or None if such a\n"
    "call is not cached.";

inline constexpr const char kMemoInvalidate[] =
    "invalidate($self, /, *args, **kwargs)\n--\n\nRemove the entry of a call with these arguments.  Returns "
    "``True``\nif there was one.";

inline constexpr const char kMemoCache[] = "The Cache that holds the results.";

inline constexpr const char kLimit[] = "Maximum total payload size in bytes.";

inline constexpr const char kSave[] =
    "save($self, file)\n--\n\nWrite every live entry to `file`, least recently used first, as a snapshot\n"
    "(JSON Lines: a header, one [key, expires_at, text] line per entry with the\n"
    "stored text byte for byte, a trailer with the count and a CRC-32C), and\n"
    "return how many entries it wrote.  The recency order and stats() stay as\n"
    "they were.  `file` is a path (a str or an os.PathLike), replaced\n"
    "atomically: the snapshot goes to a temporary file beside it, is flushed to\n"
    "the disk and renamed over it, so a failure at any moment leaves the old\n"
    "file whole; or a binary file object with write().  What is written is the\n"
    "cache as it was when the call began: code run by write() may read the\n"
    "cache, but calls that would change it raise the in-use error.\n\n"
    "Raises\n------\nOSError\n    If the file cannot be written.\n"
    "TypeError\n    If `file` is neither a path nor an object with write().";

inline constexpr const char kLoad[] =
    "load($self, file)\n--\n\nRead a snapshot made by save() from `file` (a path, or a binary file\n"
    "object with read()) and store its entries as insert_raw would, oldest first,\n"
    "so the recency order comes back; entries whose time has run out are\n"
    "skipped, and a time limit goes on from where the wall clock is now.  The\n"
    "limit applies as it does to inserts: the most recent entries that fit stay.\n"
    "Returns how many entries it stored.  All or nothing: the whole snapshot is\n"
    "read and checked before the cache changes.\n\n"
    "Raises\n------\nValueError\n    If the snapshot is damaged, cut short or not a snapshot, or a text is\n"
    "    larger than the cache limit; the message names the line (from 1) and\n"
    "    what is wrong, and the cache is left exactly as it was.\n"
    "OSError\n    If the file cannot be read.\n"
    "TypeError\n    If `file` is neither a path nor an object with read().";

inline constexpr const char kInitCache[] =
    "init_cache(limit=None)\n--\n\nInstantiate a size-capped LRU cache.\n\nParameters\n----------\n"
    "limit : int, optional\n    Maximum total payload bytes.  Defaults to 1 048 576 (1 MB).";

}  // namespace pelm::doc
