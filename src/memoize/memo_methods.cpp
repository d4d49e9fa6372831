// key(*args, **kwargs), invalidate(*args, **kwargs), copying and pickling,
// and the attributes of a memoized function. Both methods write the key exactly as a call would, so
// they name the entry a call with the same arguments would use.
#include <optional>

#include "cache/docstrings.hpp"
#include "cache/entry_point.hpp"
#include "memoize/key.hpp"
#include "memoize/memo_methods.hpp"
#include "cache/method_support.hpp"

namespace pelm {

namespace {

// The call's key text in `pooled`, unless the call is uncacheable.
Result<Keyed> key_of(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PooledWriter& pooled) {
  MemoObject* self = as_memo(op);
  if (!self->func) return cleared_memo_error();
  return write_call_key(*self, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, pooled);
}

PyObject* memo_key(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    PooledWriter pooled;
    Result<Keyed> written = key_of(op, args, nargsf, kwnames, pooled);
    if (!written.ok()) return std::move(written.error());
    if (written.value() == Keyed::kUncacheable) return OwnedRef::borrow(Py_None);
    return key_as_str(pooled.text());
  });
}

// Takes exclusive use as remove() does, failing the same way when it cannot.
PyObject* memo_invalidate(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    PooledWriter pooled;
    Result<Keyed> written = key_of(op, args, nargsf, kwnames, pooled);
    if (!written.ok()) return std::move(written.error());
    if (written.value() == Keyed::kUncacheable) return new_bool(false);
    Result<std::uint64_t> hash = key_str_hash(pooled.text());
    if (!hash.ok()) return std::move(hash.error());
    CacheObject* cache = memo_cache(as_memo(op));
    std::optional<ExclusiveUse> use;
    PELM_TRY(ExclusiveUse::take(cache->use_flag, use));
    expire_due_held(cache);  // an expired entry is gone already
    return new_bool(cache->engine.remove(KeyRef{pooled.text(), hash.value()}));
  });
}

PyObject* memo_get_cache(PyObject* op, void*) noexcept {
  MemoObject* self = as_memo(op);
  if (!self->cache) return object_entry([]() -> Result<OwnedRef> { return cleared_memo_error(); });
  return Py_NewRef(self->cache.get());
}

// Copies are the wrapper itself and pickles name it, as for functions: a
// memoized module-level function pickles by its qualified name.
PyObject* memo_self(PyObject* op, PyObject*) noexcept { return Py_NewRef(op); }

PyObject* memo_reduce(PyObject* op, PyObject*) { return PyObject_GetAttrString(op, "__qualname__"); }

}  // namespace

PyMethodDef memo_methods[] = {
    {"key", as_cfunction<memo_key>(), METH_FASTCALL | METH_KEYWORDS, doc::kMemoKey},
    {"invalidate", as_cfunction<memo_invalidate>(), METH_FASTCALL | METH_KEYWORDS, doc::kMemoInvalidate},
    {"__copy__", memo_self, METH_NOARGS, nullptr},
    {"__deepcopy__", memo_self, METH_O, nullptr},
    {"__reduce__", memo_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef memo_getset[] = {
    {"cache", memo_get_cache, nullptr, doc::kMemoCache, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace pelm
