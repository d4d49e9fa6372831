// The two ways a cache's entries are stored and read with their counting:
// `store_text`, the one way a text enters the engine (for insert, insert_ttl,
// insert_raw and memoized results), and `find_and_promote`, the lookup that
// counts a hit or a miss (get, get_raw, memoized calls). What only looks
// (peek, contains, `in`) or only takes away (remove, clear, resize) calls the
// engine directly and counts nothing.
//
// In store_text everything that can fail happens before the first eviction,
// so a refused or failed store leaves the cache exactly as it was. Both
// require the caller to hold exclusive use.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/cache_object.hpp"
#include "cache/expiry.hpp"
#include "engine/key_ref.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

[[nodiscard]] PELM_COLD PELM_NOINLINE inline Error too_large(std::string_view key, std::uint64_t size,
                                                             std::uint64_t limit) {
  return Error::pending(PyExc_ValueError, msg::value_too_large(key, size, limit));
}

// Stores `text` (a finished stored form) under `key`, expiring `ttl_ns`
// nanoseconds from now when given, and counts the insert, its evictions and
// the expirations it retires first.
[[nodiscard]] inline Result<OwnedRef> store_text(CacheObject* self, const KeyRef& key, std::string_view text,
                                                 std::optional<std::int64_t> ttl_ns = std::nullopt) {
  Engine& engine = self->engine;
  if (text.size() > engine.limit()) return too_large(key.text, text.size(), engine.limit());
  const Deadline deadline = expire_before_store(self, ttl_ns);
  EntryPtr entry = engine.prepare_insert(key, text, deadline);
  self->counters.evictions += engine.commit_insert(std::move(entry));
  ++self->counters.inserts;
  return OwnedRef::borrow(Py_None);
}

// The entry under `key`, promoted to most recently used and counted as a
// hit; null, counted as a miss, when there is none. A hit counts as used
// even if what the caller does with it then fails.
[[nodiscard]] inline Entry* find_and_promote(CacheObject* self, const KeyRef& key) noexcept {
  Entry* entry = self->engine.find(key);
  if (entry == nullptr) {
    ++self->counters.misses;
    return nullptr;
  }
  ++self->counters.hits;
  self->engine.move_to_front(entry);
  return entry;
}

}  // namespace pelm
