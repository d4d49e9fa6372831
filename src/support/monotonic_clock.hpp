// The clock that time limits are measured on: the standard library's steady
// clock, in nanoseconds. It never jumps back, whatever happens to the wall
// clock, so an entry can neither expire early nor live forever because
// someone set the date.
//
// Test hook: in builds configured with PELM_FAULT_INJECTION, every reading
// adds the nanoseconds in the environment variable PELM_TEST_CLOCK_OFFSET_NS,
// read afresh each time, so tests move time forward without sleeping. Tests
// must only ever raise it. In every other build the hook does not exist.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace pelm::clock {

// a + b for b >= 0, stopping at the largest reading instead of wrapping.
[[nodiscard]] constexpr std::int64_t add_saturating(std::int64_t a, std::int64_t b) noexcept {
  return a > std::numeric_limits<std::int64_t>::max() - b ? std::numeric_limits<std::int64_t>::max() : a + b;
}

#ifdef PELM_FAULT_INJECTION
[[nodiscard]] inline std::int64_t test_offset_ns() noexcept {
  const char* offset = std::getenv("PELM_TEST_CLOCK_OFFSET_NS");
  const long long v = offset != nullptr ? std::strtoll(offset, nullptr, 10) : 0;
  return v > 0 ? v : 0;
}
#else
[[nodiscard]] constexpr std::int64_t test_offset_ns() noexcept { return 0; }
#endif

[[nodiscard]] inline std::int64_t now_ns() noexcept {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_start).count();
  return add_saturating(ns, test_offset_ns());
}

}  // namespace pelm::clock
