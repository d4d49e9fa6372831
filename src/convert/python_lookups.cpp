// The conversion's lookups, kept per interpreter (see python_lookups.hpp).
#include "convert/python_lookups.hpp"

#include "py/owned_ref.hpp"
#include "py/per_interpreter.hpp"

namespace pelm {

namespace {

struct Lookups {
  static constexpr const char* kKey = "pelm_lib.conversion_lookups";
  OwnedRef sequence;
  OwnedRef mapping;
  OwnedRef dataclass_fields_name;
  OwnedRef instance_dict_name;
};

// Imports both classes together so that the pair is filled all at once.
Lookups* load_abcs(Lookups* kept) {
  OwnedRef module = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  OwnedRef sequence = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) return nullptr;
  OwnedRef mapping = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Mapping"));
  if (!mapping) return nullptr;
  // The import may have let another thread fill the pair meanwhile.
  if (!kept->sequence) {
    kept->sequence = std::move(sequence);
    kept->mapping = std::move(mapping);
  }
  return kept;
}

Lookups* abcs() {
  Lookups* kept = for_this_interpreter<Lookups>();
  if (kept == nullptr || kept->sequence) return kept;
  return load_abcs(kept);
}

PyObject* interned(OwnedRef Lookups::*slot, const char* text) {
  Lookups* kept = for_this_interpreter<Lookups>();
  if (kept == nullptr) return nullptr;
  OwnedRef& name = kept->*slot;
  if (!name) name = OwnedRef::steal(PyUnicode_InternFromString(text));
  return name.get();
}

}  // namespace

PyObject* sequence_abc() {
  Lookups* kept = abcs();
  return kept != nullptr ? kept->sequence.get() : nullptr;
}

PyObject* mapping_abc() {
  Lookups* kept = abcs();
  return kept != nullptr ? kept->mapping.get() : nullptr;
}

PyObject* dataclass_fields_name() { return interned(&Lookups::dataclass_fields_name, "__dataclass_fields__"); }

PyObject* instance_dict_name() { return interned(&Lookups::instance_dict_name, "__dict__"); }

}  // namespace pelm
