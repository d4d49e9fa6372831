// The module's type objects, one set per interpreter, in the module's state.
//
// An interpreter with a lock of its own may run at the same moment as any
// other, so nothing it touches may be shared with another: not a type's
// reference count, nor its dict of method descriptors, nor the objects in
// it. Each interpreter that imports the module therefore makes its own heap
// types from declared shapes when the module is executed (Cache, its hidden entry type
// and its stats record here; the memoized function's in memoize/), and each
// is found from the object at hand: a Cache's type leads to its module
// (PyType_GetModuleState), and through it to the others.
//
// Invariants: the Cache type cannot be subclassed, so Py_TYPE(cache) is the
// type its module made; every instance holds a reference to its heap type,
// and the type to its module, so the module's state outlives the last
// instance. The module's traverse and clear slots break the module <-> type
// cycle; after clear the pointers are null, which only code run by the
// interpreter's last collection can see.
#pragma once

#include <Python.h>

namespace pelm {

struct ModuleTypes {
  PyTypeObject* cache;
  PyTypeObject* node;
  PyTypeObject* stats;
  PyTypeObject* memo;
};

inline constexpr Py_ssize_t kModuleTypesSize = sizeof(ModuleTypes);

// Every slot, for the module's traverse and clear.
template <class F>
void for_each_type_slot(ModuleTypes& types, F&& f) noexcept {
  f(types.cache);
  f(types.node);
  f(types.stats);
  f(types.memo);
}

[[nodiscard]] inline ModuleTypes& types_of_module(PyObject* module) noexcept {
  return *static_cast<ModuleTypes*>(PyModule_GetState(module));
}

// The types of the interpreter whose module made `cache` (a Cache).
[[nodiscard]] inline ModuleTypes& types_of_cache(PyObject* cache) noexcept {
  return *static_cast<ModuleTypes*>(PyType_GetModuleState(Py_TYPE(cache)));
}

// Makes Cache (with `methods` as its method table: the module's, which has
// memoize too), its entry type and its stats record type into the module's
// state; false with a Python error set.
[[nodiscard]] bool make_cache_types(PyObject* module, PyMethodDef* methods) noexcept;

}  // namespace pelm
