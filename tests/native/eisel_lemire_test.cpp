// The Eisel–Lemire step against strtod: random 64-bit significands of every
// length at every exponent it covers, the ends of the double range, and
// truncated significands, which it must either round as the full digits do
// or leave undecided. A decision may never differ from strtod's; how often
// it declines is bounded, so a regression to the slow path shows.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "codec/eisel_lemire.hpp"

namespace {

using pelm::codec::eisel_lemire;
using pelm::codec::eisel_lemire_truncated;

std::uint64_t bits_of(double d) { return std::bit_cast<std::uint64_t>(d); }

double oracle(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

TEST(EiselLemire, DecidesEveryExactSignificandAsStrtodRounds) {
  std::mt19937_64 rng(0xe15e1);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t w = rng() >> (rng() % 64);
    const std::int64_t q = static_cast<std::int64_t>(rng() % 700) - 360;
    const std::string text = std::to_string(w) + "e" + std::to_string(q);
    const std::optional<double> got = eisel_lemire(w, q);
    ASSERT_TRUE(got.has_value()) << text;
    ASSERT_EQ(bits_of(*got), bits_of(oracle(text))) << text;
  }
}

TEST(EiselLemire, RangeEndsRoundToZeroInfinityAndTheExtremeDoubles) {
  const struct {
    std::uint64_t w;
    std::int64_t q;
  } cases[] = {{1, -342}, {1, -343}, {24703282292062327, -340}, {24703282292062328, -340}, {49406564584124654, -340},
               {22250738585072011, -324}, {22250738585072014, -324}, {17976931348623157, 292},
               {17976931348623158, 292}, {17976931348623159, 292}, {1, 308}, {1, 309}, {~std::uint64_t{0}, 289},
               {9007199254740993, 0}, {9007199254740995, 0}, {1, 23}, {1, -4}};
  for (const auto& c : cases) {
    const std::string text = std::to_string(c.w) + "e" + std::to_string(c.q);
    const std::optional<double> got = eisel_lemire(c.w, c.q);
    ASSERT_TRUE(got.has_value()) << text;
    ASSERT_EQ(bits_of(*got), bits_of(oracle(text))) << text;
  }
}

TEST(EiselLemire, TruncatedSignificandsRoundAsTheirFullDigitsOrStayUndecided) {
  std::mt19937_64 rng(0x7e1c);
  int undecided = 0;
  constexpr int kSamples = 100000;
  for (int i = 0; i < kSamples; ++i) {
    const std::uint64_t w = 1000000000000000000u + rng() % 9000000000000000000u;  // 19 digits
    std::string dropped;
    for (int n = 1 + static_cast<int>(rng() % 21); n > 0; --n) dropped += static_cast<char>('0' + rng() % 10);
    // The text's digits are w's followed by the dropped ones, so its value
    // is (w + a fraction) × 10^q.
    const std::int64_t q = static_cast<std::int64_t>(rng() % 640) - 340;
    const auto text_exponent = q - static_cast<std::int64_t>(dropped.size());
    const std::string text = std::to_string(w) + dropped + "e" + std::to_string(text_exponent);
    const std::optional<double> got = eisel_lemire_truncated(w, q);
    if (!got) {
      ++undecided;
      continue;
    }
    ASSERT_EQ(bits_of(*got), bits_of(oracle(text))) << text;
  }
  EXPECT_LT(undecided, kSamples / 100);
}

}  // namespace
