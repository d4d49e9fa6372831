// The hidden CacheNode type. Entries live in the engine's own storage, so no
// instance is ever made; the type exists, made with Cache in each
// interpreter, without a constructor: Python can neither call it nor build
// one with object.__new__.
//
// It looks as a built-in type named "CacheNode" would: module `builtins` (so
// its repr is <class 'CacheNode'>), a tp_name without a module, and __doc__
// the empty string. The type's declared name has the module in it because a dot-less
// name makes the interpreter warn when the type is made (under -W error that
// would fail the import); tp_name then points at the dot-less literal, which
// a heap type allows, as it never frees what tp_name points at.
#include "cache/cache_object.hpp"

namespace pelm {

namespace {

PyType_Slot cache_node_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec cache_node_shape = {
    "builtins.CacheNode",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    cache_node_slots,
};

}  // namespace

PyTypeObject* make_cache_node_type(PyObject* module) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &cache_node_shape, nullptr));
  if (type != nullptr) type->tp_name = "CacheNode";
  return type;
}

}  // namespace pelm
