// Decimal text to double through std::from_chars, with its range errors
// split; where the standard library lacks it for doubles, through strtod.
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
#include <cstdlib>
#include <system_error>

namespace pelm::codec {

namespace {

// libc++ before 20 has no std::from_chars for doubles, and Apple's needs a
// newer macOS than the wheels are built for: those take strtod.
template <class T>
concept FloatFromChars = requires(const char* p, T& value) {
  std::from_chars(p, p, value);
};
#if defined(__APPLE__)
constexpr bool kAvoidFromChars = true;
#else
constexpr bool kAvoidFromChars = false;
#endif

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Decimal exponent of the leading nonzero digit of a nonzero number, e.g. 2
// for "123.4", -3 for "0.00123", 7 for "1.5e7". The exponent part saturates
// far beyond the double range, so absurd exponents cannot overflow. Unused
// where the standard library has no from_chars for doubles.
[[maybe_unused]] std::int64_t leading_digit_exponent(std::string_view number) noexcept {
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

template <class T>
std::optional<double> through_from_chars(std::string_view number) noexcept {
  T value = 0.0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc{}) {
    if (std::isinf(value)) return std::nullopt;
    return value;
  }
  // Only a range error is possible on validated text.
  if (leading_digit_exponent(number) >= 0) return std::nullopt;
  return number.front() == '-' ? -0.0 : 0.0;
}

// The same through strtod, which needs a terminated string and reads the
// decimal point of the process's locale (Python programs may set one). So the
// number is rewritten into a buffer as integer digits and a power of ten, with
// no point to misread: "-12.50e3" becomes "-1250e1".
//
// A number may have any length, the buffer has not: the first kKeptDigits
// significant digits are kept and any nonzero digit after them becomes one
// '1' appended. Every boundary where rounding changes (a midpoint between two
// doubles, the overflow and underflow thresholds) has at most 767
// significant digits, so no boundary lies strictly between the truncated
// value and the next multiple of its last digit; the original and the
// rewritten number lie in that gap (or are both the truncated value) and
// round alike.
constexpr std::size_t kKeptDigits = 800;

// A template only so that a library with a usable std::from_chars, where
// nothing calls it, does not compile it either (clang warns of an internal
// function it will not emit).
template <class = void>
std::optional<double> through_strtod(std::string_view number) noexcept {
  constexpr std::int64_t kExponentClamp = 100000;  // far past both ends of the double range
  char text[kKeptDigits + 32];
  std::size_t length = 0;
  std::size_t i = 0;
  if (number.front() == '-') text[length++] = number[i++];
  const std::size_t digits_start = length;
  std::int64_t exponent = 0;  // of the last kept digit
  bool in_fraction = false;
  bool dropped_nonzero = false;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    const char c = number[i];
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    if (in_fraction) --exponent;
    if (length == digits_start && c == '0') continue;  // leading zeros
    if (length - digits_start < kKeptDigits) {
      text[length++] = c;
    } else {
      ++exponent;  // a dropped digit: the kept ones stand one place higher
      dropped_nonzero = dropped_nonzero || c != '0';
    }
  }
  if (length == digits_start) return number.front() == '-' ? -0.0 : 0.0;
  if (dropped_nonzero) {
    text[length++] = '1';
    --exponent;
  }
  if (i < number.size()) {
    ++i;
    bool negative = false;
    if (number[i] == '+' || number[i] == '-') negative = number[i++] == '-';
    std::int64_t written = 0;
    for (; i < number.size() && is_digit(number[i]); ++i) {
      if (written < kExponentClamp) written = written * 10 + (number[i] - '0');
    }
    exponent += negative ? -written : written;
  }
  exponent = exponent < -kExponentClamp ? -kExponentClamp : exponent > kExponentClamp ? kExponentClamp : exponent;
  text[length++] = 'e';
  const auto written = std::to_chars(text + length, text + sizeof text - 1, exponent);
  *written.ptr = '\0';
  const double value = std::strtod(text, nullptr);
  if (std::isinf(value)) return std::nullopt;
  return value;
}

// A template, so that the branch a standard library cannot compile is never
// instantiated.
template <class T>
std::optional<double> to_double(std::string_view number) noexcept {
  if constexpr (FloatFromChars<T> && !kAvoidFromChars) {
    return through_from_chars<T>(number);
  } else {
    return through_strtod<>(number);
  }
}

}  // namespace

std::optional<double> decimal_to_double(std::string_view number) noexcept { return to_double<double>(number); }

}  // namespace pelm::codec
