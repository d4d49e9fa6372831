// Making `str` objects from UTF-8 bytes that are already known to be valid.
//
// The reader validates every string, so nothing here validates again: the
// str is created at its final length and kind (its largest code point read
// from the lead bytes) and decoded in one pass, never widened midway. Pure
// ASCII, the common case for keys and most values, is one copy.
// Hazard: bytes that are not valid UTF-8 would be read past their end. Only
// text the reader has validated may come here.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelm {

// True when no byte has its high bit set. Reads eight bytes at a time and
// stops at the first 32-byte block holding a non-ASCII byte.
[[nodiscard]] inline bool is_ascii(std::string_view s) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const char* p = s.data();
  std::size_t n = s.size();
  auto load = [](const char* q) {
    std::uint64_t w;
    std::memcpy(&w, q, sizeof w);
    return w;
  };
  for (; n >= 32; p += 32, n -= 32) {
    if (((load(p) | load(p + 8) | load(p + 16) | load(p + 24)) & kHighBits) != 0) return false;
  }
  std::uint64_t acc = 0;
  for (; n >= 8; p += 8, n -= 8) acc |= load(p);
  for (; n > 0; ++p, --n) acc |= static_cast<unsigned char>(*p);
  return (acc & kHighBits) == 0;
}

// New reference to a str holding the ASCII bytes `ascii`, or null with the
// interpreter's MemoryError set.
[[nodiscard]] inline PyObject* new_ascii_str(std::string_view ascii) noexcept {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
  if (s != nullptr) std::memcpy(PyUnicode_DATA(s), ascii.data(), ascii.size());
  return s;
}

// New reference to a str holding the valid UTF-8 `utf8`, which has at least
// one non-ASCII byte; null with the interpreter's MemoryError set.
[[nodiscard]] PyObject* new_non_ascii_str(std::string_view utf8) noexcept;

// New reference to a str holding the valid UTF-8 `utf8`, or null with the
// interpreter's MemoryError set.
[[nodiscard]] inline PyObject* new_str_from_utf8(std::string_view utf8) noexcept {
  return is_ascii(utf8) ? new_ascii_str(utf8) : new_non_ascii_str(utf8);
}

}  // namespace pelm
