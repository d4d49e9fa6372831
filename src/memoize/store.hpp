// How a memoized call reads and writes its cache: the lookup that counts a
// hit or a miss in stats() and decodes a hit, and the store of a result,
// which enters the engine as every insert does (store_text), so it counts as
// an insert and its evictions as evictions.
//
// Both take exclusive use of the cache only while they touch the engine, and
// run no user code meanwhile (decoding runs none; converting the result,
// which does, happens before the use is taken). They wait for another
// thread's call as every call does (use_flag.hpp); a cache that this
// thread's own call holds (the memoized call comes from code that an insert
// runs mid-conversion) is neither read nor written, and counts nothing: the
// call runs uncached, which keeps a memoized function usable wherever the
// function itself is.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "cache/cache_object.hpp"
#include "cache/convert_arguments.hpp"
#include "cache/pooled_writer.hpp"
#include "engine/key_ref.hpp"
#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

// A written key: unlike a converted argument (Key), it owns no scratch
// space, so it can be passed and kept.
using MemoKey = KeyRef;

enum class Found { kHit, kMiss, kBusy };

// On a hit: promotes the entry, counts a hit and sets `copy` to a freshly
// decoded value. On a miss: counts a miss.
[[nodiscard]] Result<Found> look_up(CacheObject* cache, MemoKey key, OwnedRef& copy);

// Whether a result was stored, or declined without an error: refused by the
// conversion, longer than the limit, or the cache in use elsewhere.
enum class Storing { kStored, kDeclined };

// Converts `result` as insert does into `pooled` and stores the text under
// `key`, expiring `ttl_ns` nanoseconds from now when given, as insert_ttl
// stores. Only a panic or a memory error is an error.
[[nodiscard]] Result<Storing> store_result(CacheObject* cache, MemoKey key, std::optional<std::int64_t> ttl_ns,
                                           PyObject* result, PooledWriter& pooled);

}  // namespace pelm
