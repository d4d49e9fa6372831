// Cache.memoize, the one method that makes memoized functions
// (decorate.cpp); listed in the Cache method table.
#pragma once

#include <Python.h>

namespace pelm {

PyObject* cache_memoize(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace pelm
