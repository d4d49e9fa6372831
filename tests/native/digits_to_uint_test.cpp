// read_digit_run against a digit-at-a-time reference: every run length from
// 0 to 40, stopped by every non-digit byte, with room past the run and
// without, so the word-at-a-time reading and the checked tail agree on the
// value (modulo 2^64), the count and where reading stops.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
  // Every byte that is not a digit ends a run, and the word test must see
  // each as a stop wherever it falls in the word.
  std::vector<std::string> stops = {"", " 1"};
  for (int c = 0; c < 256; ++c) {
    if (c < '0' || c > '9') stops.emplace_back(1, static_cast<char>(c));
  }
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
