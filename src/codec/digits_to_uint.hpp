// Reads a run of decimal digits into an integer.
//
// Where more than 20 bytes remain, the first 20 digits are read by a fully
// unrolled loop with no end-of-text test: a short number then costs a few
// instructions a digit. (An eight-bytes-at-a-time reading was measured
// slower: its variable-length shifts cost more than the digits of a typical
// number.) The value wraps modulo 2^64 on long runs; callers check the count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelm::codec::detail {

// Reads the digits at `p` (up to `end`) into `value` (value * 10^n + digits),
// moves `p` past them and returns how many there were.
inline std::size_t read_digit_run(const char*& p, const char* end, std::uint64_t& value) noexcept {
  constexpr std::ptrdiff_t kUnchecked = 20;
  std::uint64_t v = value;
  std::ptrdiff_t i = 0;
  const bool room = end - p > kUnchecked;
  if (room) {
#pragma GCC unroll 20
    for (; i < kUnchecked; ++i) {
      const auto digit = static_cast<unsigned char>(p[i] - '0');
      if (digit >= 10) break;
      v = v * 10 + digit;
    }
  }
  if (!room || i == kUnchecked) {
    for (; p + i != end && static_cast<unsigned char>(p[i] - '0') < 10; ++i) {
      v = v * 10 + static_cast<unsigned char>(p[i] - '0');
    }
  }
  p += i;
  value = v;
  return static_cast<std::size_t>(i);
}

}  // namespace pelm::codec::detail
