// Decoding validated, non-ASCII UTF-8 into a str of the right kind.
#include "py/str_from_utf8.hpp"

#include <algorithm>

namespace pelm {
namespace {

// Code points per lead byte: 0x00-0x7F one byte, 0xC2-0xDF two, 0xE0-0xEF
// three, 0xF0-0xF4 four; continuation bytes are 0x80-0xBF. Valid input only.
template <class Unit>
void decode_utf8(const unsigned char* p, const unsigned char* end, Unit* out) noexcept {
  while (p < end) {
    const std::uint32_t c = *p;
    if (c < 0x80) {
      *out++ = static_cast<Unit>(c);
      p += 1;
    } else if (c < 0xE0) {
      *out++ = static_cast<Unit>(((c & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
    } else if (c < 0xF0) {
      *out++ = static_cast<Unit>(((c & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3F));
      p += 3;
    } else {
      *out++ = static_cast<Unit>(((c & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3F));
      p += 4;
    }
  }
}

}  // namespace

PyObject* new_non_ascii_str(std::string_view utf8) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  // One counting pass (it vectorises): code points are the bytes that are not
  // continuation bytes; the largest lead byte bounds the largest code point,
  // and its range is exactly the kind the str needs (a lead of 0xC4 or more
  // is a code point of 0x100 or more, one of 0xF0 or more is astral).
  // Counted in blocks of at most 240 bytes (whole vectors, fewer than 256)
  // into a byte-wide counter, which vectorises without widening every lane
  // to the width of `length`.
  std::size_t length = 0;
  unsigned char max_lead = 0;
  for (const unsigned char* q = p; q < end;) {
    const std::size_t block = std::min<std::size_t>(static_cast<std::size_t>(end - q), 240);
    unsigned char starts = 0;
    for (std::size_t i = 0; i < block; ++i) {
      starts = static_cast<unsigned char>(starts + ((q[i] & 0xC0) != 0x80));
      max_lead = std::max(max_lead, q[i]);
    }
    length += starts;
    q += block;
  }
  const Py_UCS4 max_char = max_lead < 0xC4 ? 0xFF : (max_lead < 0xF0 ? 0xFFFF : 0x10FFFF);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(length), max_char);
  if (s == nullptr) return nullptr;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      decode_utf8(p, end, PyUnicode_1BYTE_DATA(s));
      break;
    case PyUnicode_2BYTE_KIND:
      decode_utf8(p, end, PyUnicode_2BYTE_DATA(s));
      break;
    default:
      decode_utf8(p, end, PyUnicode_4BYTE_DATA(s));
      break;
  }
  return s;
}

}  // namespace pelm
