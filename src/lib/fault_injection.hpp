// Allocation-failure injection for tests. In builds with PELM_FAULT_INJECTION
// every allocation site of the engine and the write path calls `maybe_fail`,
// which throws std::bad_alloc on the Nth call after `arm(N)`; elsewhere it
// compiles to nothing.
#pragma once

#include <cstdint>
#include <new>

namespace pelm::fault_injection {

#ifdef PELM_FAULT_INJECTION
inline thread_local std::int64_t countdown = 0;  // 0: disarmed
inline void arm(std::int64_t nth) noexcept { countdown = nth; }
inline void maybe_fail() {
  if (countdown > 0 && --countdown == 0) throw std::bad_alloc();
}
#else
inline void arm(std::int64_t) noexcept {}
inline void maybe_fail() noexcept {}
#endif

}  // namespace pelm::fault_injection
