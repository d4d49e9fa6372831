// Reads a run of decimal digits into an integer.
//
// Eight bytes are tested and, when they are all digits, converted at once
// (three multiplications for the eight); the word that holds the run's end
// converts the digits before it the same way, moved to the top of the word
// with zeros below them as leading zeros (or one at a time when they are
// few), so a run costs a few instructions per word rather than per digit.
// Words are read only where eight bytes remain; the last bytes of a text go
// one at a time. The value wraps modulo 2^64 on long runs; callers check the
// count.
// Hazard: the word tests may flag bytes above the first non-digit (a borrow
// or carry runs up from it), never one below, so only the lowest flag is used.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelm::codec::detail {

inline constexpr std::array<std::uint64_t, 9> kDigitRunScales = {1,      10,      100,      1000,     10000,
                                                                 100000, 1000000, 10000000, 100000000};

// High bit set in each byte of `w` that is not an ASCII digit (exact up to
// the first): a byte below '0' borrows into its own high bit, one above '9'
// (0x80 and up included) carries into it or has it set already.
[[nodiscard]] constexpr std::uint64_t non_digit_bytes(std::uint64_t w) noexcept {
  return ((w + 0x4646464646464646ULL) | (w - 0x3030303030303030ULL)) & 0x8080808080808080ULL;
}

// The eight digit values in the bytes of `d` (each 0..9, the first digit in
// the lowest byte) as one number.
[[nodiscard]] constexpr std::uint64_t eight_digits_value(std::uint64_t d) noexcept {
  d = d * 10 + (d >> 8);  // pairs: 10 * first + second in every other byte
  constexpr std::uint64_t kPairMask = 0x000000FF000000FFULL;
  constexpr std::uint64_t kHigh = 100 + (1000000ULL << 32);
  constexpr std::uint64_t kLow = 1 + (10000ULL << 32);
  return ((d & kPairMask) * kHigh + ((d >> 16) & kPairMask) * kLow) >> 32;
}

// A tail of fewer digits than this costs less one digit at a time than
// converted as a word.
inline constexpr unsigned kWordForTail = 4;

// Reads the digits at `p` (up to `end`) into `value` (value * 10^n + digits),
// moves `p` past them and returns how many there were.
inline std::size_t read_digit_run(const char*& p, const char* end, std::uint64_t& value) noexcept {
  const char* const first = p;
  const char* q = p;
  std::uint64_t v = value;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - q >= 8) {
      std::uint64_t w;
      std::memcpy(&w, q, sizeof w);
      const std::uint64_t stops = non_digit_bytes(w);
      const std::uint64_t d = w - 0x3030303030303030ULL;
      if (stops == 0) {
        v = v * kDigitRunScales[8] + eight_digits_value(d);
        q += 8;
        continue;
      }
      const auto n = static_cast<unsigned>(std::countr_zero(stops)) / 8;
      if (n >= kWordForTail) {
        // The n digits shifted to the top bytes, zeros (leading zeros) below.
        v = v * kDigitRunScales[n] + eight_digits_value(d << (64 - 8 * n));
      } else {
        for (unsigned i = 0; i < n; ++i) v = v * 10 + ((d >> (8 * i)) & 0xFF);
      }
      q += n;
      p = q;
      value = v;
      return static_cast<std::size_t>(q - first);
    }
  }
  for (; q != end && static_cast<unsigned char>(*q - '0') < 10; ++q) v = v * 10 + static_cast<unsigned char>(*q - '0');
  p = q;
  value = v;
  return static_cast<std::size_t>(q - first);
}

}  // namespace pelm::codec::detail
