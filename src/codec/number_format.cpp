// Integer and float text: plain decimal integers, and floats in the shortest
// round-trip digits laid out by decimal exponent.
//
// Invariants: a float text always holds a "." or an "e" (an integer text never
// does), so the number's kind survives a round trip; the exponent always has a
// sign and no leading zeros. Both emitters reserve their worst case once and
// then write unchecked. Integer digits come eight at a time from
// uint_to_digits.hpp (a float's 16 or 17 at once), a float's shortest digits
// from double_to_digits.hpp (or, for short decimals, from the cheaper test
// below).
#include <bit>
#include <cmath>
#include <cstring>

#include "codec/uint_to_digits.hpp"
#include "codec/double_to_digits.hpp"
#include "codec/writer.hpp"
#include "support/portable.hpp"

namespace pelm::codec {

namespace {

// The fixed widths of the moves below: the output has kFloatRoom bytes, so
// whatever a fixed-width move carries past the text is scratch.
constexpr std::size_t kMovedDigits = 16;  // at least the 16 digits after a double's first
constexpr std::size_t kZeros = 16;        // at least the 15 zeros of 1e15

char* put_zeros(char* p, int n) noexcept {
  std::memset(p, '0', kZeros);
  return p + n;
}

// Opens a one-byte gap at `at` by moving the digits after it up by one.
void open_gap(char* at) noexcept { std::memmove(at + 1, at, kMovedDigits); }

// The significand's n digits at `p`, their end returned. Inlined, as is the
// layout below: a call per float cost more than the 16-digit writer saves.
PELM_ALWAYS_INLINE char* write_significand(char* p, std::uint64_t significand, int n) noexcept {
  if (n >= 16) return write_long_decimal(p, significand, n);
  return n > 8 ? write_mid_decimal(p, significand, n) : write_decimal(p, significand);
}

// A positive number's digits laid out as the float text in one pass: the
// significand's digits are written once where they belong, and the point
// goes into a gap opened by one fixed-width move. Positional when the first
// digit's exponent E is in [-5, 15], else "d1[.d2...dn]e(+|-)E".
PELM_ALWAYS_INLINE char* layout_decimal(char* p, ShortestDecimal d) noexcept {
  const int n = decimal_length(d.significand);
  const int e = d.exponent + n - 1;
  if (e < -5 || e > 15) {
    char* end = write_significand(p, d.significand, n);
    if (n > 1) {
      open_gap(p + 1);
      p[1] = '.';
      ++end;
    }
    *end++ = 'e';
    *end++ = e < 0 ? '-' : '+';
    return write_decimal(end, static_cast<std::uint64_t>(e < 0 ? -e : e));
  }
  if (e < 0) {
    std::memcpy(p, "0.000000", 8);
    return write_significand(p + 1 - e, d.significand, n);
  }
  const int int_digits = e + 1;
  if (n <= int_digits) {
    p = put_zeros(write_significand(p, d.significand, n), int_digits - n);
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  char* const end = write_significand(p, d.significand, n);
  open_gap(p + int_digits);
  p[int_digits] = '.';
  return end + 1;
}

// Most floats people store are short decimals (prices, scores, readings and
// map coordinates rounded to a few places). Those are found with one multiply
// and one divide, cheaper still than the general shortest-digits search.
// Proof of equality with that search: below kShortDecimalLimit a double's
// rounding interval is narrower than 10^-6, so it holds at most one multiple
// of 10^-6. If m·10^-6 (m an integer below 2^53, so m / 10^6 is one correctly
// rounded division) reads back as the double, it is that one multiple; every
// candidate with fewer significant digits would also be a multiple of 10^-6
// (or, above a power of ten, of a coarser step) lying in the interval, so m
// with its trailing zeros removed is the unique shortest form. Returns false
// when the double is not such a decimal.
constexpr double kShortDecimalScale = 1e6;
constexpr int kShortDecimalPlaces = 6;
// ulp(8e9) = 2^-20 < 10^-6, and 8e9 · 10^6 < 2^53.
constexpr double kShortDecimalLimit = 8e9;

bool short_decimal(double magnitude, ShortestDecimal& d) noexcept {
  if (!(magnitude < kShortDecimalLimit)) return false;
  const double scaled = magnitude * kShortDecimalScale;
  // Truncation after adding a half is a cheap nearest integer; the divide
  // below checks the candidate exactly, so its rounding never matters.
  auto m = static_cast<std::uint64_t>(scaled + 0.5);
  const auto candidate = static_cast<double>(m);
  // Most long floats are rejected here, before paying for the divide.
  if (std::fabs(scaled - candidate) > 1e-3 || m == 0) return false;
  if (candidate / kShortDecimalScale != magnitude) return false;
  d = ShortestDecimal{m, -kShortDecimalPlaces};
  detail::remove_trailing_zeros(d);
  return true;
}

}  // namespace

void write_uint_digits(ByteBuffer& out, std::uint64_t u) {
  out.reserve_extra(kMaxUintText);
  char* begin = out.end();
  out.commit(static_cast<std::size_t>(write_decimal(begin, u) - begin));
}

char* write_float_chars(char* p, double d) noexcept {
  constexpr std::uint64_t kExponentMask = 0x7FF0000000000000u;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
  if ((bits & kExponentMask) == kExponentMask) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  if (bits >> 63 != 0) *p++ = '-';
  const double magnitude = std::bit_cast<double>(bits & ~(std::uint64_t{1} << 63));
  if (magnitude == 0.0) {
    std::memcpy(p, "0.0", 3);
    return p + 3;
  }
  ShortestDecimal digits{};
  if (!short_decimal(magnitude, digits)) digits = shortest_decimal(std::bit_cast<std::uint64_t>(magnitude));
  return layout_decimal(p, digits);
}

void write_float_text(ByteBuffer& out, double d) {
  out.reserve_extra(kFloatRoom);
  out.commit_to(write_float_chars(out.end(), d));
}

}  // namespace pelm::codec
