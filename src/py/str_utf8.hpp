// The UTF-8 bytes of a str, the one place the module reads them.
//
// A compact ASCII str's characters already are its UTF-8, and any other str
// may carry a UTF-8 form cached on it by an earlier request: both are read in
// place, with no call into the interpreter. Otherwise PyUnicode_AsUTF8AndSize
// makes the form and caches it on the object. Either way the view borrows from
// the str and is valid as long as the caller holds the str.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

namespace pelm {

// The UTF-8 bytes of `str` (a str or subclass) when they already exist.
// Reads two fields; allocates nothing, fails never, runs no Python code.
[[nodiscard]] inline std::optional<std::string_view> str_utf8_in_place(PyObject* str) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
  }
  const auto* u = reinterpret_cast<const PyCompactUnicodeObject*>(str);
  if (u->utf8 == nullptr) return std::nullopt;
  return std::string_view(u->utf8, static_cast<std::size_t>(u->utf8_length));
}

// Sets `*out` and returns true, or returns false with the interpreter's
// exception set (a lone surrogate, or out of memory). `str` must be a str.
[[nodiscard]] inline bool str_utf8_view(PyObject* str, std::string_view* out) noexcept {
  if (std::optional<std::string_view> in_place = str_utf8_in_place(str)) [[likely]] {
    *out = *in_place;
    return true;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n);
  if (utf8 == nullptr) return false;
  *out = std::string_view(utf8, static_cast<std::size_t>(n));
  return true;
}

}  // namespace pelm
