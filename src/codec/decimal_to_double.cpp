// Decimal text to double through std::from_chars, with its range errors split.
//
// Hazard: libstdc++ reports both overflow (rounds to infinity) and underflow
// (rounds to zero) as errc::result_out_of_range and leaves the output
// untouched, while nonzero subnormal results come back normally. The two
// cases lie hundreds of decades apart, so the order of magnitude of the text
// tells them apart; underflow then yields the correctly rounded signed zero.
#include "codec/decimal_to_double.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace pelm::codec {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Decimal exponent of the leading nonzero digit of a nonzero number, e.g. 2
// for "123.4", -3 for "0.00123", 7 for "1.5e7". The exponent part saturates
// far beyond the double range, so absurd exponents cannot overflow.
std::int64_t leading_digit_exponent(std::string_view number) noexcept {
  constexpr std::int64_t kSaturation = std::int64_t{1} << 40;
  std::size_t i = number.front() == '-' ? 1 : 0;
  std::int64_t magnitude = 0;
  bool seen_nonzero = false;
  bool in_fraction = false;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    const char c = number[i];
    if (c == '.') {
      in_fraction = true;
    } else if (!in_fraction) {
      if (seen_nonzero) ++magnitude;
      seen_nonzero = seen_nonzero || c != '0';
    } else if (!seen_nonzero) {
      --magnitude;
      seen_nonzero = c != '0';
    }
  }
  if (i == number.size()) return magnitude;
  ++i;
  bool negative = false;
  if (number[i] == '+' || number[i] == '-') negative = number[i++] == '-';
  std::int64_t exponent = 0;
  for (; i < number.size() && is_digit(number[i]); ++i) {
    if (exponent < kSaturation) exponent = exponent * 10 + (number[i] - '0');
  }
  return negative ? magnitude - exponent : magnitude + exponent;
}

}  // namespace

std::optional<double> decimal_to_double(std::string_view number) noexcept {
  double value = 0.0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc{}) {
    if (std::isinf(value)) return std::nullopt;
    return value;
  }
  // Only a range error is possible on validated text.
  if (leading_digit_exponent(number) >= 0) return std::nullopt;
  return number.front() == '-' ? -0.0 : 0.0;
}

}  // namespace pelm::codec
