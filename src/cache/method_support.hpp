// What the Cache methods share: entering a keyed call, the common results
// and refusals, and the adapters that make a method table entry from an
// implementation (which first retires expired entries, see expiry.hpp).
// Storing and counted lookups are in store.hpp.
//
// Every keyed method follows one order: match the arguments, take the use
// it needs, convert `key` (so a wrong call reports the earliest fault), then
// work.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "cache/cache_object.hpp"
#include "cache/convert_arguments.hpp"
#include "cache/entry_point.hpp"
#include "cache/expiry.hpp"
#include "cache/match_arguments.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

[[nodiscard]] inline OwnedRef new_bool(bool b) noexcept { return OwnedRef::borrow(b ? Py_True : Py_False); }

[[nodiscard]] inline Result<OwnedRef> new_uint(std::uint64_t v) {
  OwnedRef r = OwnedRef::steal(PyLong_FromUnsignedLongLong(v));
  if (!r) return Error::fetch();
  return r;
}

[[nodiscard]] PELM_COLD PELM_NOINLINE inline Error not_found(std::string_view key) {
  return Error::pending(PyExc_KeyError, msg::key_not_found(key));
}

// Matches the arguments, takes `use` (exclusive or shared) and converts
// `bound[0]` as the key.
template <class UseKind>
[[nodiscard]] Result<void> enter_keyed(const Signature& sig, CacheObject* self, PyObject* const* args,
                                       Py_ssize_t nargsf, PyObject* kwnames, BoundArgs& bound,
                                       std::optional<UseKind>& use, Key& key) {
  PELM_TRY(match_vectorcall(sig, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, bound));
  PELM_TRY(UseKind::take(self->use_flag, use));
  return convert_key(bound[0], key);
}

// A METH_FASTCALL | METH_KEYWORDS method from `Impl(self, args, nargsf, kwnames)`.
template <auto Impl>
PyObject* vector_method(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&] {
    CacheObject* self = as_cache(op);
    expire_due(self);
    return Impl(self, args, nargsf, kwnames);
  });
}

// The inserts (insert, insert_ttl, insert_raw) retire expired entries once,
// in store_text after their conversion, rather than at their start as well:
// in between they hold exclusive use, so no other call can tell the
// difference, and a cache with timed entries saves one clock reading per
// insert. A failed insert retires on its way out instead (a failure inside
// store_text has retired already).
template <auto Impl>
PyObject* insert_method(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&] {
    CacheObject* self = as_cache(op);
    Result<OwnedRef> r = Impl(self, args, nargsf, kwnames);
    if (!r.ok()) expire_due(self);
    return r;
  });
}

template <auto F>
PyCFunction as_cfunction() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace pelm
