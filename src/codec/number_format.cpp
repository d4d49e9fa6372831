// Integer and float text: plain decimal integers, and floats in the shortest
// round-trip digits laid out by decimal exponent.
//
// Invariants: a float text always holds a "." or an "e" (an integer text never
// does), so the number's kind survives a round trip; the exponent always has a
// sign and no leading zeros. Both emitters reserve their worst case once and
// then write unchecked. Integer digits come eight at a time from
// uint_to_digits.hpp, a float's shortest digits from double_to_digits.hpp.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "codec/uint_to_digits.hpp"
#include "codec/double_to_digits.hpp"
#include "codec/writer.hpp"

namespace pelm::codec {

namespace {

// Both copy a fixed width and advance by `n` only: no call, no length
// dispatch. The output has kFloatRoom bytes and the digits' buffer room for
// a whole copy past any start (see DecimalDigits), so the excess is scratch.
constexpr std::size_t kCopied = 24;  // at least the 17 digits of any double
constexpr std::size_t kZeros = 16;   // at least the 15 zeros of 1e15

char* put(char* p, const char* from, int n) noexcept {
  std::memcpy(p, from, kCopied);
  return p + n;
}

char* put_zeros(char* p, int n) noexcept {
  std::memset(p, '0', kZeros);
  return p + n;
}

// A positive number's digits laid out as the float text: positional when the
// first digit's exponent E is in [-5, 15], else "d1[.d2...dn]e(+|-)E".
char* layout_decimal(char* p, const DecimalDigits& d) noexcept {
  const char* digits = d.digits;
  const int n = d.count;
  const int e = d.exponent;
  if (e < -5 || e > 15) {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      p = put(p, digits + 1, n - 1);
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    return std::to_chars(p, p + 3, e < 0 ? -e : e).ptr;
  }
  if (e < 0) {
    *p++ = '0';
    *p++ = '.';
    p = put_zeros(p, -e - 1);
    return put(p, digits, n);
  }
  const int int_digits = e + 1;
  if (n <= int_digits) {
    p = put(p, digits, n);
    p = put_zeros(p, int_digits - n);
    *p++ = '.';
    *p++ = '0';
    return p;
  }
  p = put(p, digits, int_digits);
  *p++ = '.';
  return put(p, digits + int_digits, n - int_digits);
}

// Most floats people store are short decimals (prices, scores, readings
// rounded to a few places). Those are found with one multiply and one divide,
// cheaper still than the general shortest-digits search. Proof of equality
// with that search: below kShortDecimalLimit a double's rounding interval is
// narrower than 10^-4, so it holds at most one multiple of 10^-4. If m·10^-4
// (m an integer below 2^53, so m / 10^4 is one correctly rounded division)
// reads back as the double, it is that one multiple; every candidate with
// fewer significant digits would also be a multiple of 10^-4 (or, above a
// power of ten, of a coarser step) lying in the interval, so m with its
// trailing zeros removed is the unique shortest form. Returns false when the
// double is not such a decimal.
constexpr double kShortDecimalScale = 1e4;
constexpr int kShortDecimalPlaces = 4;
constexpr double kShortDecimalLimit = 1e11;  // ulp(1e11) = 2^-16 < 10^-4

bool short_decimal(double magnitude, std::uint64_t& significand, int& last_exponent) noexcept {
  if (!(magnitude < kShortDecimalLimit)) return false;
  const double scaled = magnitude * kShortDecimalScale;
  // Truncation after adding a half is a cheap nearest integer; the divide
  // below checks the candidate exactly, so its rounding never matters.
  auto m = static_cast<std::uint64_t>(scaled + 0.5);
  const auto candidate = static_cast<double>(m);
  // Most long floats are rejected here, before paying for the divide.
  if (std::fabs(scaled - candidate) > 1e-3 || m == 0) return false;
  if (candidate / kShortDecimalScale != magnitude) return false;
  int places = kShortDecimalPlaces;
  while (m % 10 == 0) {
    m /= 10;
    --places;
  }
  significand = m;
  last_exponent = -places;
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
  DecimalDigits digits;
  std::uint64_t significand = 0;
  int last_exponent = 0;
  if (short_decimal(magnitude, significand, last_exponent)) {
    decimal_digits_of(significand, last_exponent, digits);
  } else {
    shortest_digits(magnitude, digits);
  }
  return layout_decimal(p, digits);
}

void write_float_text(ByteBuffer& out, double d) {
  out.reserve_extra(kFloatRoom);
  out.commit_to(write_float_chars(out.end(), d));
}

}  // namespace pelm::codec
