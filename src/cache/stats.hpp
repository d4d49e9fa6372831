// A cache's usage counters and the read-only record `stats()` returns.
//
// The counters are plain integers in the Cache object: every call that
// changes them holds the interpreter lock, so no atomics are needed and a
// count costs one increment. They count since the cache was made or last
// reset: hits and misses (get, get_raw, memoized calls), inserts (every
// successful insert, overwrites and memoized results included), evictions
// (entries dropped to make room, by an insert or by resize) and expirations
// (entries retired because their time limit passed; see expiry.hpp).
//
// The record is a struct sequence (a tuple with named fields, like
// sys.float_info) of a type reachable only as type(record). Fields are only
// ever appended, so a caller that unpacks the first five keeps working.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

struct CacheCounters {
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t inserts = 0;
  std::uint64_t evictions = 0;
  std::uint64_t expirations = 0;
};

// Makes the record's type for the interpreter at hand (with the Cache type:
// module_types.hpp); null with a Python error set.
[[nodiscard]] PyTypeObject* make_stats_type() noexcept;
// A new record holding `counters`, of the record type of `cache`'s interpreter.
[[nodiscard]] Result<OwnedRef> new_stats_record(PyObject* cache, const CacheCounters& counters);

}  // namespace pelm
