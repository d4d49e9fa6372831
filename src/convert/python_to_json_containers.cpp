// Python containers -> JSON arrays and objects: the sequence, set, mapping
// and dataclass rules, and the shortcuts for exact list, tuple and dict.
//
// Hazards. Reading a container can run the value's own Python code (__len__,
// __getitem__, __iter__, keys(), values(), __instancecheck__, __eq__ and
// __hash__ of str-subclass names, attribute lookups, __index__ of a length),
// and converting one entry can run code that mutates any container above it.
// So:
//  1. every object in use is held by a strong reference while it is read or
//     converted; an entry is taken into an OwnedRef before anything else runs;
//  2. every positional read is checked against the list's size at that
//     moment and fails as the interpreter's own read would ("list index out
//     of range"), never reads past the end;
//  3. lengths, keys and values are read in the rule's order, once, so a
//     mutation shows up exactly as it would through the protocol calls.
// An exact dict is snapshotted into `held_` (no Python code can run while
// its entries are collected), which is what its keys()/values() lists would
// hold, without allocating two lists per dict; members before the first value
// that could run code need no snapshot at all.
#include <algorithm>
#include <cstddef>
#include <string_view>

#include "convert/python_lookups.hpp"
#include "py/str_utf8.hpp"
#include "convert/python_to_json_dispatch.hpp"
#include "py/messages.hpp"

namespace pelm {

namespace {

// Drops the held entries of one exact dict when its conversion ends.
class HeldScope {
 public:
  explicit HeldScope(std::vector<OwnedRef>& held) noexcept : held_(held), mark_(held.size()) {}
  HeldScope(const HeldScope&) = delete;
  HeldScope& operator=(const HeldScope&) = delete;
  ~HeldScope() { held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(mark_), held_.end()); }
  [[nodiscard]] std::size_t mark() const noexcept { return mark_; }

 private:
  std::vector<OwnedRef>& held_;
  std::size_t mark_;
};

// list[i] with the interpreter's own bounds check, as a strong reference.
OwnedRef list_item(PyObject* list, Py_ssize_t i) { return OwnedRef::borrow(PyList_GetItem(list, i)); }

}  // namespace

bool ToValueWalk::enter(int depth) {
  if (depth < kMaxNesting) return true;
  return fail(ConversionError::message(msg::kRecursionLimit));
}

bool ToValueWalk::exact_list(PyObject* list, int depth) {
  if (!enter(depth)) return false;
  out_.begin_array();
  const bool ok = plain_first([&] { return plain_elements(list, depth); },
                              [&] {
                                // Both length readings agree: nothing runs between them.
                                const Py_ssize_t n = PyList_GET_SIZE(list);
                                for (Py_ssize_t i = 0; i < n; ++i) {
                                  OwnedRef item = list_item(list, i);
                                  if (!item) return fail_interpreter();
                                  if (!convert(item.get(), depth + 1)) return false;
                                }
                                return true;
                              });
  if (ok) out_.end_array();
  return ok;
}

// A tuple's items cannot change while the tuple lives, and we keep it alive,
// so they are read without references of our own.
bool ToValueWalk::exact_tuple(PyObject* tuple, int depth) {
  if (!enter(depth)) return false;
  out_.begin_array();
  const bool ok = plain_first([&] { return plain_elements(tuple, depth); },
                              [&] {
                                const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
                                for (Py_ssize_t i = 0; i < n; ++i) {
                                  if (!convert(PyTuple_GET_ITEM(tuple, i), depth + 1)) return false;
                                }
                                return true;
                              });
  if (ok) out_.end_array();
  return ok;
}

namespace {

// Values whose conversion runs no Python code and reads no container: while
// only these are converted, nothing can change a dict being iterated.
bool is_plain_scalar(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
         value == Py_None;
}

}  // namespace

