// The hidden CacheNode type. Entries live in the engine's own storage, so no
// instance is ever made; the type exists, readied with Cache, as a
// static type without a constructor: Python can neither call it nor build one
// with object.__new__, and readying it never warns (a dot-less heap type name
// would, and under -W error that would break every insert).
#include "cache/cache_object.hpp"
#include "py/owned_ref.hpp"
#include "py/static_type.hpp"

namespace pelm {

namespace {

PyTypeObject make_cache_node_type() noexcept {
  PyTypeObject t = blank_static_type();
  t.tp_name = "CacheNode";
  t.tp_basicsize = sizeof(PyObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = nullptr;  // __doc__ is set to "" once ready (see below)
  return t;
}

}  // namespace

PyTypeObject CacheNodeType = make_cache_node_type();

bool ready_cache_node_type() noexcept {
  if (CacheNodeType.tp_flags & Py_TPFLAGS_READY) return true;
  if (PyType_Ready(&CacheNodeType) < 0) return false;
  // A static type turns an empty tp_doc into __doc__ None; the type's
  // documented docstring is the empty string, so set it explicitly.
  OwnedRef empty = OwnedRef::steal(PyUnicode_FromString(""));
  if (!empty || PyDict_SetItemString(CacheNodeType.tp_dict, "__doc__", empty.get()) < 0) return false;
  PyType_Modified(&CacheNodeType);
  return true;
}

}  // namespace pelm
