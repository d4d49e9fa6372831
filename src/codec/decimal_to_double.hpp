// Correctly rounded conversion of decimal numbers to doubles.
//
// Two ways: `exact_decimal_to_double` works on the significand and exponent
// the reader has already accumulated and covers what stored text holds (at
// most 19 significant digits, decimal exponents within +-27) with exact
// 128-bit integer arithmetic, kept as two 64-bit words so that no compiler
// extension is needed; `decimal_to_double` reads any JSON number text through
// the standard library, for what neither the exact conversion nor the
// Eisel–Lemire step (eisel_lemire.hpp) decides. All give the double nearest
// the exact decimal value, ties to even, so which one answers never changes
// a result.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/wide_multiply.hpp"

namespace pelm::codec {

// `number` must be a complete JSON number (optional "-", digits, optional
// fraction and exponent). Returns the double nearest its exact decimal value
// (ties to even, every digit taking part), a zero carrying the sign when the
// value is below half the smallest subnormal, and nothing when the value
// rounds beyond the largest finite double.
[[nodiscard]] std::optional<double> decimal_to_double(std::string_view number) noexcept;

namespace detail {

inline constexpr int kMaxExactExponent = 27;  // 5^27 is the largest power of five below 2^64

inline constexpr std::array<std::uint64_t, kMaxExactExponent + 1> kPowersOfFive = [] {
  std::array<std::uint64_t, kMaxExactExponent + 1> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 5;
  return p;
}();

// A power of five shifted up until its top bit is set, with its reciprocal
// floor((2^128 - 1) / divisor) - 2^64: dividing by it then takes two
// multiplications and at most two corrections instead of a hardware division,
// which costs tens of cycles for every float with a fraction.
struct NormalizedDivisor {
  std::uint64_t divisor;
  std::uint64_t reciprocal;
  int shift;  // leading zeros of the unshifted power
};

// floor((high * 2^64 + low) / divisor) for high < divisor, one bit at a time:
// only the tables below use it, at compile time.
[[nodiscard]] constexpr std::uint64_t long_divide(std::uint64_t high, std::uint64_t low,
                                                  std::uint64_t divisor) noexcept {
  std::uint64_t quotient = 0;
  std::uint64_t rest = high;  // below `divisor` before each step
  for (int bit = 63; bit >= 0; --bit) {
    const bool carry = (rest >> 63) != 0;  // the doubled rest needs 65 bits
    rest = (rest << 1) | ((low >> bit) & 1);
    quotient <<= 1;
    if (carry || rest >= divisor) {
      rest -= divisor;  // wraps back to the true difference, which is below `divisor`
      quotient |= 1;
    }
  }
  return quotient;
}

inline constexpr std::array<NormalizedDivisor, kMaxExactExponent + 1> kDivisorsOfFive = [] {
  std::array<NormalizedDivisor, kMaxExactExponent + 1> table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    const int shift = std::countl_zero(kPowersOfFive[i]);
    const std::uint64_t divisor = kPowersOfFive[i] << shift;
    // 2^128 - 1 = (2^64 - 1 - divisor) * 2^64 + (2^64 - 1) + divisor * 2^64,
    // so this is floor((2^128 - 1) / divisor) without its 2^64.
    const std::uint64_t reciprocal = long_divide(~divisor, ~std::uint64_t{0}, divisor);
    table[i] = NormalizedDivisor{divisor, reciprocal, shift};
  }
  return table;
}();

struct QuotientAndRest {
  std::uint64_t quotient;
  bool has_remainder;
};

// (high * 2^64 + low) / d.divisor for `high` below the divisor (so the
// quotient fits 64 bits); the division of a two-word number by an invariant
// normalised word with a precomputed reciprocal.
[[nodiscard]] inline QuotientAndRest divide(std::uint64_t high, std::uint64_t low,
                                            const NormalizedDivisor& d) noexcept {
  // estimate = reciprocal * high + (high + 1) * 2^64 + low, modulo 2^128.
  const WideProduct scaled = multiply_wide(d.reciprocal, high);
  const std::uint64_t estimate_low = scaled.low + low;
  const std::uint64_t carry = estimate_low < low ? 1 : 0;
  auto quotient = scaled.high + high + 1 + carry;
  std::uint64_t remainder = low - quotient * d.divisor;
  if (remainder > estimate_low) {
    --quotient;
    remainder += d.divisor;
  }
  if (remainder >= d.divisor) {
    ++quotient;
    remainder -= d.divisor;
  }
  return {quotient, remainder != 0};
}

// Every integer up to 2^53 and every power of ten up to 10^22 is a double.
inline constexpr std::uint64_t kMaxExactSignificand = std::uint64_t{1} << 53;
inline constexpr std::array<double, 23> kExactPowersOfTen = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 2^k; `k` must lie in the normal range, so scaling by it is exact.
[[nodiscard]] inline double power_of_two(int k) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + k) << 52);
}

