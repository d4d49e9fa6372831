// The UTF-8 bytes of a str, the one place the module reads them.
//
// A compact ASCII str's characters already are its UTF-8, and any other str
// may carry a UTF-8 form cached on it by someone else: both are read in
// place, with no call into the interpreter. Otherwise the characters are
// encoded into scratch space the caller owns, never cached on the object:
// the caller's strings must not grow behind its back (a cached UTF-8 copy
// lives as long as the str, outside any cap of ours).
//
// A lone surrogate has no UTF-8 form. It fails with the interpreter's own
// UnicodeEncodeError, made by PyUnicode_AsUTF8String, which caches nothing,
// so the error is the one the interpreter gives for the same str.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "codec/utf8_encode.hpp"

namespace pelm {

// Room for one encoded str: short ones inline (on the caller's stack),
// longer ones in a heap block kept for the scratch's lifetime and reused.
class Utf8Scratch {
 public:
  Utf8Scratch() noexcept = default;
  Utf8Scratch(const Utf8Scratch&) = delete;
  Utf8Scratch& operator=(const Utf8Scratch&) = delete;

  // At least `n` bytes, valid until the next call; throws std::bad_alloc.
  [[nodiscard]] char* room(std::size_t n) {
    if (n <= sizeof inline_) return inline_;
    if (n > heap_size_) {
      heap_.reset(new char[n]);
      heap_size_ = n;
    }
    return heap_.get();
  }

 private:
  char inline_[128];
  std::unique_ptr<char[]> heap_;
  std::size_t heap_size_ = 0;
};

// The characters of a compact ASCII str (its UTF-8 as they are), which
// follow its header: read there, not through PyUnicode_DATA, which would
// test the layout again.
[[nodiscard]] inline const char* compact_ascii_chars(PyObject* str) noexcept {
  return reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
}

// `f(units, n)` on the characters of the ready str `str` as its storage
// holds them (Py_UCS1, Py_UCS2 or Py_UCS4 units), and its result: the one
// switch over a str's kind for everything that reads its units.
template <class F>
decltype(auto) with_str_units(PyObject* str, F&& f) {
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return f(PyUnicode_1BYTE_DATA(str), n);
    case PyUnicode_2BYTE_KIND:
      return f(PyUnicode_2BYTE_DATA(str), n);
    default:
      return f(PyUnicode_4BYTE_DATA(str), n);
  }
}

// The UTF-8 bytes of `str` (a str or subclass) when they already exist.
// Reads two fields; allocates nothing, fails never, runs no Python code.
[[nodiscard]] inline std::optional<std::string_view> str_utf8_in_place(PyObject* str) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
    return std::string_view(compact_ascii_chars(str), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
  }
  const auto* u = reinterpret_cast<const PyCompactUnicodeObject*>(str);
  if (u->utf8 == nullptr) return std::nullopt;
  return std::string_view(u->utf8, static_cast<std::size_t>(u->utf8_length));
}

// Encodes a str without a UTF-8 form into `scratch`; false with the
// interpreter's exception set (a lone surrogate). Throws std::bad_alloc.
[[nodiscard]] bool str_utf8_encode(PyObject* str, Utf8Scratch& scratch, std::string_view* out);

// The most bytes `str_utf8_encode_to` may write for `str`, or 0 for a str
// whose characters are not ready (a legacy str of 3.11), which it must not
// be given. Runs no Python code and sets no error.
[[nodiscard]] std::size_t str_utf8_max_size(PyObject* str) noexcept;
// Encodes `str` into `room` (str_utf8_max_size bytes) and returns the end,
// or nullptr, with no error set, for a lone surrogate. For callers that
// need several encoded strs at once and so keep room of their own.
[[nodiscard]] char* str_utf8_encode_to(PyObject* str, char* room) noexcept;

// Sets `*out` and returns true, or returns false with the interpreter's
// exception set. `str` must be a str. The view borrows from the str or from
// `scratch`: valid while both live and `scratch` is not used again.
[[nodiscard]] inline bool str_utf8_view(PyObject* str, Utf8Scratch& scratch, std::string_view* out) {
  if (std::optional<std::string_view> in_place = str_utf8_in_place(str)) [[likely]] {
    *out = *in_place;
    return true;
  }
  return str_utf8_encode(str, scratch, out);
}

}  // namespace pelm
