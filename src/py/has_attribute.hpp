// Whether an object has an attribute, with a failed lookup reported as an
// error rather than as "no". PyObject_HasAttrString swallows the error (from
// 3.13 it also reports it as unraisable), so a MemoryError or a raising
// __getattr__ would pass for absence.
#pragma once

#include <Python.h>

#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

[[nodiscard]] inline Result<bool> has_attribute(PyObject* obj, const char* name) {
  PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int r = PyObject_GetOptionalAttrString(obj, name, &found);
#else
  OwnedRef key = OwnedRef::steal(PyUnicode_FromString(name));
  if (!key) return Error::fetch();
  const int r = _PyObject_LookupAttr(obj, key.get(), &found);
#endif
  Py_XDECREF(found);
  if (r < 0) return Error::fetch();
  return r == 1;
}

}  // namespace pelm
