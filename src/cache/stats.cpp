// The stats record type (a struct sequence made with Cache in each
// interpreter) and the making of one record (see stats.hpp).
//
// Hazard: the field order is part of the public surface (the record is a
// tuple); new fields go at the end, and kFields, kFieldCount and
// `new_stats_record` change together.
#include "cache/stats.hpp"

#include <array>

#include "cache/module_types.hpp"
#include "py/messages.hpp"

namespace pelm {

namespace {

constexpr int kFieldCount = 5;

PyStructSequence_Field kFields[kFieldCount + 1] = {
    {"hits", "get, get_raw and memoized calls that found their key"},
    {"misses", "get, get_raw and memoized calls that did not"},
    {"inserts", "successful inserts of any kind, overwrites included"},
    {"evictions", "entries dropped to make room, by inserts and by resize"},
    {"expirations", "entries dropped because their time to live ran out"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDesc = {
    "pelm_lib.CacheStats",
    "CacheStats(hits, misses, inserts, evictions, expirations)\n--\n\n"
    "Usage counters of a Cache since it was made or last reset, as returned by Cache.stats().",
    kFields,
    kFieldCount,
};

}  // namespace

// Marking the type immutable once made keeps its attributes as they are.
PyTypeObject* make_stats_type() noexcept {
  PyTypeObject* type = PyStructSequence_NewType(&kDesc);
  if (type == nullptr) return nullptr;
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  return type;
}

Result<OwnedRef> new_stats_record(PyObject* cache, const CacheCounters& counters) {
  PyTypeObject* type = types_of_cache(cache).stats;
  if (type == nullptr) return Error::pending(PyExc_RuntimeError, msg::kModuleCleared);
  OwnedRef record = OwnedRef::steal(PyStructSequence_New(type));
  if (!record) return Error::fetch();
  const std::array<std::uint64_t, kFieldCount> values = {counters.hits, counters.misses, counters.inserts,
                                                         counters.evictions, counters.expirations};
  for (int i = 0; i < kFieldCount; ++i) {
    PyObject* n = PyLong_FromUnsignedLongLong(values[static_cast<std::size_t>(i)]);
    if (n == nullptr) return Error::fetch();
    PyStructSequence_SetItem(record.get(), i, n);  // steals `n`
  }
  return record;
}

}  // namespace pelm