// x rounded once to a double. Above 64 bits the top 64 are kept with the rest
// folded into their lowest bit ("round to odd"): with 11 bits to spare below
// a double's 53, that bit only breaks ties, exactly as the dropped bits would.
[[nodiscard]] inline double wide_to_double(WideProduct x) noexcept {
  if (x.high == 0) return static_cast<double>(x.low);
  const int shift = 64 - std::countl_zero(x.high);  // 1 to 64: every shift below stays under 64
  const std::uint64_t top = (x.high << (64 - shift)) | ((x.low >> 1) >> (shift - 1));
  const bool sticky = (x.low << (64 - shift)) != 0;  // the `shift` bits dropped from `low`
  return static_cast<double>(top | static_cast<std::uint64_t>(sticky)) * power_of_two(shift);
}

}  // namespace detail

// The double nearest significand × 10^exponent (ties to even), or nothing
// when |exponent| exceeds 27. Since 10^e = 5^e × 2^e and 5^27 < 2^64, the
// product is exact in 128 bits; a quotient is taken with 62 or 63 bits and
// the remainder's presence as the round-to-odd bit. Results stay far inside
// the normal range, so every power-of-two scaling is exact.
[[nodiscard]] inline std::optional<double> exact_decimal_to_double(std::uint64_t significand,
                                                                   std::int64_t exponent) noexcept {
  if (exponent < -detail::kMaxExactExponent || exponent > detail::kMaxExactExponent) return std::nullopt;
  if (significand == 0) return 0.0;
  if (exponent >= 0) {
    const WideProduct product = multiply_wide(significand, detail::kPowersOfFive[static_cast<std::size_t>(exponent)]);
    return detail::wide_to_double(product) * detail::power_of_two(static_cast<int>(exponent));
  }
  const auto m = static_cast<int>(-exponent);
  if (significand <= detail::kMaxExactSignificand && m < static_cast<int>(detail::kExactPowersOfTen.size())) {
    // Both operands are exact doubles, so the one rounding of the quotient is the only one.
    return static_cast<double>(static_cast<std::int64_t>(significand)) /
           detail::kExactPowersOfTen[static_cast<std::size_t>(m)];
  }
  const detail::NormalizedDivisor& d = detail::kDivisorsOfFive[static_cast<std::size_t>(m)];
  // The significand's top bit at bit 125 and the divisor's at bit 63, so
  // 2^61 < quotient < 2^63: enough bits, no overflow, and a signed
  // conversion (an unsigned one branches on the top bit, at random).
  // The numerator is the significand shifted up by `shift`, which is the
  // normalised significand shifted up by 62.
  const int shift = 62 + std::countl_zero(significand);
  const std::uint64_t normalized = significand << (shift - 62);
  const detail::QuotientAndRest q = detail::divide(normalized >> 2, normalized << 62, d);
  const int scale = shift - d.shift;  // the numerator's shift beyond the divisor's
  return static_cast<double>(static_cast<std::int64_t>(q.quotient | static_cast<std::uint64_t>(q.has_remainder))) *
         detail::power_of_two(-scale - m);
}

}  // namespace pelm::codec
