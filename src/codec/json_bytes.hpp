// The byte classes of JSON string text, in one place for the reader and the
// writer: a "special" byte is a double quote, a backslash or a byte below
// 0x20. The reader's plain run ends at the first special byte; the writer
// escapes exactly the special bytes. If the two ever disagreed, stored text
// would not read back, so both take their tests from here.
//
// The word tests can flag bytes above the first real match (a borrow carries
// into higher bytes), but never one below it, so only the lowest flag is
// trusted; bytes from 0x80 up never flag themselves (the `~w` term). The
// reader's scan also reports whether the run held any byte >= 0x80, so that
// pure ASCII runs skip UTF-8 validation altogether.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/portable.hpp"

#if PELM_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace pelm::codec::detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// High bit set in each byte of `w` equal to zero (exact up to the first).
[[nodiscard]] constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighBits; }

// High bit set in each special byte of `w` (exact up to the first).
[[nodiscard]] constexpr std::uint64_t special_bytes(std::uint64_t w) noexcept {
  const std::uint64_t control = (w - 0x20 * kOnes) & ~w & kHighBits;
  return control | zero_bytes(w ^ (0x22 * kOnes)) | zero_bytes(w ^ (0x5C * kOnes));
}

#if PELM_HAVE_SSE2
// One bit per special byte of the 16 at `v`, lowest address in bit 0.
[[nodiscard]] inline unsigned special_lanes(__m128i v) noexcept {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  // Unsigned v <= 0x1F exactly when max(v, 0x1F) is 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, last_control), last_control);
  const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

// Position, in memory order, of the lowest-addressed flagged byte of `mask`.
[[nodiscard]] constexpr unsigned first_flagged_byte(std::uint64_t mask) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(mask)) / 8;
  } else {
    return static_cast<unsigned>(std::countl_zero(mask)) / 8;
  }
}

// Mask of the bytes of a word that lie before memory position `n` (n < 8).
[[nodiscard]] constexpr std::uint64_t bytes_before(unsigned n) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return (std::uint64_t{1} << (8 * n)) - 1;
  } else {
    return ~(~std::uint64_t{0} >> (8 * n));
  }
}

[[nodiscard]] constexpr bool is_special(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

// Index of the first byte at or after `pos` that ends a plain run, or `len`
// if there is none. Sets `non_ascii` if a byte >= 0x80 lies before it.
[[nodiscard]] inline std::size_t find_run_end(const char* text, std::size_t pos, std::size_t len,
                                              bool& non_ascii) noexcept {
#if PELM_HAVE_SSE2
  // Sixteen bytes per step where the vector unit is always there; the word
  // loop below then sees at most one word.
  unsigned high_lanes = 0;
  while (len - pos >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + pos));
    const unsigned stop_lanes = special_lanes(v);
    const auto lanes_high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (stop_lanes != 0) {
      const auto at = static_cast<unsigned>(std::countr_zero(stop_lanes));
      high_lanes |= lanes_high & ((1u << at) - 1);
      non_ascii = non_ascii || high_lanes != 0;
      return pos + at;
    }
    high_lanes |= lanes_high;
    pos += 16;
  }
  non_ascii = non_ascii || high_lanes != 0;
#endif
  std::uint64_t high = 0;
  while (len - pos >= 8) {
    std::uint64_t w;
    std::memcpy(&w, text + pos, 8);
    if (const std::uint64_t mask = special_bytes(w); mask != 0) {
      const unsigned at = first_flagged_byte(mask);
      high |= w & kHighBits & bytes_before(at);
      non_ascii = non_ascii || high != 0;
      return pos + at;
    }
    high |= w & kHighBits;
    pos += 8;
  }
  non_ascii = non_ascii || high != 0;
  for (; pos < len; ++pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (is_special(c)) return pos;
    if (c >= 0x80) non_ascii = true;
  }
  return len;
}

}  // namespace pelm::codec::detail
