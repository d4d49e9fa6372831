// The wrapper Cache.memoize returns: the wrapped callable, its cache, the key
// prefix, the time limit and the binding plan, behind the object header.
//
// The wrapper is garbage-collected (the function, its __dict__ and the calls
// in flight can all lead back to it), a descriptor that binds like a
// function, and has a __dict__ for functools.update_wrapper's attributes.
// `dict` and `weakrefs` are the interpreter's slots (tp_dictoffset,
// tp_weaklistoffset); every other reference is an OwnedRef. The C++ members
// are built with placement new when the wrapper is made and are null only
// after tp_clear, which runs when the wrapper is garbage: a call that finds
// `func` null fails instead of using them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "cache/cache_object.hpp"
#include "memoize/plan.hpp"
#include "py/messages.hpp"
#include "py/owned_ref.hpp"
#include "support/portable.hpp"

namespace pelm {

struct MemoObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* dict;
  PyObject* weakrefs;
  OwnedRef func;        // the wrapped callable
  OwnedRef cache;       // a Cache
  OwnedRef prefix;      // bytes: the key prefix in UTF-8
  std::int64_t ttl_ns;  // the entries' time limit in nanoseconds; 0: none
  OwnedRef flights;     // coroutine functions: the calls in flight (async.cpp)
  BindingPlan plan;
};

[[nodiscard]] inline MemoObject* as_memo(PyObject* op) noexcept { return reinterpret_cast<MemoObject*>(op); }
[[nodiscard]] inline CacheObject* memo_cache(const MemoObject* self) noexcept { return as_cache(self->cache.get()); }
[[nodiscard]] inline std::optional<std::int64_t> memo_ttl(const MemoObject* self) noexcept {
  if (self->ttl_ns == 0) return std::nullopt;
  return self->ttl_ns;
}

// The error of a call that finds the wrapper cleared (see the top).
[[nodiscard]] PELM_COLD inline Error cleared_memo_error() {
  return Error::pending(PyExc_ReferenceError, msg::kMemoCleared);
}

// Makes the type into `module`'s state (module_types.hpp); false with a
// Python error set.
[[nodiscard]] bool make_memo_type(PyObject* module) noexcept;
// Whether `obj` is a memoized function (of any interpreter's type).
[[nodiscard]] bool is_memo(PyObject* obj) noexcept;

// What a wrapper is made from; decoration fills it in (decorate.cpp).
struct MemoParts {
  OwnedRef func;
  OwnedRef cache;
  OwnedRef prefix;
  std::optional<std::int64_t> ttl_ns;
  BindingPlan plan;
  bool is_async;
};
// A new, tracked wrapper holding `parts`.
[[nodiscard]] Result<OwnedRef> new_memo(MemoParts parts);

// The call slots (call.cpp, async.cpp).
// Not noexcept: they run user code (see cache/entry_point.hpp).
PyObject* memo_vectorcall(PyObject* op, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* memo_async_vectorcall(PyObject* op, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

}  // namespace pelm
