// The methods of Cache: insert, get, remove, contains and the counters.
//
// Every method follows one order: match the arguments, take the use flag
// (exclusive to change the cache, shared to read it), convert `key`, then
// work. contains() shares its lookup with `in` (membership.hpp). insert converts the value while holding exclusive use; the conversion
// can run user code, which finds the cache borrowed if it calls back in.
// The engine is touched only after everything that can run Python code or
// fail is done, so a failing call leaves the cache exactly as it was.
#include <optional>
#include <string>

#include "convert/json_to_python.hpp"
#include "convert/python_to_json.hpp"
#include "codec/writer.hpp"
#include "module/match_arguments.hpp"
#include "module/convert_arguments.hpp"
#include "module/cache_object.hpp"
#include "module/docstrings.hpp"
#include "module/entry_point.hpp"
#include "module/membership.hpp"
#include "module/pooled_writer.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

namespace {

constexpr Signature kInsertSignature{"Cache.insert()", {"key", "value"}, 2, 2};
constexpr Signature kGetSignature{"Cache.get()", {"key", nullptr}, 1, 1};
constexpr Signature kRemoveSignature{"Cache.remove()", {"key", nullptr}, 1, 1};
constexpr Signature kContainsSignature{"Cache.contains()", {"key", nullptr}, 1, 1};

OwnedRef new_bool(bool b) noexcept { return OwnedRef::borrow(b ? Py_True : Py_False); }

Result<OwnedRef> new_uint(std::uint64_t v) {
  OwnedRef r = OwnedRef::steal(PyLong_FromUnsignedLongLong(v));
  if (!r) return Error::fetch();
  return r;
}

PELM_COLD Error too_large(std::string_view key, std::uint64_t size, std::uint64_t limit) {
  return Error::pending(PyExc_ValueError, msg::value_too_large(key, size, limit));
}

PELM_COLD Error not_found(std::string_view key) {
  return Error::pending(PyExc_KeyError, msg::key_not_found(key));
}

// The common start of the keyed methods that change the cache: match the
// arguments, take exclusive use, convert `key` (in that order, so a wrong
// call reports the earliest fault).
std::optional<Error> enter_keyed(const Signature& sig, CacheObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames, BoundArgs& bound, std::optional<ExclusiveUse>& use,
                                 Key& key) {
  if (auto e = match_vectorcall(sig, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound)) {
    return e;
  }
  if (auto e = ExclusiveUse::take(self->use_flag, use)) return e;
  Result<Key> converted = convert_key(bound[0]);
  if (!converted.ok()) return std::move(converted.error());
  key = converted.value();
  return std::nullopt;
}

Result<OwnedRef> insert_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key{};
  if (auto e = enter_keyed(kInsertSignature, self, args, nargsf, kwnames, bound, use, key)) return std::move(*e);

  PooledWriter pooled;
  if (auto e = write_python_as_json(bound[1], pooled.writer(), self->shapes)) {
    return std::move(*e).to_error(msg::kSerialiseFailed);
  }
  std::string_view text = pooled.text();
  Engine& engine = self->engine;
  if (text.size() > engine.limit()) return too_large(key.text, text.size(), engine.limit());
  if (!ensure_cache_node_type()) {
    PyErr_WriteUnraisable(nullptr);
    return Error::panic(std::string(msg::kNodeTypeFailed));
  }
  // Everything that can fail happens before the first eviction.
  EntryPtr entry = engine.prepare_insert(key.text, text, engine.hash(key.str_hash));
  engine.commit_insert(std::move(entry));
  return OwnedRef::borrow(Py_None);
}

Result<OwnedRef> get_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key{};
  if (auto e = enter_keyed(kGetSignature, self, args, nargsf, kwnames, bound, use, key)) return std::move(*e);
  Entry* entry = self->engine.find(key.text, self->engine.hash(key.str_hash));
  if (entry == nullptr) return not_found(key.text);
  // Promote first: a hit counts as used even if decoding then fails.
  self->engine.move_to_front(entry);
  // Decoding runs no user code (at most the unraisable hook or a __del__
  // under GC, which find the cache borrowed), so `entry` stays valid.
  return python_from_json(entry->data());
}

Result<OwnedRef> remove_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key{};
  if (auto e = enter_keyed(kRemoveSignature, self, args, nargsf, kwnames, bound, use, key)) return std::move(*e);
  return new_bool(self->engine.remove(key.text, self->engine.hash(key.str_hash)));
}

Result<OwnedRef> contains_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  if (auto e = match_vectorcall(kContainsSignature, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)),
                                kwnames, bound)) {
    return std::move(*e);
  }
  Result<bool> found = cache_has_key(self, bound[0]);
  if (!found.ok()) return std::move(found.error());
  return new_bool(found.value());
}

// Counters, read under shared use: `read` takes its figure from the engine
// before it makes the result object, so nothing runs Python code meanwhile.
template <class Read>
PyObject* read_counter(PyObject* op, Read read) noexcept {
  return object_entry([&]() -> Result<OwnedRef> {
    CacheObject* self = as_cache(op);
    if (auto e = check_shared_use(self->use_flag)) return std::move(*e);
    return read(self->engine);
  });
}

template <auto Impl>
PyObject* vector_method(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return object_entry([&] { return Impl(as_cache(op), args, nargsf, kwnames); });
}

PyObject* cache_size(PyObject* op, PyObject*) noexcept {
  return read_counter(op, [](const Engine& e) { return new_uint(e.size()); });
}

PyObject* cache_len(PyObject* op, PyObject*) noexcept {
  return read_counter(op, [](const Engine& e) { return new_uint(e.count()); });
}

PyObject* cache_is_empty(PyObject* op, PyObject*) noexcept {
  return read_counter(op, [](const Engine& e) -> Result<OwnedRef> { return new_bool(e.count() == 0); });
}

PyObject* cache_clear(PyObject* op, PyObject*) noexcept {
  return object_entry([&]() -> Result<OwnedRef> {
    CacheObject* self = as_cache(op);
    std::optional<ExclusiveUse> use;
    if (auto e = ExclusiveUse::take(self->use_flag, use)) return std::move(*e);
    self->engine.clear();
    return OwnedRef::borrow(Py_None);
  });
}

template <auto F>
PyCFunction as_cfunction() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef cache_methods[] = {
    {"insert", as_cfunction<vector_method<insert_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kInsert},
    {"get", as_cfunction<vector_method<get_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kGet},
    {"remove", as_cfunction<vector_method<remove_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kRemove},
    {"contains", as_cfunction<vector_method<contains_impl>>(), METH_FASTCALL | METH_KEYWORDS, doc::kContains},
    {"size", as_cfunction<cache_size>(), METH_NOARGS, doc::kSize},
    {"len", as_cfunction<cache_len>(), METH_NOARGS, doc::kLen},
    {"is_empty", as_cfunction<cache_is_empty>(), METH_NOARGS, doc::kIsEmpty},
    {"clear", as_cfunction<cache_clear>(), METH_NOARGS, doc::kClear},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pelm
