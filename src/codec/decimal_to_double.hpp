// Correctly rounded conversion of JSON number text to a double.
#pragma once

#include <optional>
#include <string_view>

namespace pelm::codec {

// `number` must be a complete JSON number (optional "-", digits, optional
// fraction and exponent). Returns the double nearest its exact decimal value
// (ties to even, every digit taking part), a zero carrying the sign when the
// value is below half the smallest subnormal, and nothing when the value
// rounds beyond the largest finite double.
[[nodiscard]] std::optional<double> decimal_to_double(std::string_view number) noexcept;

}  // namespace pelm::codec
