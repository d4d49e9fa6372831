// Reader events -> Python objects (see json_to_python.hpp).
//
// One value stack of owned references (value_stack.hpp) holds everything
// built so far: each scalar event pushes one object, each object key pushes
// its str, and a closing bracket replaces its `count` items (2 * count for an
// object: key, value, key, value...) by the one container made from them.
// Nothing is appended to a list or resized: the list is created at its final
// length and the references are moved in. A read that stops early leaves
// nothing behind: the stack releases what it still holds.
// Hazard: PyList_New and dict creation may run the cyclic collector, whose
// finalisers can run Python code (even another cache's `get`); the stack is
// therefore local to the call, never shared.
#include "convert/json_to_python.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert/conversion_error.hpp"
#include "convert/int_from_magnitude.hpp"
#include "convert/member_name_cache.hpp"
#include "py/str_from_utf8.hpp"
#include "py/str_utf8.hpp"
#include "convert/value_stack.hpp"
#include "codec/reader.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {
namespace {

// Code point order of two str objects, which is also the byte order of their
// UTF-8 forms. One-byte kinds (ASCII and Latin-1) compare as bytes, most
// often decided by the first one; wider kinds are stored in native-endian
// units, so the interpreter compares them.
int compare_str(PyObject* a, PyObject* b) noexcept {
  if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
    const Py_ssize_t na = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t nb = PyUnicode_GET_LENGTH(b);
    const auto* pa = static_cast<const unsigned char*>(PyUnicode_DATA(a));
    const auto* pb = static_cast<const unsigned char*>(PyUnicode_DATA(b));
    if (na != 0 && nb != 0 && pa[0] != pb[0]) return pa[0] < pb[0] ? -1 : 1;
    const int c = std::memcmp(pa, pb, static_cast<std::size_t>(std::min(na, nb)));
    if (c != 0) return c;
    return na < nb ? -1 : (na > nb ? 1 : 0);
  }
  return PyUnicode_Compare(a, b);  // cannot fail for two str objects
}

// Whether a text's objects list their members in strictly ascending name
// order: the writer's own text always does, so its reading never checks.
enum class MemberOrder : std::uint8_t { Any, Ascending };

// Inserts `value` under the str `key`. On 3.11 and 3.12 the key goes in
// under its hash through the known-hash insertion, which skips the generic
// insertion's tests: the hash cached in the str (every name from the
// member-name cache is hashed when made), else the one hashing computes
// and caches there. Later versions keep that entry point to themselves.
int set_member(PyObject* dict, PyObject* key, PyObject* value) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
  if (hash == -1) hash = PyObject_Hash(key);  // a str's hash cannot fail
  return _PyDict_SetItem_KnownHash(dict, key, value, hash);
#else
  return PyDict_SetItem(dict, key, value);
#endif
}

template <MemberOrder kOrder>
class PythonBuilder {
 public:
  bool null() { return push(Py_NewRef(Py_None)); }
  bool boolean(bool b) { return push(Py_NewRef(b ? Py_True : Py_False)); }
  bool uint(std::uint64_t u) { return push(new_int_from_unsigned(u)); }
  bool neg_int(std::int64_t n) { return push(new_int_from_negative(n)); }
  bool float_number(double d) { return push(PyFloat_FromDouble(d)); }
  // `ascii` is the reader's promise that no byte is 0x80 or above; without
  // it the bytes are scanned here.
  bool string(std::string_view utf8, bool ascii) { return push(ascii ? new_ascii_str(utf8) : new_str_from_utf8(utf8)); }
  bool key(std::string_view utf8, bool ascii) {
    if (utf8.size() <= kMaxCachedKeyLength && (ascii || is_ascii(utf8))) {
      // Found once per read, on its first short name.
      if (names_ == nullptr && (names_ = member_names_here()) == nullptr) return fail_creation();
      return push(cached_member_name(*names_, utf8));
    }
    return push(new_str_from_utf8(utf8));
  }
  bool begin_array() { return true; }
  bool begin_object() { return true; }
  bool end_array(std::size_t count);
  bool end_object(std::size_t count);

  // The finished value; only after a read that succeeded.
  [[nodiscard]] OwnedRef take_result() noexcept { return stack_.pop(); }
  // Why the handler stopped the read; only after it returned false.
  [[nodiscard]] Error take_failure() { return std::move(*failure_); }

 private:
  using Member = std::pair<PyObject*, PyObject*>;

  // Takes over `obj`, a new reference or the null of a failed creation.
  bool push(PyObject* obj) {
    if (obj == nullptr) return fail_creation();
    stack_.push(obj);
    return true;
  }

  static bool ascending(PyObject* const* members, std::size_t count) noexcept;
  static void sort_members(PyObject** members, std::size_t count);
  PELM_COLD PELM_NOINLINE bool fail_creation();
  PELM_COLD PELM_NOINLINE bool fail_insertion();

