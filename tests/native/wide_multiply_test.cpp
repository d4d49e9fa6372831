// The 32-bit-limb product, which compilers without a 128-bit type run,
// against the compiler's own 128-bit product: at the limbs' carry edges and
// on random words.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "support/wide_multiply.hpp"

namespace {

#if defined(__SIZEOF_INT128__)
TEST(WideMultiply, LimbsMatchTheCompilersProduct) {
  __extension__ using Uint128 = unsigned __int128;
  const auto check = [](std::uint64_t a, std::uint64_t b) {
    const pelm::WideProduct got = pelm::multiply_wide_by_limbs(a, b);
    const Uint128 want = static_cast<Uint128>(a) * b;
    ASSERT_EQ(got.high, static_cast<std::uint64_t>(want >> 64)) << a << " * " << b;
    ASSERT_EQ(got.low, static_cast<std::uint64_t>(want)) << a << " * " << b;
  };
  const std::uint64_t edges[] = {0, 1, 0xFFFFFFFFu, 0x100000000u, 0xFFFFFFFF00000000u, 0x8000000000000000u,
                                 0xFFFFFFFFFFFFFFFFu};
  for (const std::uint64_t a : edges) {
    for (const std::uint64_t b : edges) check(a, b);
  }
  std::mt19937_64 rng(128);
  for (int i = 0; i < 100000; ++i) check(rng(), rng());
}
#endif

}  // namespace
