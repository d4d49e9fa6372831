// The (key, value) pairs of an exact dict, in the dict's order, handed to a
// callback without a call per pair.
//
// PyDict_Next costs a call and its own checks per member, about 40
// instructions, which on small dicts is much of converting them. Where the
// layout of the dict's entry table is known, the entries are read in place
// instead: CPython 3.11 to 3.13 with the GIL, a combined table whose keys are
// all str (what a dict of str keys is unless a key of another type was ever
// put in it). Those three versions share one layout of the table's header,
// checked against their internal headers when this was written; any other
// version, a free-threaded build, a split table (an instance's attributes)
// or a table of general keys goes through PyDict_Next. The parity of the two
// ways is tested from Python on dicts with holes, resized ones and cleared
// ones.
// Hazard: the pairs are borrowed and valid only while no Python code runs;
// the callback must not run any (the plain path runs none).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace pelm {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define PELM_DICT_ENTRIES_IN_PLACE 1
#else
#define PELM_DICT_ENTRIES_IN_PLACE 0
#endif

namespace dict_detail {

#if PELM_DICT_ENTRIES_IN_PLACE
// The header of the interpreter's keys object, up to its index array, which
// starts right after it (the array is of char, so it has no padding before).
struct KeysHeader {
  Py_ssize_t refcount;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;  // 0 general, 1 str keys, 2 split
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t entry_count;  // entries used so far, deleted ones included
};

static_assert(sizeof(void*) != 8 || sizeof(KeysHeader) == 32, "the index array starts at byte 32");

struct StrKeyEntry {
  PyObject* key;
  PyObject* value;  // null for a deleted entry
};

inline constexpr std::uint8_t kStrKeys = 1;
#endif

}  // namespace dict_detail

// Calls `each(key, value)` for every member of the exact dict `dict` in order
// while it returns true; returns false as soon as it returns false.
template <typename Each>
bool for_each_dict_member(PyObject* dict, Each&& each) {
#if PELM_DICT_ENTRIES_IN_PLACE
  auto* object = reinterpret_cast<PyDictObject*>(dict);
  const auto* keys = reinterpret_cast<const dict_detail::KeysHeader*>(object->ma_keys);
  if (object->ma_values == nullptr && keys->kind == dict_detail::kStrKeys) {
    const char* indices = reinterpret_cast<const char*>(keys) + sizeof(dict_detail::KeysHeader);
    const auto* entries =
        reinterpret_cast<const dict_detail::StrKeyEntry*>(indices + (std::size_t{1} << keys->log2_index_bytes));
    const Py_ssize_t count = keys->entry_count;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (entries[i].value != nullptr && !each(entries[i].key, entries[i].value)) return false;
    }
    return true;
  }
#endif
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!each(key, value)) return false;
  }
  return true;
}

}  // namespace pelm
