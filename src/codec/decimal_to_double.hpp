// Correctly rounded conversion of decimal numbers to doubles.
//
// Two ways: `exact_decimal_to_double` works on the significand and exponent
// the reader has already accumulated and covers what stored text holds (at
// most 19 significant digits, decimal exponents within +-27) with exact
// 128-bit integer arithmetic; `decimal_to_double` reads any JSON number text
// through std::from_chars. Both give the double nearest the exact decimal
// value, ties to even, so which one answers never changes a result.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelm::codec {

// `number` must be a complete JSON number (optional "-", digits, optional
// fraction and exponent). Returns the double nearest its exact decimal value
// (ties to even, every digit taking part), a zero carrying the sign when the
// value is below half the smallest subnormal, and nothing when the value
// rounds beyond the largest finite double.
[[nodiscard]] std::optional<double> decimal_to_double(std::string_view number) noexcept;

namespace detail {

__extension__ using Uint128 = unsigned __int128;

inline constexpr int kMaxExactExponent = 27;  // 5^27 is the largest power of five below 2^64

inline constexpr std::array<std::uint64_t, kMaxExactExponent + 1> kPowersOfFive = [] {
  std::array<std::uint64_t, kMaxExactExponent + 1> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 5;
  return p;
}();

// 2^k; `k` must lie in the normal range, so scaling by it is exact.
[[nodiscard]] inline double power_of_two(int k) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + k) << 52);
}

// x rounded once to a double. Above 64 bits the top 64 are kept with the rest
// folded into their lowest bit ("round to odd"): with 11 bits to spare below
// a double's 53, that bit only breaks ties, exactly as the dropped bits would.
[[nodiscard]] inline double uint128_to_double(Uint128 x) noexcept {
  const auto high = static_cast<std::uint64_t>(x >> 64);
  if (high == 0) return static_cast<double>(static_cast<std::uint64_t>(x));
  const int shift = 64 - std::countl_zero(high);
  const auto top = static_cast<std::uint64_t>(x >> shift);
  const bool sticky = (x & ((Uint128{1} << shift) - 1)) != 0;
  return static_cast<double>(top | static_cast<std::uint64_t>(sticky)) * power_of_two(shift);
}

}  // namespace detail

// The double nearest significand × 10^exponent (ties to even), or nothing
// when |exponent| exceeds 27. Since 10^e = 5^e × 2^e and 5^27 < 2^64, the
// product is exact in 128 bits; a quotient is taken with 63 or 64 bits and
// the remainder's presence as the round-to-odd bit. Results stay far inside
// the normal range, so every power-of-two scaling is exact.
[[nodiscard]] inline std::optional<double> exact_decimal_to_double(std::uint64_t significand,
                                                                   std::int64_t exponent) noexcept {
  using detail::Uint128;
  if (exponent < -detail::kMaxExactExponent || exponent > detail::kMaxExactExponent) return std::nullopt;
  if (significand == 0) return 0.0;
  if (exponent >= 0) {
    const Uint128 product = Uint128{significand} * detail::kPowersOfFive[static_cast<std::size_t>(exponent)];
    return detail::uint128_to_double(product) * detail::power_of_two(static_cast<int>(exponent));
  }
  const auto m = static_cast<int>(-exponent);
  const std::uint64_t divisor = detail::kPowersOfFive[static_cast<std::size_t>(m)];
  // Shifted so that 2^62 < quotient < 2^64: enough bits, and no overflow.
  const int shift = 63 + (64 - std::countl_zero(divisor)) - (64 - std::countl_zero(significand));
  const Uint128 numerator = Uint128{significand} << shift;
  const auto quotient = static_cast<std::uint64_t>(numerator / divisor);
  const bool inexact = numerator != Uint128{quotient} * divisor;
  return static_cast<double>(quotient | static_cast<std::uint64_t>(inexact)) * detail::power_of_two(-shift - m);
}

}  // namespace pelm::codec
