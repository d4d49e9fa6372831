// The eight-digits-per-word integer formatters against std::to_chars, at
// every length and on both sides of every power of ten: write_decimal,
// write_mid_decimal on the values of 9 to 16 digits, and write_long_decimal
// on those of 16 or more.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "codec/uint_to_digits.hpp"

namespace pelm::codec {
namespace {

std::string reference(std::uint64_t v) {
  char buf[24];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

template <typename Write>
std::string written(Write write) {
  // Guard bytes around the 20 bytes the writer may use catch a write
  // outside them.
  char buf[24];
  std::memset(buf, '#', sizeof buf);
  char* end = write(buf + 2);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(buf[1], '#');
  EXPECT_EQ(buf[22], '#');
  EXPECT_EQ(buf[23], '#');
  return std::string(buf + 2, end);
}

void check(std::uint64_t v) {
  const std::string expected = reference(v);
  const int n = static_cast<int>(expected.size());
  ASSERT_EQ(written([&](char* p) { return write_decimal(p, v); }), expected) << v;
  ASSERT_EQ(decimal_length(v), n) << v;
  if (n >= 9 && n <= 16) {
    ASSERT_EQ(written([&](char* p) { return write_mid_decimal(p, v, n); }), expected) << v;
  }
  if (n >= 16) {
    ASSERT_EQ(written([&](char* p) { return write_long_decimal(p, v, n); }), expected) << v;
  }
}

TEST(DecimalDigits, EveryPowerOfTenAndItsNeighbours) {
  check(0);
  check(std::numeric_limits<std::uint64_t>::max());
  check(std::numeric_limits<std::uint64_t>::max() - 1);
  std::uint64_t p = 1;
  for (int k = 0; k < 20; ++k, p *= 10) {
    for (std::uint64_t v : {p - 1, p, p + 1, 2 * p - 1, 9 * p, p + p / 2}) check(v);
  }
}

TEST(DecimalDigits, RandomValuesOfEveryLength) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 400000; ++i) {
    const std::uint64_t v = rng() >> (rng() % 64);
    check(v);
    // Lanes whose digits are all 9 or all 0 stress the per-lane divisions.
    check(v - v % 100000000u + 99999999u);
    check(v - v % 100000000u);
  }
}

}  // namespace
}  // namespace pelm::codec
