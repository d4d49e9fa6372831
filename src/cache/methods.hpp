// The Cache methods, grouped by what they do: the core (insert, get, remove,
// contains and the counters; core_methods.cpp), stored text in and out and a
// look without promoting (raw_text_methods.cpp), and administration: keys,
// statistics and resizing (admin_methods.cpp); snapshots, save and load
// (snapshot_methods.cpp). Each returns its result or an
// error value and is wrapped by an entry point in the method table.
//
// `cache_methods` is that table without Cache.memoize, which lives a layer
// up (memoize/): the module appends it when it readies the type
// (module/method_table.cpp).
#pragma once

#include <Python.h>

#include <cstddef>

#include "cache/cache_object.hpp"

namespace pelm {

inline constexpr std::size_t kCacheMethodCount = 18;
extern PyMethodDef cache_methods[kCacheMethodCount];

Result<OwnedRef> get_raw_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<OwnedRef> insert_raw_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<OwnedRef> peek_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<OwnedRef> stats_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<OwnedRef> resize_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* cache_keys(PyObject* op, PyObject*);
// save and load, whole entry points (snapshot_methods.cpp).
PyObject* cache_save(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* cache_load(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace pelm
