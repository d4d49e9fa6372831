// The UTF-8 bytes of a str, without a call into the interpreter for the
// common compact ASCII str, whose character data already is its UTF-8.
// Other strs go through PyUnicode_AsUTF8AndSize, which caches their UTF-8
// form on the object; the view lives as long as the str does.
#pragma once

#include <Python.h>

#include <string_view>

namespace pelm {

// Sets `*out` and returns true, or returns false with the interpreter's
// exception set (a lone surrogate, or out of memory). `str` must be a str.
[[nodiscard]] inline bool str_utf8_view(PyObject* str, std::string_view* out) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n);
  if (utf8 == nullptr) return false;
  *out = std::string_view(utf8, static_cast<std::size_t>(n));
  return true;
}

}  // namespace pelm
