// The double nearest w × 10^q from a 128-bit approximation of 5^q, for any
// 64-bit significand and any exponent: the Eisel–Lemire step.
//
// 10^q = 5^q × 2^q, so w × 10^q is w × 5^q with 2^q folded into the binary
// exponent. The normalised w times the top 64 bits of 5^q (pow10_table.hpp)
// gives the top of the product; when its bits below the 54 that decide the
// rounding are all ones, a carry from further down could still change them,
// and the next 64 bits of 5^q are multiplied in. What 128 bits cannot
// settle (the lower word saturated outside the exponents where the table is
// exact) is left undecided, as is a truncated significand whose two ends
// round differently: the caller then reads the whole text exactly. Exact
// ties to even only occur where 5^q is exact in the table (q in [-4, 23]);
// there a product that lands exactly on a midpoint rounds to the even side.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>

#include "codec/pow10_table.hpp"
#include "support/wide_multiply.hpp"

namespace pelm::codec {

namespace detail {

inline constexpr int kExplicitBits = 52;
inline constexpr int kInfiniteExponent = 0x7FF;

// The product's bits below its top 55: 53 for the double, a rounding bit,
// and the one the top may lose to a leading zero.
inline constexpr std::uint64_t kBelowKept = 0x1FF;

[[nodiscard]] inline double from_fields(std::uint64_t biased_exponent, std::uint64_t fraction) noexcept {
  return std::bit_cast<double>((biased_exponent << kExplicitBits) | fraction);
}

}  // namespace detail

// The double nearest w × 10^q (ties to even): +infinity when it rounds
// beyond the largest double, zero below half the smallest subnormal;
// nothing when 128 bits of 5^q do not decide it.
[[nodiscard]] inline std::optional<double> eisel_lemire(std::uint64_t w, std::int64_t q) noexcept {
  using namespace detail;
  if (w == 0 || q < kMinPowerOfFive) return 0.0;
  if (q > kMaxPowerOfFive) return std::numeric_limits<double>::infinity();
  const int lz = std::countl_zero(w);
  w <<= lz;
  const PowerOfFive& five = kWidePowersOfFive[q - kMinPowerOfFive];
  WideProduct product = multiply_wide(w, five.high);
  if ((product.high & kBelowKept) == kBelowKept) {
    const std::uint64_t next = multiply_wide(w, five.low).high;
    product.low += next;
    if (next > product.low) ++product.high;
    // Within q in [-27, 55] the table's 128 bits are exact or rounded up
    // just enough; elsewhere a saturated low word hides a possible carry.
    if (product.low == ~std::uint64_t{0} && (q < -27 || q > 55)) return std::nullopt;
  }
  const int upper = static_cast<int>(product.high >> 63);
  const int shift = upper + 64 - kExplicitBits - 3;
  std::uint64_t mantissa = product.high >> shift;
  // floor(q · log2(10)) + 63, the exponent of the product's top bit, biased.
  std::int64_t power2 = ((217706 * q) >> 16) + 63 + upper - lz + 1023;
  if (power2 <= 0) {
    // Subnormal (or zero): shift to the fixed exponent, then round; no tie
    // is exact this far from q = 0. Rounding up may reach the smallest
    // normal, whose exponent field is 1.
    if (-power2 + 1 >= 64) return 0.0;
    mantissa >>= -power2 + 1;
    mantissa += mantissa & 1;
    mantissa >>= 1;
    return from_fields(mantissa < (std::uint64_t{1} << kExplicitBits) ? 0 : 1,
                       mantissa & ((std::uint64_t{1} << kExplicitBits) - 1));
  }
  // An exact midpoint (the product's dropped bits all zero) rounds to even:
  // clear the rounding bit so the round-up below leaves the even mantissa.
  if (product.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == product.high) {
    mantissa &= ~std::uint64_t{1};
  }
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << kExplicitBits)) {
    mantissa = std::uint64_t{1} << kExplicitBits;
    ++power2;
  }
  if (power2 >= kInfiniteExponent) return std::numeric_limits<double>::infinity();
  return from_fields(static_cast<std::uint64_t>(power2), mantissa & ((std::uint64_t{1} << kExplicitBits) - 1));
}

// The same for a significand whose digits past w were dropped, so the true
// one lies in [w, w + 1): decided when both ends round alike.
[[nodiscard]] inline std::optional<double> eisel_lemire_truncated(std::uint64_t w, std::int64_t q) noexcept {
  if (w == ~std::uint64_t{0}) return std::nullopt;
  const std::optional<double> low = eisel_lemire(w, q);
  if (!low || eisel_lemire(w + 1, q) != low) return std::nullopt;
  return low;
}

}  // namespace pelm::codec
