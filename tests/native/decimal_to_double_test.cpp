// The exact small-exponent conversion against strtod as the oracle:
// random significands of every length up to 19 digits and 2^64 - 1 with every
// exponent it accepts, exact ties (which must go to even), and the limits
// where it must decline.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "codec/decimal_to_double.hpp"

namespace {

using pelm::codec::exact_decimal_to_double;

double oracle(std::uint64_t significand, std::int64_t exponent) {
  // strtod rounds correctly on every C library tested here, and the text has
  // no decimal point for a locale to misread.
  const std::string text = std::to_string(significand) + "e" + std::to_string(exponent);
  return std::strtod(text.c_str(), nullptr);
}

void expect_matches_oracle(std::uint64_t s, std::int64_t e) {
  const std::optional<double> got = exact_decimal_to_double(s, e);
  ASSERT_TRUE(got.has_value()) << s << "e" << e;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(oracle(s, e))) << s << "e" << e;
}

TEST(ExactDecimalToDouble, RandomSignificandsOfEveryLengthWithEveryExponent) {
  std::mt19937_64 rng(0xdec1);
  std::uint64_t scale = 1;
  for (int digits = 1; digits <= 20; ++digits) {
    for (int i = 0; i < 400; ++i) {
      std::uint64_t s = rng();
      if (digits < 20) s %= scale * 10;
      for (std::int64_t e = -27; e <= 27; ++e) expect_matches_oracle(s, e);
    }
    if (digits < 19) scale *= 10;
  }
}

TEST(ExactDecimalToDouble, BoundarySignificands) {
  constexpr std::uint64_t kTwo53 = std::uint64_t{1} << 53;
  const std::uint64_t cases[] = {1, 9, kTwo53 - 1, kTwo53, kTwo53 + 1, kTwo53 + 3,
                                 std::numeric_limits<std::uint64_t>::max(), 9999999999999999999ULL,
                                 (std::uint64_t{1} << 63) - 1, std::uint64_t{1} << 63, 7450580596923828125ULL};
  for (std::uint64_t s : cases) {
    for (std::int64_t e = -27; e <= 27; ++e) expect_matches_oracle(s, e);
  }
}

// Decimal values exactly halfway between two doubles round to the even one.
TEST(ExactDecimalToDouble, ExactTiesGoToEven) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t odd = (std::uint64_t{1} << 53) + 2 * (rng() % (std::uint64_t{1} << 51)) + 1;
    expect_matches_oracle(odd, 0);                // halfway between neighbours 2 apart
    expect_matches_oracle(odd * 5, -1);           // (2^52 + k) + 0.5
    expect_matches_oracle(odd, 3);                // a tie scaled by 2^3 and 5^3
    expect_matches_oracle((odd << 10) | 1, 0);    // just above a tie
    expect_matches_oracle((odd << 10) - 1, 0);    // just below one
  }
}

#if defined(__SIZEOF_INT128__)
// The reciprocal division must give the exact quotient and remainder test
// for every power of five, including numerators at its corrections' edges.
// The compiler's 128-bit type is the oracle, where it has one.
TEST(DivideByPowerOfFive, MatchesTheHardwareDivision) {
  using pelm::codec::detail::divide;
  using pelm::codec::detail::kDivisorsOfFive;
  __extension__ using Uint128 = unsigned __int128;
  std::mt19937_64 rng(5);
  for (const auto& d : kDivisorsOfFive) {
    const auto check = [&](Uint128 numerator) {
      const auto got = divide(static_cast<std::uint64_t>(numerator >> 64), static_cast<std::uint64_t>(numerator), d);
      EXPECT_EQ(got.quotient, static_cast<std::uint64_t>(numerator / d.divisor));
      EXPECT_EQ(got.has_remainder, numerator % d.divisor != 0);
    };
    const Uint128 top = (Uint128{d.divisor - 1} << 64) | ~std::uint64_t{0};  // the largest allowed
    for (const Uint128 n : {Uint128{0}, Uint128{1}, Uint128{d.divisor}, Uint128{d.divisor} - 1, top, top - d.divisor,
                            Uint128{d.divisor} * d.divisor, Uint128{d.divisor} * d.divisor - 1}) {
      check(n);
    }
    for (int i = 0; i < 20000; ++i) {
      const Uint128 n = (Uint128{rng() % d.divisor} << 64) | rng();
      check(n);
      check(n - n % d.divisor);  // an exact multiple
    }
  }
}
#endif

TEST(ExactDecimalToDouble, ZeroAndDeclinedExponents) {
  EXPECT_EQ(exact_decimal_to_double(0, -27), 0.0);
  EXPECT_EQ(exact_decimal_to_double(0, 5), 0.0);
  EXPECT_FALSE(exact_decimal_to_double(1, 28).has_value());
  EXPECT_FALSE(exact_decimal_to_double(1, -28).has_value());
  EXPECT_FALSE(exact_decimal_to_double(0, 400).has_value());
}

}  // namespace
