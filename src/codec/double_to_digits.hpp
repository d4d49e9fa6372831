// The shortest round-trip decimal digits of a positive finite double, and
// among equally short ones the closest.
//
// Two sources give the same answer. Where the system has {fmt} 8 to 11
// (Debian: libfmt-dev), its Dragonbox search is used header-only with the
// full power-of-ten table: about 16 ns a double, against 42-55 ns for
// libstdc++'s std::to_chars, which is the fallback (and is forced with
// PELM_NO_FMT so both stay tested). The writer's tests compare every byte
// with a layout rebuilt from std::to_chars over a million random doubles.
#pragma once

#include <charconv>
#include <cstdint>

#include "codec/uint_to_digits.hpp"

#if !defined(PELM_NO_FMT) && __has_include(<fmt/format.h>)
#define FMT_HEADER_ONLY
#define FMT_USE_FULL_CACHE_DRAGONBOX 1
#include <fmt/format.h>
#if FMT_VERSION >= 80000 && FMT_VERSION < 120000
#define PELM_DIGITS_FROM_FMT 1
#endif
#endif

namespace pelm::codec {

// Decimal digits d1..dn of a positive number, no trailing zeros, and E, the
// power of ten of d1. `digits` points into `text`.
struct DecimalDigits {
  // Room for a fixed 24-byte copy from any digit (number_format.cpp).
  char text[48];
  const char* digits;
  int count;
  int exponent;
};

// From a significand without trailing zeros and the power of ten of its last
// digit.
inline void decimal_digits_of(std::uint64_t significand, int last_exponent, DecimalDigits& d) noexcept {
  d.digits = d.text;
  d.count = static_cast<int>(write_decimal(d.text, significand) - d.text);
  d.exponent = last_exponent + d.count - 1;
}

inline void shortest_digits(double magnitude, DecimalDigits& d) noexcept {
#if defined(PELM_DIGITS_FROM_FMT)
  const auto decimal = fmt::detail::dragonbox::to_decimal(magnitude);
  decimal_digits_of(decimal.significand, decimal.exponent, d);
#else
  // "d1[.d2...dn]e(+|-)XX[X]", without trailing zeros (the magnitude is
  // positive, so never a lone "0"); d1 moves onto the point so the digits
  // are contiguous and no number is rebuilt from them.
  const char* end = std::to_chars(d.text, d.text + sizeof d.text, magnitude, std::chars_format::scientific).ptr;
  const char* e = end - 4;  // the exponent has two or three digits
  if (*e != 'e') --e;
  d.digits = d.text;
  if (e - d.text > 1) {
    d.text[1] = d.text[0];
    d.digits = d.text + 1;
  }
  d.count = static_cast<int>(e - d.digits);
  int exponent = (e[2] - '0') * 10 + (e[3] - '0');
  if (end - e == 5) exponent = exponent * 10 + (e[4] - '0');
  d.exponent = e[1] == '-' ? -exponent : exponent;
#endif
}

}  // namespace pelm::codec
