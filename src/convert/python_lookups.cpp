// The conversion's once-per-process lookups (see python_lookups.hpp).
#include "convert/python_lookups.hpp"

#include "py/owned_ref.hpp"

namespace pelm {

namespace {

struct AbcPair {
  PyObject* sequence = nullptr;
  PyObject* mapping = nullptr;
};

// Kept for the life of the process: never released, so never decremented.
AbcPair g_abcs;
PyObject* g_dataclass_fields_name = nullptr;
PyObject* g_instance_dict_name = nullptr;

// Imports both classes together so that the pair is filled all at once.
bool load_abcs() {
  OwnedRef module = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return false;
  OwnedRef sequence = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) return false;
  OwnedRef mapping = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Mapping"));
  if (!mapping) return false;
  // The import may have let another thread fill the pair meanwhile.
  if (g_abcs.sequence == nullptr) g_abcs = AbcPair{sequence.release(), mapping.release()};
  return true;
}

PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

}  // namespace

PyObject* sequence_abc() {
  if (g_abcs.sequence == nullptr && !load_abcs()) return nullptr;
  return g_abcs.sequence;
}

PyObject* mapping_abc() {
  if (g_abcs.mapping == nullptr && !load_abcs()) return nullptr;
  return g_abcs.mapping;
}

PyObject* dataclass_fields_name() { return interned(g_dataclass_fields_name, "__dataclass_fields__"); }

PyObject* instance_dict_name() { return interned(g_instance_dict_name, "__dict__"); }

}  // namespace pelm
