// The core methods of Cache: insert, insert_ttl, get, remove, contains and
// the counters, and the cache's method table, which also lists the methods of
// raw_text_methods.cpp and admin_methods.cpp (declared in methods.hpp).
//
// Every method first retires the entries that have expired (expiry.hpp; the
// inserts do it after their conversion, see insert_method), then every keyed
// method follows the order of method_support.hpp. contains() shares its
// lookup with `in` (membership.hpp). insert converts the value while holding
// exclusive use; the conversion can run user code, which finds the cache
// borrowed if it calls back in. The engine is touched only after everything
// that can run Python code or fail is done, so a failing call leaves the
// cache exactly as it was.
#include <optional>
#include <string>

#include "cache/docstrings.hpp"
#include "cache/membership.hpp"
#include "cache/method_support.hpp"
#include "cache/methods.hpp"
#include "cache/pooled_writer.hpp"
#include "cache/store.hpp"
#include "convert/json_to_python.hpp"
#include "convert/python_to_json.hpp"

namespace pelm {

namespace {

constexpr Signature kInsertSignature{"Cache.insert()", {"key", "value"}, 2, 2};
constexpr Signature kInsertTtlSignature{"Cache.insert_ttl()", {"key", "value", "ttl"}, 3, 3};
constexpr Signature kGetSignature{"Cache.get()", {"key", nullptr}, 1, 1};
constexpr Signature kRemoveSignature{"Cache.remove()", {"key", nullptr}, 1, 1};
constexpr Signature kContainsSignature{"Cache.contains()", {"key", nullptr}, 1, 1};

// What insert and insert_ttl share once their arguments are converted.
Result<OwnedRef> store_value(CacheObject* self, const Key& key, PyObject* value, std::optional<std::int64_t> ttl_ns) {
  PooledWriter pooled;
  if (auto e = write_python_as_json(value, pooled.writer(), self->shapes)) {
    return std::move(*e).to_error(msg::kSerialiseFailed);
  }
  return store_text(self, key, pooled.text(), ttl_ns);
}

Result<OwnedRef> insert_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key;
  PELM_TRY(enter_keyed(kInsertSignature, self, args, nargsf, kwnames, bound, use, key));
  return store_value(self, key, bound[1], std::nullopt);
}

// The time limit is converted before the value: a bad one is refused
// without running the value's code.
Result<OwnedRef> insert_ttl_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key{};
  PELM_TRY(enter_keyed(kInsertTtlSignature, self, args, nargsf, kwnames, bound, use, key));
  Result<std::int64_t> ttl_ns = convert_ttl(bound[2]);
  if (!ttl_ns.ok()) return std::move(ttl_ns.error());
  return store_value(self, key, bound[1], ttl_ns.value());
}

Result<OwnedRef> get_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key;
  PELM_TRY(enter_keyed(kGetSignature, self, args, nargsf, kwnames, bound, use, key));
  // Promoted first: a hit counts as used even if decoding then fails.
  Entry* entry = find_and_promote(self, key);
  if (entry == nullptr) return not_found(key.text);
  // Decoding runs no user code (at most the unraisable hook or a __del__
  // under GC, which find the cache borrowed), so `entry` stays valid.
  return python_from_stored_json(entry->data());
}

Result<OwnedRef> remove_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key;
  PELM_TRY(enter_keyed(kRemoveSignature, self, args, nargsf, kwnames, bound, use, key));
  return new_bool(self->engine.remove(key));
}

Result<OwnedRef> contains_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  PELM_TRY(
      match_vectorcall(kContainsSignature, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound));
  Result<bool> found = cache_has_key(self, bound[0]);
  if (!found.ok()) return std::move(found.error());
  return new_bool(found.value());
}

// Counters, read under shared use: `read` takes its figure from the engine
// before it makes the result object, so nothing runs Python code meanwhile.
template <class Read>
PyObject* read_counter(PyObject* op, Read read) {
  return object_entry([&]() -> Result<OwnedRef> {
    CacheObject* self = as_cache(op);
    expire_due(self);
    PELM_TRY(check_shared_use(self->use_flag));
    return read(self->engine);
  });
}

PyObject* cache_size(PyObject* op, PyObject*) {
  return read_counter(op, [](const Engine& e) { return new_uint(e.size()); });
}

PyObject* cache_len(PyObject* op, PyObject*) {
  return read_counter(op, [](const Engine& e) { return new_uint(e.count()); });
}

PyObject* cache_is_empty(PyObject* op, PyObject*) {
  return read_counter(op, [](const Engine& e) -> Result<OwnedRef> { return new_bool(e.count() == 0); });
}

// sys.getsizeof(cache): what the cap does not count (keys, headers, the
// table) as well as what it does, so a user can see the cache's memory.
PyObject* cache_sizeof(PyObject* op, PyObject*) {
  return read_counter(op, [](const Engine& e) { return new_uint(sizeof(CacheObject) + e.bytes_held()); });
}

PyObject* cache_clear(PyObject* op, PyObject*) {
  return object_entry([&]() -> Result<OwnedRef> {
    CacheObject* self = as_cache(op);
    expire_due(self);
    std::optional<ExclusiveUse> use;
    PELM_TRY(ExclusiveUse::take(self->use_flag, use));
    self->engine.clear();
    return OwnedRef::borrow(Py_None);
  });
}

}  // namespace

PyMethodDef cache_methods[kCacheMethodCount] = {
    {"insert", as_cfunction<insert_method<insert_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kInsert},
    {"insert_ttl", as_cfunction<insert_method<insert_ttl_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kInsertTtl},
    {"get", as_cfunction<vector_method<get_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kGet},
    {"remove", as_cfunction<vector_method<remove_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kRemove},
    {"contains", as_cfunction<vector_method<contains_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kContains},
    {"size", as_cfunction<cache_size>(), METH_NOARGS, doc::kSize},
    {"len", as_cfunction<cache_len>(), METH_NOARGS, doc::kLen},
    {"is_empty", as_cfunction<cache_is_empty>(), METH_NOARGS, doc::kIsEmpty},
    {"clear", as_cfunction<cache_clear>(), METH_NOARGS, doc::kClear},
    {"get_raw", as_cfunction<vector_method<get_raw_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kGetRaw},
    {"insert_raw", as_cfunction<insert_method<insert_raw_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kInsertRaw},
    {"peek", as_cfunction<vector_method<peek_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kPeek},
    {"keys", as_cfunction<cache_keys>(), METH_NOARGS, doc::kKeys},
    {"stats", as_cfunction<vector_method<stats_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kStats},
    {"resize", as_cfunction<vector_method<resize_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kResize},
    {"__sizeof__", as_cfunction<cache_sizeof>(), METH_NOARGS, doc::kSizeof},
    {"save", as_cfunction<cache_save>(), METH_FASTCALL | METH_KEYWORDS, doc::kSave},
    {"load", as_cfunction<cache_load>(), METH_FASTCALL | METH_KEYWORDS, doc::kLoad},
};

}  // namespace pelm