// Written in sorted order at once when nothing in it can run code (see
// python_to_json_plain.cpp), else by the general rules in dict order.
bool ToValueWalk::exact_dict(PyObject* dict, int depth) {
  if (!enter(depth)) return false;
  // An exact dict never has __dataclass_fields__: neither dict nor object
  // defines it and dict instances have no attribute dictionary.
  out_.begin_object();
  return plain_first(
      [&] {
        if (!plain_members(dict, depth)) return false;
        out_.end_object();
        return true;
      },
      [&] { return dict_in_order(dict, depth); });
}

// The general rules for an exact dict already begun: members in dict order
// (the writer sorts them when the object closes). Leading members with plain
// scalar values are written straight from the dict with borrowed references.
// The first other value could run code that changes the dict, so the entries
// from there on are taken into `held_` first: since nothing has run yet, that
// is the same snapshot as one taken before the first member.
bool ToValueWalk::dict_in_order(PyObject* dict, int depth) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!is_plain_scalar(value)) return exact_dict_rest(dict, pos, key, value, depth);
    if (!member(key, value, depth)) return false;
  }
  out_.end_object();
  return true;
}

// Snapshots the entry (key, value) and the ones after `pos`, converts them
// and closes the object.
bool ToValueWalk::exact_dict_rest(PyObject* dict, Py_ssize_t pos, PyObject* key, PyObject* value, int depth) {
  HeldScope scope(held_);
  // Grow geometrically: an exact-size reserve at every nesting level would
  // reallocate (and move) the whole stack once per level, quadratic in depth.
  const std::size_t need = scope.mark() + 2 * static_cast<std::size_t>(PyDict_GET_SIZE(dict));
  if (need > held_.capacity()) held_.reserve(std::max(need, 2 * held_.capacity()));
  do {
    held_.push_back(OwnedRef::borrow(key));
    held_.push_back(OwnedRef::borrow(value));
  } while (PyDict_Next(dict, &pos, &key, &value));
  const std::size_t end = held_.size();
  // Nested dicts push above `end` and may move the vector: index, never iterate.
  for (std::size_t i = scope.mark(); i < end; i += 2) {
    if (!member(held_[i].get(), held_[i + 1].get(), depth)) return false;
  }
  out_.end_object();
  return true;
}

// Reads the length, checks the type (for objects found by isinstance only)
// and reads the length again; `n` is the first reading.
ToValueWalk::Opening ToValueWalk::open_sequence(PyObject* obj, bool by_flag, Py_ssize_t& n) {
  n = PyObject_Size(obj);
  if (n < 0) return failed(fail_interpreter());
  if (!by_flag) {
    PyObject* cls = sequence_abc();
    if (cls == nullptr) return failed(fail_interpreter());
    if (!is_instance_quietly(obj, cls)) return Opening::kNotASequence;
  }
  const Py_ssize_t again = PyObject_Size(obj);
  if (again < 0) return failed(fail_interpreter());
  if (again != n) {
    const auto expected = static_cast<std::size_t>(n);
    return failed(fail(ConversionError::sequence_length(expected, static_cast<std::size_t>(again))));
  }
  return Opening::kOpened;
}

bool ToValueWalk::sequence(PyObject* obj, int depth, bool by_flag) {
  if (!enter(depth)) return false;
  Py_ssize_t n = 0;
  switch (open_sequence(obj, by_flag, n)) {
    case Opening::kOpened:
      break;
    case Opening::kNotASequence:
      return fail(ConversionError::unexpected_type(obj, "Sequence"));
    case Opening::kFailed:
      return false;
  }
  out_.begin_array();
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef item = OwnedRef::steal(PySequence_GetItem(obj, i));
    if (!item) return fail_interpreter();
    if (!convert(item.get(), depth + 1)) return false;
  }
  out_.end_array();
  return true;
}

