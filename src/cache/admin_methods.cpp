// keys, stats and resize: the keys in recency order, the usage counters, and
// a new cap at run time.
//
// keys() builds objects while it walks the entries; a garbage collection
// started by that may run finalisers that call this cache, so it holds a
// counted shared use (they may read, not change, what is being walked).
// resize() converts its limit before taking exclusive use: __index__ is the
// caller's own code and may use the cache freely, and the new cap applies
// to the cache as that code left it, less what has expired since.
#include "py/str_from_utf8.hpp"
#include "cache/method_support.hpp"
#include "cache/methods.hpp"

namespace pelm {

namespace {

constexpr Signature kStatsSignature{"Cache.stats()", {"reset", nullptr}, 1, 0};
constexpr Signature kResizeSignature{"Cache.resize()", {"limit", nullptr}, 1, 1};

Result<OwnedRef> keys_of(CacheObject* self) {
  std::optional<SharedUse> use;
  PELM_TRY(SharedUse::take(self->use_flag, use));
  const Engine& engine = self->engine;
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(engine.count())));
  if (!list) return Error::fetch();
  Py_ssize_t filled = 0;
  bool failed = false;
  engine.visit_most_recent_first([&](const Entry& entry) {
    if (failed) return;
    // Keys were taken from str objects, so their bytes are valid UTF-8.
    PyObject* key = new_str_from_utf8(entry.key());
    if (key == nullptr) {
      failed = true;
      return;
    }
    PyList_SET_ITEM(list.get(), filled++, key);
  });
  if (failed) return Error::fetch();
  return list;
}

// Truthiness of `reset` (absent: false); may run the object's __bool__.
Result<bool> convert_reset(PyObject* reset) {
  if (reset == nullptr) return false;
  const int truth = PyObject_IsTrue(reset);
  if (truth < 0) return Error::fetch().with_argument_note("reset");
  return truth == 1;
}

}  // namespace

PyObject* cache_keys(PyObject* op, PyObject*) {
  return object_entry([&] {
    CacheObject* self = as_cache(op);
    expire_due(self);
    return keys_of(self);
  });
}

// Reads (and with reset, zeroes) the counters under the use it needs, then
// makes the record after that use ended: making it may run a collection
// whose finalisers count in the cache again, after this snapshot.
Result<OwnedRef> stats_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  PELM_TRY(
      match_vectorcall(kStatsSignature, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound));
  Result<bool> reset = convert_reset(bound[0]);
  if (!reset.ok()) return std::move(reset.error());
  CacheCounters snapshot;
  if (reset.value()) {
    std::optional<ExclusiveUse> use;
    PELM_TRY(ExclusiveUse::take(self->use_flag, use));
    snapshot = std::exchange(self->counters, CacheCounters{});
  } else {
    PELM_TRY(check_shared_use(self->use_flag));
    snapshot = self->counters;
  }
  return new_stats_record(reinterpret_cast<PyObject*>(self), snapshot);
}

Result<OwnedRef> resize_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  PELM_TRY(
      match_vectorcall(kResizeSignature, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound));
  Result<std::uint64_t> limit = convert_limit(bound[0]);
  if (!limit.ok()) return std::move(limit.error());
  std::optional<ExclusiveUse> use;
  PELM_TRY(ExclusiveUse::take(self->use_flag, use));
  // __index__ may have run for long: what expired meanwhile goes first, so
  // no live entry is evicted while an expired one stays.
  expire_due_held(self);
  self->counters.evictions += self->engine.resize(limit.value());
  return OwnedRef::borrow(Py_None);
}

}  // namespace pelm
