// The wall clock, in nanoseconds since the Unix epoch: what a snapshot's
// times are written on, since the monotonic clock (monotonic_clock.hpp)
// starts afresh in every process. A time limit crosses a restart as the
// point on this clock where it ends; the remaining time is read against the
// monotonic clock again once the snapshot is loaded.
//
// Test hook: builds with PELM_FAULT_INJECTION add the same offset
// (PELM_TEST_CLOCK_OFFSET_NS) as the monotonic clock does, so a test moves
// both clocks forward together, as time passing moves them.
#pragma once

#include <chrono>
#include <cstdint>

#include "support/monotonic_clock.hpp"

namespace pelm::clock {

[[nodiscard]] inline std::int64_t wall_now_ns() noexcept {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return add_saturating(ns, test_offset_ns());
}

}  // namespace pelm::clock
