// read_digit_run against a digit-at-a-time reference: every run length from
// 0 to 40, stopped by every kind of byte, with room past the run and without,
// so the unrolled loop and the checked tail agree on the value (modulo 2^64),
// the count and where reading stops.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "codec/digits_to_uint.hpp"

namespace {

struct Reading {
  std::uint64_t value;
  std::size_t count;
};

Reading reference(const std::string& s, std::uint64_t start) {
  Reading r{start, 0};
  while (r.count < s.size() && s[r.count] >= '0' && s[r.count] <= '9') {
    r.value = r.value * 10 + static_cast<std::uint64_t>(s[r.count] - '0');
    ++r.count;
  }
  return r;
}

TEST(DigitRun, AgreesWithDigitAtATimeReading) {
  std::mt19937_64 rng(7);
  const std::string stops[] = {"", ".", "e", "/", ":", "\x00", "\xff", " 1"};
  for (std::size_t len = 0; len <= 40; ++len) {
    for (const std::string& stop : stops) {
      for (const std::size_t padding : {0u, 32u}) {
        std::string digits;
        for (std::size_t i = 0; i < len; ++i) digits += static_cast<char>('0' + rng() % 10);
        const std::string text = digits + stop + std::string(padding, '7');
        const std::uint64_t start = rng() % 1000;
        const Reading want = reference(text, start);
        std::uint64_t value = start;
        const char* p = text.data();
        const std::size_t count = pelm::codec::detail::read_digit_run(p, text.data() + text.size(), value);
        ASSERT_EQ(count, want.count) << text;
        ASSERT_EQ(value, want.value) << text;
        ASSERT_EQ(p, text.data() + want.count) << text;
      }
    }
  }
}

}  // namespace
