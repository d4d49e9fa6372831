// Converting the named parameters `key`, `limit` and `ttl`. Every failure
// carries the note "while processing '<name>'".
//
// A key is a str (or subclass) taken as its UTF-8 bytes: read in place when
// the str has them, else encoded into the key's own scratch space, never
// cached on the caller's str (py/str_utf8.hpp). It travels with the
// interpreter's hash of the str, from which the key map makes its own
// (key_hash.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/key_ref.hpp"
#include "py/error.hpp"
#include "py/str_utf8.hpp"
#include "support/portable.hpp"

namespace pelm {

// Why `key` could not be converted; only called once conversion has failed.
[[nodiscard]] PELM_COLD Error key_conversion_error(PyObject* key);

// The UTF-8 bytes of a str key when they already exist (py/str_utf8.hpp);
// nothing when `key` is no str or its UTF-8 form has not been made yet.
[[nodiscard]] inline std::optional<std::string_view> key_utf8_in_place(PyObject* key) noexcept {
  if (!PyUnicode_Check(key)) [[unlikely]] {
    return std::nullopt;
  }
  return str_utf8_in_place(key);
}

// The hash str itself gives `key` (never a subclass's __hash__, which would
// be Python code), cached on the object after the first time. Equal strs
// hash equal however they were built: the hash covers the characters in
// their one canonical form, not the UTF-8 bytes. For a str it allocates
// nothing and cannot fail.
[[nodiscard]] inline std::uint64_t str_hash(PyObject* key) noexcept {
  Py_hash_t h = reinterpret_cast<const PyASCIIObject*>(key)->hash;
  if (h == -1) h = PyUnicode_Type.tp_hash(key);
  return static_cast<std::uint64_t>(h);
}

// A converted key: its KeyRef's text is UTF-8 borrowed from the str or from
// `scratch`; not movable, since the text may point into `scratch`.
struct Key : KeyRef {
  Utf8Scratch scratch;
};

// Fills `out` from `key`, or returns why it cannot be a key. Inline: every
// keyed call converts its key, and almost every key converts. Encoding can
// raise (a lone surrogate), and raising creates an exception object, which
// can start a garbage collection. Throws std::bad_alloc.
[[nodiscard]] inline Result<void> convert_key(PyObject* key, Key& out) {
  if (std::optional<std::string_view> in_place = key_utf8_in_place(key)) [[likely]] {
    out.text = *in_place;
  } else if (!PyUnicode_Check(key) || !str_utf8_encode(key, out.scratch, &out.text)) {
    return key_conversion_error(key);
  }
  out.str_hash = str_hash(key);
  return {};
}
// An int (or subclass), or anything with __index__, in 0 ... 2**64 - 1.
[[nodiscard]] Result<std::uint64_t> convert_limit(PyObject* limit);

// A time limit in seconds: an int (not a bool, though bool is an int
// subclass: `ttl=True` is far likelier a slip than one second) or a float,
// finite and greater than 0 (TypeError, ValueError). The result is whole
// nanoseconds, rounded up so an entry never lives shorter than asked, at
// least 1, and at most the largest int64 (about 292 years; longer limits
// never expire in practice). Reads the number's own value, never a
// subclass's methods, so it runs no user code.
[[nodiscard]] Result<std::int64_t> convert_ttl(PyObject* ttl);
// An optional `ttl` (null when not given): None or absent means no limit.
[[nodiscard]] Result<std::optional<std::int64_t>> convert_optional_ttl(PyObject* ttl);

}  // namespace pelm
