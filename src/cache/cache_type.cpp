// The Cache type: constructor, destructor, repr, len(), `in`, and `limit`.
// Every slot goes through an entry wrapper (entry_point.hpp), which throws
// nothing but the forced unwind that ends a thread; each slot on a cache
// first retires its expired entries (expiry.hpp).
#include <cinttypes>
#include <cstdio>
#include <new>
#include <optional>

#include "cache/match_arguments.hpp"
#include "cache/convert_arguments.hpp"
#include "cache/cache_object.hpp"
#include "cache/docstrings.hpp"
#include "cache/entry_point.hpp"
#include "cache/expiry.hpp"
#include "cache/membership.hpp"
#include "cache/module_types.hpp"

namespace pelm {

namespace {

constexpr Signature kNewSignature{"Cache.__new__()", {"limit", nullptr}, 1, 1};

PyObject* cache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return object_entry([&]() -> Result<OwnedRef> {
    BoundArgs bound;
    PELM_TRY(match_tuple_dict(kNewSignature, args, kwargs, bound));
    Result<std::uint64_t> limit = convert_limit(bound[0]);
    if (!limit.ok()) return std::move(limit.error());
    return new_cache(type, limit.value());
  });
}

void cache_dealloc(PyObject* op) noexcept {
  // The engine frees its entries iteratively and runs no Python code.
  CacheObject* self = as_cache(op);
  PyTypeObject* type = Py_TYPE(op);
  self->engine.~Engine();
  self->shapes.~DictShapeMemo();
  self->use_flag.~UseFlag();
  type->tp_free(op);
  Py_DECREF(type);  // an instance of a heap type holds its type
}

PyObject* cache_repr(PyObject* op) {
  return object_entry([&]() -> Result<OwnedRef> {
    CacheObject* self = as_cache(op);
    expire_due(self);
    PELM_TRY(check_shared_use(self->use_flag));
    char text[96];
    std::snprintf(text, sizeof text, "Cache(limit=%" PRIu64 ", size=%" PRIu64 ", entries=%zu)", self->engine.limit(),
                  self->engine.size(), self->engine.count());
    OwnedRef s = OwnedRef::steal(PyUnicode_FromString(text));
    if (!s) return Error::fetch();
    return s;
  });
}

Py_ssize_t cache_length(PyObject* op) {
  return number_entry<Py_ssize_t>([&]() -> Result<Py_ssize_t> {
    CacheObject* self = as_cache(op);
    expire_due(self);
    PELM_TRY(check_shared_use(self->use_flag));
    std::size_t n = self->engine.count();
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return Error::pending_without_message(PyExc_OverflowError);
    return static_cast<Py_ssize_t>(n);
  });
}

int cache_contains(PyObject* op, PyObject* key) {
  return number_entry<int>([&]() -> Result<int> {
    CacheObject* self = as_cache(op);
    expire_due(self);
    Result<bool> found = cache_has_key(self, key);
    if (!found.ok()) return std::move(found.error());
    return found.value() ? 1 : 0;
  });
}

PyObject* cache_get_limit(PyObject* op, void*) {
  return object_entry([&]() -> Result<OwnedRef> {
    CacheObject* self = as_cache(op);
    expire_due(self);
    PELM_TRY(check_shared_use(self->use_flag));
    OwnedRef v = OwnedRef::steal(PyLong_FromUnsignedLongLong(self->engine.limit()));
    if (!v) return Error::fetch();
    return v;
  });
}

PyGetSetDef cache_getset[] = {
    {"limit", cache_get_limit, nullptr, doc::kLimit, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Not a base type, no __dict__, no weak references, not GC-tracked: a Cache
// holds no Python objects, so it can never be part of a cycle.
PyType_Spec cache_shape(PyType_Slot* slots) noexcept {
  return {"pelm_lib.Cache", sizeof(CacheObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

}  // namespace

bool make_cache_types(PyObject* module, PyMethodDef* methods) noexcept {
  // The slots are read while the type is made; `methods` and the getset
  // table must outlive it (both are static).
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(cache_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(cache_repr)},
      {Py_mp_length, reinterpret_cast<void*>(cache_length)},
      {Py_sq_contains, reinterpret_cast<void*>(cache_contains)},
      {Py_tp_doc, const_cast<char*>(doc::kCache)},
      {Py_tp_methods, methods},
      {Py_tp_getset, cache_getset},
      {Py_tp_new, reinterpret_cast<void*>(cache_new)},
      {0, nullptr},
  };
  PyType_Spec shape = cache_shape(slots);
  ModuleTypes& types = types_of_module(module);
  types.cache = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &shape, nullptr));
  if (types.cache == nullptr) return false;
  types.node = make_cache_node_type(module);
  if (types.node == nullptr) return false;
  types.stats = make_stats_type();
  return types.stats != nullptr;
}

Result<OwnedRef> new_cache(PyTypeObject* type, std::uint64_t limit) {
  HashKey key = next_cache_hash_key();
  OwnedRef obj = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!obj) return Error::fetch();
  CacheObject* self = as_cache(obj.get());
  new (&self->engine) Engine(limit, key);
  new (&self->use_flag) UseFlag(self);
  new (&self->counters) CacheCounters();
  new (&self->shapes) DictShapeMemo();
  return obj;
}

}  // namespace pelm
