// Allocation-failure injection for tests. In builds configured with
// PELM_FAULT_INJECTION, every allocation site of the write path and the
// engine calls `maybe_fail`, which throws std::bad_alloc on the Nth call of
// an entry point when the environment variable PELM_FAIL_ALLOC_NTH is N. In
// every other build all of this compiles to nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

namespace pelm::fault_injection {

#ifdef PELM_FAULT_INJECTION
inline thread_local std::int64_t countdown = 0;  // 0: disarmed

// Called when an entry point starts: re-reads the variable each time, so a
// test can change it between calls.
inline void arm_from_environment() noexcept {
  const char* nth = std::getenv("PELM_FAIL_ALLOC_NTH");
  countdown = nth != nullptr ? std::strtoll(nth, nullptr, 10) : 0;
}
inline void disarm() noexcept { countdown = 0; }
inline void maybe_fail() {
  if (countdown > 0 && --countdown == 0) throw std::bad_alloc();
}
#else
inline void arm_from_environment() noexcept {}
inline void disarm() noexcept {}
inline void maybe_fail() noexcept {}
#endif

}  // namespace pelm::fault_injection
