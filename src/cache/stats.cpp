// The stats record type (a static struct sequence, readied with Cache)
// and the making of one record (see stats.hpp).
//
// Hazard: the field order is part of the public surface (the record is a
// tuple); new fields go at the end, and kFields, kFieldCount and
// `new_stats_record` change together.
#include "cache/stats.hpp"

#include <array>

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

PyTypeObject StatsType{};

}  // namespace

// Readies the type once per process. A static type cannot be freed, and
// marking it immutable after it is ready keeps its attributes as they are.
bool ready_stats_type() noexcept {
  if (StatsType.tp_flags & Py_TPFLAGS_READY) return true;
  if (PyStructSequence_InitType2(&StatsType, &kDesc) < 0) return false;
  StatsType.tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(&StatsType);
  return true;
}

Result<OwnedRef> new_stats_record(const CacheCounters& counters) {
  OwnedRef record = OwnedRef::steal(PyStructSequence_New(&StatsType));
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
