// Fixed-width code units (one, two or four bytes each, as a str stores its
// characters) -> UTF-8. No Python: the caller hands over the units.
//
// Runs of ASCII are copied a word at a time; anything else is encoded unit
// by unit. A surrogate code point (U+D800..U+DFFF) has no UTF-8 form: the
// encoder stops there and reports it, and the caller decides the error.
// The output must have room for kMaxUtf8PerUnit<Unit> bytes per unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelm::codec {

template <class Unit>
inline constexpr std::size_t kMaxUtf8PerUnit = sizeof(Unit) == 1 ? 2 : (sizeof(Unit) == 2 ? 3 : 4);

namespace utf8_encode_detail {

// Every unit in the word below 0x80: the high bits of each lane are clear.
template <class Unit>
inline constexpr std::uint64_t kNonAsciiBits = sizeof(Unit) == 1   ? 0x8080808080808080ULL
                                               : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ULL
                                                                   : 0xFFFFFF80FFFFFF80ULL;

// Writes one non-ASCII code point; false for a surrogate.
inline bool put_code_point(std::uint32_t c, char*& out) noexcept {
  auto byte = [&](std::uint32_t b) { *out++ = static_cast<char>(b); };
  if (c < 0x800) {
    byte(0xC0 | (c >> 6));
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    byte(0xE0 | (c >> 12));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | (c >> 18));
    byte(0x80 | ((c >> 12) & 0x3F));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
  return true;
}

}  // namespace utf8_encode_detail

// Encodes `n` units from `units` into `out`; returns the end of the output,
// or null when a surrogate is met (the output is then partial).
template <class Unit>
[[nodiscard]] char* encode_utf8(const Unit* units, std::size_t n, char* out) noexcept {
  using namespace utf8_encode_detail;
  constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Unit);
  const Unit* p = units;
  const Unit* const end = units + n;
  while (p != end) {
    // An ASCII run, a word of units at a time.
    while (static_cast<std::size_t>(end - p) >= kPerWord) {
      std::uint64_t w;
      std::memcpy(&w, p, sizeof w);
      if ((w & kNonAsciiBits<Unit>) != 0) break;
      for (std::size_t i = 0; i < kPerWord; ++i) out[i] = static_cast<char>(p[i]);
      p += kPerWord;
      out += kPerWord;
    }
    if (p == end) break;
    const auto c = static_cast<std::uint32_t>(*p++);
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (!put_code_point(c, out)) {
      return nullptr;
    }
  }
  return out;
}

}  // namespace pelm::codec