  ValueStack stack_;
  std::optional<Error> failure_;
  MemberNames* names_ = nullptr;  // this interpreter's short-name cache
};

template <MemberOrder kOrder>
bool PythonBuilder<kOrder>::end_array(std::size_t count) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return fail_creation();
  const std::size_t start = stack_.size() - count;
  if (count != 0) {
    std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, stack_.from(start), count * sizeof(PyObject*));
  }
  stack_.forget_above(start);  // the list owns the items now
  return push(list);
}

// Stored text lists members in strictly ascending name order, so they are
// inserted straight from the stack; other text costs one comparison per
// member to find that out. (Were stored text ever out of order, its dict
// would still hold every name once, the later value of a repeated one.)
template <MemberOrder kOrder>
bool PythonBuilder<kOrder>::end_object(std::size_t count) {
  const std::size_t start = stack_.size() - 2 * count;
  PyObject** members = stack_.from(start);
  if constexpr (kOrder == MemberOrder::Any) {
    if (!ascending(members, count)) sort_members(members, count);
  }
  OwnedRef dict = OwnedRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(count)));
  if (!dict) return fail_creation();
  for (std::size_t i = 0; i < count; ++i) {
    // A later equal name (adjacent after sorting) overwrites the value and
    // keeps the first position, which is the right one.
    if (set_member(dict.get(), members[2 * i], members[2 * i + 1]) < 0) return fail_insertion();
  }
  stack_.release_above(start);
  return push(dict.release());
}

// Names nearly always differ in their first character, and short ones come
// from the key cache as compact ASCII str: that case is decided inline
// before the general comparison.
template <MemberOrder kOrder>
bool PythonBuilder<kOrder>::ascending(PyObject* const* members, std::size_t count) noexcept {
  for (std::size_t i = 1; i < count; ++i) {
    PyObject* prev = members[2 * i - 2];
    PyObject* next = members[2 * i];
    if (prev == next) return false;
    if (PyUnicode_IS_COMPACT_ASCII(prev) && PyUnicode_IS_COMPACT_ASCII(next) && PyUnicode_GET_LENGTH(prev) != 0 &&
        PyUnicode_GET_LENGTH(next) != 0) {
      const auto first_prev = static_cast<unsigned char>(*compact_ascii_chars(prev));
      const auto first_next = static_cast<unsigned char>(*compact_ascii_chars(next));
      if (first_prev < first_next) continue;
      if (first_prev > first_next) return false;
    }
    if (compare_str(prev, next) >= 0) return false;
  }
  return true;
}

// Text not written by this module: order by name, keeping equal names in
// text order so that the later one is inserted last and wins.
template <MemberOrder kOrder>
void PythonBuilder<kOrder>::sort_members(PyObject** members, std::size_t count) {
  std::vector<Member> pairs(count);
  for (std::size_t i = 0; i < count; ++i) pairs[i] = {members[2 * i], members[2 * i + 1]};
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Member& a, const Member& b) { return compare_str(a.first, b.first) < 0; });
  for (std::size_t i = 0; i < count; ++i) {
    members[2 * i] = pairs[i].first;
    members[2 * i + 1] = pairs[i].second;
  }
}

// The interpreter could not allocate: report its error through the
// unraisable hook (the raised exception is ours), then fail as internal.
template <MemberOrder kOrder>
bool PythonBuilder<kOrder>::fail_creation() {
  PyErr_WriteUnraisable(nullptr);
  failure_.emplace(Error::panic(msg::kNullObject));
  return false;
}

template <MemberOrder kOrder>
bool PythonBuilder<kOrder>::fail_insertion() {
  failure_.emplace(ConversionError::interpreter().to_error(msg::kConvertFailed));
  return false;
}

// A stored entry's text and any other text differ only in the parse.
template <MemberOrder kOrder, class Parse>
Result<OwnedRef> build_python(std::string_view json_text, Parse parse) {
  PythonBuilder<kOrder> builder;
  std::optional<codec::JsonError> error = parse(json_text, builder);
  if (!error) return builder.take_result();
  if (error->code == codec::JsonErrorCode::HandlerStopped) return builder.take_failure();
  std::string text(msg::kReadFailed);
  text += error->text();
  return Error::pending(PyExc_SystemError, std::move(text));
}

}  // namespace

Result<OwnedRef> python_from_json(std::string_view json_text) {
  return build_python<MemberOrder::Any>(
      json_text, [](std::string_view t, PythonBuilder<MemberOrder::Any>& b) { return codec::parse_json(t, b); });
}

Result<OwnedRef> python_from_stored_json(std::string_view json_text) {
  return build_python<MemberOrder::Ascending>(
      json_text,
      [](std::string_view t, PythonBuilder<MemberOrder::Ascending>& b) { return codec::parse_stored_json(t, b); });
}

}  // namespace pelm
