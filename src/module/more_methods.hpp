// The Cache methods beyond the first eight, for the method table in
// cache_methods.cpp: stored text in and out and a look without promoting
// (json_text_methods.cpp); keys, statistics and resizing
// (cache_admin_methods.cpp); snapshots (snapshot_methods.cpp). Each returns its result or an error value and
// is wrapped by an entry point there.
#pragma once

#include <Python.h>

#include "module/cache_object.hpp"

namespace pelm {

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
