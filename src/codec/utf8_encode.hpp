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

// Copies the ASCII run at `p` (whose first unit is ASCII), a word of units
// at a time while whole words are ASCII, then unit by unit.
template <class Unit>
inline void copy_ascii_run(const Unit*& p, const Unit* end, unsigned char*& o) noexcept {
  constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Unit);
  const Unit* q = p;
  unsigned char* w = o;
  while (static_cast<std::size_t>(end - q) >= kPerWord) {
    std::uint64_t word;
    std::memcpy(&word, q, sizeof word);
    if ((word & kNonAsciiBits<Unit>) != 0) break;
    for (std::size_t i = 0; i < kPerWord; ++i) w[i] = static_cast<unsigned char>(q[i]);
    q += kPerWord;
    w += kPerWord;
  }
  while (q != end && *q < 0x80) *w++ = static_cast<unsigned char>(*q++);
  p = q;
  o = w;
}

}  // namespace utf8_encode_detail

// Encodes `n` units from `units` into `out`; returns the end of the output,
// or null when a surrogate is met (the output is then partial).
template <class Unit>
[[nodiscard]] char* encode_utf8(const Unit* units, std::size_t n, char* out) noexcept {
  const Unit* p = units;
  const Unit* const end = units + n;
  auto* o = reinterpret_cast<unsigned char*>(out);
  while (p != end) {
    const std::uint32_t c = *p;
    if (c < 0x80) {
      // A lone ASCII unit (a space between words) is copied at once; a run
      // goes a word at a time.
      *o++ = static_cast<unsigned char>(c);
      if (++p != end && *p < 0x80) utf8_encode_detail::copy_ascii_run(p, end, o);
      continue;
    }
    ++p;
    if (c < 0x800) {
      o[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      o += 2;
    } else if (c < 0x10000) {
      if ((c & 0xF800) == 0xD800) return nullptr;  // a surrogate
      o[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      o[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      o += 3;
    } else {
      o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      o += 4;
    }
  }
  return reinterpret_cast<char*>(o);
}

}  // namespace pelm::codec
