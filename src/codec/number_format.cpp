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
#include <cmath>
#include <cstring>

#include "codec/writer.hpp"

namespace pelm::codec {

namespace {

constexpr std::size_t kMaxUintText = 20;   // "18446744073709551615"
constexpr std::size_t kMaxFloatText = 24;  // "-1.2345678901234567e-308"

// The shortest round-trip digits d1..dn (no trailing zeros) of a positive
// finite double, from std::to_chars in its scientific form
// "d1[.d2...dn]e(+|-)XX[X]", and E, the decimal exponent of d1.
class ShortestDigits {
 public:
  explicit ShortestDigits(double magnitude) noexcept {
    // Larger than the longest output, so to_chars cannot fail.
    end_ = std::to_chars(text_, text_ + sizeof text_, magnitude, std::chars_format::scientific).ptr;
    e_ = end_ - 4;  // the exponent has two or three digits
    if (*e_ != 'e') --e_;
    int magnitude_e = (e_[2] - '0') * 10 + (e_[3] - '0');
    if (end_ - e_ == 5) magnitude_e = magnitude_e * 10 + (e_[4] - '0');
    exponent_ = e_[1] == '-' ? -magnitude_e : magnitude_e;
  }

  [[nodiscard]] int exponent() const noexcept { return exponent_; }

  // "d1[.d2...dn]e(+|-)E": to_chars's own text minus the exponent's padding zero.
  char* put_exponent_form(char* p) const noexcept {
    const char* e_digits = e_ + 2;
    if (*e_digits == '0') ++e_digits;
    p = put(p, text_, e_ + 2);
    return put(p, e_digits, end_);
  }

  // Makes the digits contiguous by moving d1 onto the point; call once, and
  // only before `digits`/`count` are used.
  void join_digits() noexcept {
    digits_ = text_;
    if (e_ - text_ > 1) {
      text_[1] = text_[0];
      ++digits_;
    }
  }
  [[nodiscard]] const char* digits() const noexcept { return digits_; }
  [[nodiscard]] int count() const noexcept { return static_cast<int>(e_ - digits_); }

  static char* put(char* p, const char* from, const char* to) noexcept {
    std::memcpy(p, from, static_cast<std::size_t>(to - from));
    return p + (to - from);
  }

 private:
  char text_[32];
  const char* end_;
  const char* e_;  // the 'e'
  const char* digits_ = nullptr;
  int exponent_;
};

char* put_zeros(char* p, int n) noexcept {
  std::memset(p, '0', static_cast<std::size_t>(n));
  return p + n;
}

char* layout_digits(char* p, ShortestDigits& s) noexcept {
  const int e = s.exponent();
  if (e < -5 || e > 15) return s.put_exponent_form(p);
  s.join_digits();
  const char* digits = s.digits();
  const int n = s.count();
  if (e < 0) {
    *p++ = '0';
    *p++ = '.';
    p = put_zeros(p, -e - 1);
    return ShortestDigits::put(p, digits, digits + n);
  }
  const int int_digits = e + 1;
  if (n <= int_digits) {
    p = ShortestDigits::put(p, digits, digits + n);
    p = put_zeros(p, int_digits - n);
    *p++ = '.';
    *p++ = '0';
    return p;
  }
  p = ShortestDigits::put(p, digits, digits + int_digits);
  *p++ = '.';
  return ShortestDigits::put(p, digits + int_digits, digits + n);
}

// Most floats people store are short decimals (prices, scores, readings
// rounded to a few places). Those are found with one multiply and one divide,
// and their digits written with the integer formatter, at a fraction of the
// general shortest-digits search. Proof of equality with that search: below
// kShortDecimalLimit a double's rounding interval is narrower than 10^-4, so
// it holds at most one multiple of 10^-4. If m·10^-4 (m an integer below
// 2^53, so m / 10^4 is one correctly rounded division) reads back as the
// double, it is that one multiple; every candidate with fewer significant
// digits would also be a multiple of 10^-4 (or, above a power of ten, of a
// coarser step) lying in the interval, so m with its trailing zeros removed is
// the unique shortest form. Returns null when the double is not such a decimal.
constexpr double kShortDecimalScale = 1e4;
constexpr int kShortDecimalPlaces = 4;
constexpr double kShortDecimalLimit = 1e11;  // ulp(1e11) = 2^-16 < 10^-4

char* put_short_decimal(char* p, double magnitude) noexcept {
  if (!(magnitude < kShortDecimalLimit)) return nullptr;
  const double scaled = magnitude * kShortDecimalScale;
  // Truncation after adding a half is a cheap nearest integer; the divide
  // below checks the candidate exactly, so its rounding never matters.
  auto m = static_cast<std::uint64_t>(scaled + 0.5);
  const auto candidate = static_cast<double>(m);
  // Most long floats are rejected here, before paying for the divide.
  if (std::fabs(scaled - candidate) > 1e-3 || m == 0) return nullptr;
  if (candidate / kShortDecimalScale != magnitude) return nullptr;
  int places = kShortDecimalPlaces;
  while (m % 10 == 0) {
    m /= 10;
    --places;
  }
  char digits[kMaxUintText];
  const int n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, m).ptr - digits);
  const int int_digits = n - places;  // may be <= 0 (0.0xyz) or exceed n (xyz00.0)
  if (int_digits <= 0) {
    *p++ = '0';
    *p++ = '.';
    p = put_zeros(p, -int_digits);
    return ShortestDigits::put(p, digits, digits + n);
  }
  if (places <= 0) {
    p = ShortestDigits::put(p, digits, digits + n);
    p = put_zeros(p, -places);
    *p++ = '.';
    *p++ = '0';
    return p;
  }
  p = ShortestDigits::put(p, digits, digits + int_digits);
  *p++ = '.';
  return ShortestDigits::put(p, digits + int_digits, digits + n);
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
  } else if (char* q = put_short_decimal(p, magnitude)) {
    p = q;
  } else {
    ShortestDigits digits(magnitude);
    p = layout_digits(p, digits);
  }
  out.commit(static_cast<std::size_t>(p - begin));
}

}  // namespace pelm::codec
