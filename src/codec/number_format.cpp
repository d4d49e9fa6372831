// Integer and float text: plain decimal integers, and floats in the shortest
// round-trip digits laid out by decimal exponent.
//
// Invariants: a float text always holds a "." or an "e" (an integer text never
// does), so the number's kind survives a round trip; the exponent always has a
// sign and no leading zeros. Both emitters reserve their worst case once and
// then write unchecked; std::to_chars writes integers straight into the output
// (it measured as fast as a hand-rolled digit-pair loop, without its copy).
#include <bit>
#include <charconv>
#include <cstring>

#include "codec/writer.hpp"

namespace pelm::codec {

namespace {

constexpr std::size_t kMaxUintText = 20;   // "18446744073709551615"
constexpr std::size_t kMaxFloatText = 24;  // "-1.2345678901234567e-308"

// The shortest round-trip digits d1..dn (no trailing zeros) of a positive
// finite double and the decimal exponent E of d1.
struct ShortestDigits {
  char digits[17];
  int count;
  int exponent;
};

ShortestDigits shortest_digits(double magnitude) noexcept {
  // Scientific shortest form: "d[.ddd]e(+|-)XX[X]". The buffer is larger than
  // its longest output, so to_chars cannot fail.
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific).ptr;
  ShortestDigits out{};
  const char* p = sci;
  out.digits[out.count++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p) out.digits[out.count++] = *p;
  }
  ++p;  // 'e'
  const bool negative = *p++ == '-';
  int e = 0;
  for (; p != end; ++p) e = e * 10 + (*p - '0');
  out.exponent = negative ? -e : e;
  return out;
}

char* put_zeros(char* p, int n) noexcept {
  std::memset(p, '0', static_cast<std::size_t>(n));
  return p + n;
}

char* put_digits(char* p, const char* digits, int n) noexcept {
  std::memcpy(p, digits, static_cast<std::size_t>(n));
  return p + n;
}

char* layout_exponent_form(char* p, const ShortestDigits& s) noexcept {
  *p++ = s.digits[0];
  if (s.count > 1) {
    *p++ = '.';
    p = put_digits(p, s.digits + 1, s.count - 1);
  }
  *p++ = 'e';
  *p++ = s.exponent < 0 ? '-' : '+';
  const unsigned e = static_cast<unsigned>(s.exponent < 0 ? -s.exponent : s.exponent);
  return std::to_chars(p, p + 3, e).ptr;
}

char* layout_digits(char* p, const ShortestDigits& s) noexcept {
  const int e = s.exponent;
  if (e < -5 || e > 15) return layout_exponent_form(p, s);
  if (e < 0) {
    *p++ = '0';
    *p++ = '.';
    p = put_zeros(p, -e - 1);
    return put_digits(p, s.digits, s.count);
  }
  const int int_digits = e + 1;
  if (s.count <= int_digits) {
    p = put_digits(p, s.digits, s.count);
    p = put_zeros(p, int_digits - s.count);
    *p++ = '.';
    *p++ = '0';
    return p;
  }
  p = put_digits(p, s.digits, int_digits);
  *p++ = '.';
  return put_digits(p, s.digits + int_digits, s.count - int_digits);
}

}  // namespace

void write_uint_digits(ByteBuffer& out, std::uint64_t u) {
  out.reserve_extra(kMaxUintText);
  char* begin = out.end();
  char* end = std::to_chars(begin, begin + kMaxUintText, u).ptr;
  out.commit(static_cast<std::size_t>(end - begin));
}

void write_float_text(ByteBuffer& out, double d) {
  constexpr std::uint64_t kExponentMask = 0x7FF0000000000000u;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
  if ((bits & kExponentMask) == kExponentMask) {
    out.append("null", 4);
    return;
  }
  out.reserve_extra(kMaxFloatText);
  char* begin = out.end();
  char* p = begin;
  if (bits >> 63 != 0) *p++ = '-';
  const double magnitude = std::bit_cast<double>(bits & ~(std::uint64_t{1} << 63));
  if (magnitude == 0.0) {
    std::memcpy(p, "0.0", 3);
    p += 3;
  } else {
    p = layout_digits(p, shortest_digits(magnitude));
  }
  out.commit(static_cast<std::size_t>(p - begin));
}

}  // namespace pelm::codec
