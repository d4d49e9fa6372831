// The shortest round-trip decimal digits of a positive finite double, and
// among equally short ones the closest (ties to an even last digit).
//
// A Schubfach search: the double's rounding interval [u, w] around v is
// scaled by 10^-k, with k chosen from the interval's width so that the
// scaled interval holds at least one integer and at most a few, and the
// scaled bounds are computed as round-to-odd products with g(k), a 126-bit
// upper approximation of 10^-k (pow10_table.hpp, generated and checked by
// scripts/gen_pow10_table.py). Round to odd keeps enough of the dropped bits
// that every comparison below (is this multiple of 10 or 1 inside the
// interval, which candidate is closer) comes out as it would in exact
// arithmetic. First the candidates one digit shorter are tried (the
// multiples of 10 around s), then s and s + 1; both or neither inside means
// the one nearest v. Mid-interval bounds belong to the interval exactly when
// the significand is even, as round-half-to-even reads them back.
//
// The digits are checked against Python's repr over a million random doubles
// on every test run and, in the long fuzz run, a hundred million.
#pragma once

#include <bit>
#include <cstdint>

#include "codec/pow10_table.hpp"
#include "support/wide_multiply.hpp"

namespace pelm::codec {

// significand × 10^exponent, the significand without trailing zeros.
struct ShortestDecimal {
  std::uint64_t significand;
  int exponent;
};

namespace detail {

[[nodiscard]] constexpr int floor_log(const FloorLog& f, int e) noexcept {
  // An arithmetic right shift: floor for negative products too.
  return static_cast<int>((e * f.multiplier + f.addend) >> f.shift);
}

inline constexpr std::uint64_t kLow63 = (std::uint64_t{1} << 63) - 1;

// floor(g · cp / 2^127) with its lowest bit set when the floor is inexact:
// g = high63 · 2^63 + low63, cp below 2^60.
[[nodiscard]] inline std::uint64_t round_to_odd(const ScaledPowerOfTen& g, std::uint64_t cp) noexcept {
  const std::uint64_t low_part = multiply_wide(g.low63, cp).high;
  const WideProduct high_part = multiply_wide(g.high63, cp);
  const std::uint64_t middle = (high_part.low >> 1) + low_part;  // below 2^64: both halves are small
  const std::uint64_t floor = high_part.high + (middle >> 63);
  return floor | (((middle & kLow63) + kLow63) >> 63);
}

// v = c · 2^q, c below 2^53 and nonzero.
[[nodiscard]] inline ShortestDecimal schubfach(int q, std::uint64_t c) noexcept {
  constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << 52;
  constexpr int kMinBinaryExponent = -1074;
  // Bounds in quarter units: v = cb/4, the interval's ends cbl/4 and cbr/4.
  // Above a power of two the lower neighbour is half as far (cb - 1).
  const std::uint64_t excluded = c & 1;  // an odd significand loses the ties at the ends
  const std::uint64_t cb = c << 2;
  const std::uint64_t cbr = cb + 2;
  std::uint64_t cbl = cb - 2;
  int k = floor_log(kLog10Pow2, q);
  if (c == kHiddenBit && q != kMinBinaryExponent) {
    cbl = cb - 1;
    k = floor_log(kLog10ThreeQuartersPow2, q);
  }
  const int h = q + floor_log(kLog2Pow10, -k) + 2;  // 1 to 4
  const ScaledPowerOfTen& g = kScaledPowersOfTen[k - kMinDecimalScale];
  const std::uint64_t vb = round_to_odd(g, cb << h);
  const std::uint64_t vbl = round_to_odd(g, cbl << h);
  const std::uint64_t vbr = round_to_odd(g, cbr << h);
  const std::uint64_t s = vb >> 2;
  // The scaled interval is narrower than 10, so it holds at most one
  // multiple of 10. (The search as first published requires two digits and
  // starts at 100; shortest digits need 10: 8e-323 is "8", not "79".)
  if (s >= 10) {
    // s / 10 by a multiply, exact for s below 2^62.
    const std::uint64_t sp10 = 10 * multiply_wide(s, 0x1999999999999999u + 1).high;
    const std::uint64_t tp10 = sp10 + 10;
    const bool lower_in = vbl + excluded <= sp10 << 2;
    const bool upper_in = (tp10 << 2) + excluded <= vbr;
    if (lower_in != upper_in) return {lower_in ? sp10 : tp10, k};
  }
  const std::uint64_t t = s + 1;
  const bool lower_in = vbl + excluded <= s << 2;
  const bool upper_in = (t << 2) + excluded <= vbr;
  if (lower_in != upper_in) return {lower_in ? s : t, k};
  // Both (or, never for a double, neither): the nearer; a tie to the even one.
  const auto distance = static_cast<std::int64_t>(vb - ((s + t) << 1));
  return {distance < 0 || (distance == 0 && (s & 1) == 0) ? s : t, k};
}

// Strips the trailing zeros of d.significand into d.exponent, two at a time.
// n is a multiple of 100 exactly when rotr(n · 25^-1 mod 2^64, 2) is at most
// (2^64 - 1) / 100, and that value is then n / 100 (n / 25 is exact, and a
// multiple of 4 has its two low bits clear for the rotation to bring up).
// Short decimals reach the search with many zeros (sp10 with 16 digits for
// a value of 8), which a divide-by-10 loop paid about ten instructions each.
inline void remove_trailing_zeros(ShortestDecimal& d) noexcept {
  constexpr std::uint64_t kInverseOf5 = 0xCCCCCCCCCCCCCCCDu;  // 5 · this = 1 mod 2^64
  constexpr std::uint64_t kInverseOf25 = kInverseOf5 * kInverseOf5;
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  for (;;) {
    const std::uint64_t q = std::rotr(d.significand * kInverseOf25, 2);
    if (q > kMax / 100) break;
    d.significand = q;
    d.exponent += 2;
  }
  const std::uint64_t q = std::rotr(d.significand * kInverseOf5, 1);
  if (q <= kMax / 10) {
    d.significand = q;
    d.exponent += 1;
  }
}

}  // namespace detail

[[nodiscard]] inline ShortestDecimal shortest_decimal(std::uint64_t bits) noexcept {
  constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
  const std::uint64_t fraction = bits & kFractionMask;
  const auto biased = static_cast<int>(bits >> 52);  // sign bit clear
  ShortestDecimal d = biased == 0 ? detail::schubfach(-1074, fraction)
                                  : detail::schubfach(biased - 1075, fraction | (std::uint64_t{1} << 52));
  detail::remove_trailing_zeros(d);
  return d;
}

}  // namespace pelm::codec
