// The full 128-bit product of two 64-bit words, as two words: the one piece
// of 128-bit arithmetic the codec and the engine need. GCC and Clang on
// 64-bit targets have a 128-bit integer type for it; MSVC has intrinsics on
// x64 (_umul128) and ARM64 (__umulh); anything else takes four 32-bit
// partial products. All give the same bits, and the tests compare the limb
// version with the compiler's type wherever both exist.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_ARM64))
#include <intrin.h>
#define PELM_WIDE_MULTIPLY_INTRINSICS 1
#endif

namespace pelm {

struct WideProduct {
  std::uint64_t high;
  std::uint64_t low;
};

// Schoolbook multiplication in 32-bit limbs. The middle sum adds the top half
// of the low product to two 32-bit halves, below 3 * 2^32, so it cannot wrap.
[[nodiscard]] constexpr WideProduct multiply_wide_by_limbs(std::uint64_t a, std::uint64_t b) noexcept {
  constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
  const std::uint64_t a_lo = a & kLow32, a_hi = a >> 32;
  const std::uint64_t b_lo = b & kLow32, b_hi = b >> 32;
  const std::uint64_t lo_lo = a_lo * b_lo;
  const std::uint64_t lo_hi = a_lo * b_hi;
  const std::uint64_t hi_lo = a_hi * b_lo;
  const std::uint64_t middle = (lo_lo >> 32) + (lo_hi & kLow32) + (hi_lo & kLow32);
  return {a_hi * b_hi + (lo_hi >> 32) + (hi_lo >> 32) + (middle >> 32), (middle << 32) | (lo_lo & kLow32)};
}

[[nodiscard]] constexpr WideProduct multiply_wide(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ using Uint128 = unsigned __int128;
  const Uint128 p = static_cast<Uint128>(a) * b;
  return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
#elif defined(PELM_WIDE_MULTIPLY_INTRINSICS)
  if (std::is_constant_evaluated()) return multiply_wide_by_limbs(a, b);
#if defined(_M_X64)
  std::uint64_t high = 0;
  const std::uint64_t low = _umul128(a, b, &high);
  return {high, low};
#else
  return {__umulh(a, b), a * b};
#endif
#else
  return multiply_wide_by_limbs(a, b);
#endif
}

}  // namespace pelm
