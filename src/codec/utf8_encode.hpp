// Fixed-width code units (one, two or four bytes each, as a str stores its
// characters) -> UTF-8. No Python: the caller hands over the units.
//
// Runs of ASCII are copied a word at a time; anything else is encoded unit
// by unit. A surrogate code point (U+D800..U+DFFF) has no UTF-8 form: the
// encoder stops there and reports it, and the caller decides the error.
// The output must have room for kMaxUtf8PerUnit<Unit> bytes per unit and
// kEncodeSlack more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/portable.hpp"

namespace pelm::codec {

template <class Unit>
inline constexpr std::size_t kMaxUtf8PerUnit = sizeof(Unit) == 1 ? 2 : (sizeof(Unit) == 2 ? 3 : 4);
// Bytes past the text the encoder may write (scratch) beyond
// kMaxUtf8PerUnit per unit.
inline constexpr std::size_t kEncodeSlack = 1;

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

// The bytes of one code point's UTF-8 form, first byte lowest, composed in
// a register and stored as one word: byte stores one at a time cost about
// twice as much. The two-byte form takes a 2-byte store; the three-byte one
// a 4-byte store whose last byte is scratch (hence kEncodeSlack).
namespace utf8_encode_detail {

PELM_ALWAYS_INLINE unsigned char* put_two(unsigned char* o, std::uint32_t c) noexcept {
  const auto w = static_cast<std::uint16_t>(0x80C0 | (c >> 6) | ((c & 0x3F) << 8));
  std::memcpy(o, &w, 2);
  return o + 2;
}

PELM_ALWAYS_INLINE unsigned char* put_three(unsigned char* o, std::uint32_t c) noexcept {
  const std::uint32_t w = 0x008080E0 | (c >> 12) | ((c << 2) & 0x3F00) | ((c & 0x3F) << 16);
  std::memcpy(o, &w, 4);
  return o + 3;
}

PELM_ALWAYS_INLINE unsigned char* put_four(unsigned char* o, std::uint32_t c) noexcept {
  const std::uint32_t w = 0x808080F0 | (c >> 18) | ((c >> 4) & 0x3F00) | ((c << 10) & 0x3F0000) | ((c & 0x3F) << 24);
  std::memcpy(o, &w, 4);
  return o + 4;
}

// The UTF-8 form of the non-ASCII code point `c` at `o`; returns its end,
// or null for a surrogate, which has none. Shared by the encoder below and
// the string text writer, which encodes units straight into its text.
template <class Unit>
PELM_ALWAYS_INLINE unsigned char* put_non_ascii(unsigned char* o, std::uint32_t c) noexcept {
  if (c < 0x800) return put_two(o, c);
  if (sizeof(Unit) == 2 || c < 0x10000) {
    if ((c & 0xF800) == 0xD800) return nullptr;  // a surrogate
    return put_three(o, c);
  }
  return put_four(o, c);
}

}  // namespace utf8_encode_detail

// Encodes `n` units from `units` into `out`; returns the end of the output,
// or null when a surrogate is met (the output is then partial).
template <class Unit>
[[nodiscard]] char* encode_utf8(const Unit* units, std::size_t n, char* out) noexcept {
  using namespace utf8_encode_detail;
  const Unit* p = units;
  const Unit* const end = units + n;
  auto* o = reinterpret_cast<unsigned char*>(out);
  while (p != end) {
    const std::uint32_t c = *p;
    if (c < 0x80) {
      // A lone ASCII unit (a space between words) is copied at once; a run
      // goes a word at a time.
      *o++ = static_cast<unsigned char>(c);
      if (++p != end && *p < 0x80) copy_ascii_run(p, end, o);
      continue;
    }
    ++p;
    o = put_non_ascii<Unit>(o, c);
    if (o == nullptr) return nullptr;
  }
  return reinterpret_cast<char*>(o);
}

}  // namespace pelm::codec