// A set is offered to the sequence opening first; only its length errors
// count there, since a set is (normally) no Sequence. Its text follows its
// iteration order, which equal sets need not share: never part of a key.
bool ToValueWalk::set(PyObject* obj, int depth) {
  if (for_key_) return fail(ConversionError::message(msg::kNoKeyText));
  if (!enter(depth)) return false;
  Py_ssize_t n = 0;
  if (open_sequence(obj, false, n) == Opening::kFailed) return false;
  OwnedRef iter = OwnedRef::steal(PyObject_GetIter(obj));
  if (!iter) return fail_interpreter();
  out_.begin_array();
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iter.get()))) {
    if (!convert(item.get(), depth + 1)) return false;
  }
  if (PyErr_Occurred()) return fail_interpreter();
  out_.end_array();
  return true;
}

bool ToValueWalk::mapping(PyObject* obj, int depth) {
  if (!enter(depth)) return false;
  PyObject* fields_name = dataclass_fields_name();
  if (fields_name == nullptr) return fail_interpreter();
  if (OwnedRef fields = optional_attribute(obj, fields_name)) return dataclass(obj, fields.get(), depth);
  if (!PyDict_Check(obj)) {
    PyObject* cls = mapping_abc();
    if (cls == nullptr) return fail_interpreter();
    if (!is_instance_quietly(obj, cls)) return fail(ConversionError::unexpected_type(obj, "Mapping"));
  }
  return mapping_items(obj, depth);
}

// keys() and values() may hand out lists the mapping still owns, which the
// value's code can then shrink or clear: every read is bounds-checked.
bool ToValueWalk::mapping_items(PyObject* obj, int depth) {
  OwnedRef keys = OwnedRef::steal(PyMapping_Keys(obj));
  if (!keys) return fail_interpreter();
  OwnedRef values = OwnedRef::steal(PyMapping_Values(obj));
  if (!values) return fail_interpreter();
  const Py_ssize_t n = PyMapping_Size(obj);
  if (n < 0) return fail_interpreter();
  out_.begin_object();
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef key = list_item(keys.get(), i);
    if (!key) return fail_interpreter();
    if (!member_name(key.get())) return false;
    OwnedRef value = list_item(values.get(), i);
    if (!value) return fail_interpreter();
    if (!convert(value.get(), depth + 1)) return false;
  }
  out_.end_object();
  return true;
}

// Reached from classification or from the mapping rule; either way the
// dataclass counts as one nesting level.
bool ToValueWalk::dataclass(PyObject* obj, PyObject* fields, int depth) {
  if (!enter(depth)) return false;
  if (!PyDict_Check(fields)) return fail(ConversionError::unexpected_type(fields, "dict"));
  OwnedRef names = OwnedRef::steal(PyDict_Keys(fields));
  if (!names) return fail_interpreter();
  const Py_ssize_t n = PyList_GET_SIZE(names.get());
  PyObject* dict_name = instance_dict_name();
  if (dict_name == nullptr) return fail_interpreter();
  OwnedRef attrs = OwnedRef::steal(PyObject_GetAttr(obj, dict_name));
  if (!attrs) return fail_interpreter();
  if (!PyDict_Check(attrs.get())) return fail(ConversionError::unexpected_type(attrs.get(), "dict"));
  out_.begin_object();
  for (Py_ssize_t i = 0; i < n; ++i) {
    OwnedRef name = list_item(names.get(), i);
    if (!name) return fail_interpreter();
    if (!member_name(name.get())) return false;
    // Borrowed from a dict the value's code can rebind: held at once.
    OwnedRef value = OwnedRef::borrow(PyDict_GetItemWithError(attrs.get(), name.get()));
    if (!value) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name.get());
      return fail_interpreter();
    }
    if (!convert(value.get(), depth + 1)) return false;
  }
  out_.end_object();
  return true;
}

bool ToValueWalk::member(PyObject* key, PyObject* value, int depth) {
  return member_name(key) && convert(value, depth + 1);
}

// A member name must be a str (or subclass); it is never made from another type.
bool ToValueWalk::member_name(PyObject* key) {
  if (!PyUnicode_Check(key)) return fail(ConversionError::unexpected_type(key, "str"));
  std::string_view utf8;
  if (!str_utf8_view(key, utf8_scratch_, &utf8)) return fail_interpreter();
  out_.key(utf8);
  return true;
}

}  // namespace pelm
