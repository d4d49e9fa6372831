// Converting the two named parameters, `key` and `limit`. Both failures carry
// the note "while processing '<name>'".
//
// A key is a str (or subclass) taken as its UTF-8 bytes; the view borrows the
// str's cached UTF-8 form, valid while the caller holds the argument.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "lib/error.hpp"

namespace pelm {

// Why `key` could not be converted; only called once conversion has failed.
[[nodiscard, gnu::cold]] Error key_conversion_error(PyObject* key);

// Inline: every keyed call converts its key, and almost every key converts.
[[nodiscard]] inline Result<std::string_view> convert_key(PyObject* key) {
  if (PyUnicode_Check(key)) [[likely]] {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(key, &n)) return std::string_view(p, static_cast<std::size_t>(n));
  }
  return key_conversion_error(key);
}
// An int (or subclass), or anything with __index__, in 0 ... 2**64 - 1.
[[nodiscard]] Result<std::uint64_t> convert_limit(PyObject* limit);

}  // namespace pelm
