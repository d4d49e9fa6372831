// String text written straight from a str's code units (write_units_text)
// against the two-step way it replaces: encode_utf8 into a buffer, then
// write_string_text. Random units of each width mix ASCII stretches of every
// length, bytes to escape and each UTF-8 length; a surrogate must refuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/string_text.hpp"
#include "codec/utf8_encode.hpp"

namespace pelm::codec {
namespace {

template <class Unit>
std::uint32_t random_unit(std::mt19937_64& rng) {
  static constexpr std::uint32_t kPicks[] = {'a',   '"',   '\\',   0x00,   0x1F,   0x7F,    0x80,    0xFF,
                                             0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  const std::uint32_t limit = sizeof(Unit) == 1 ? 0xFF : sizeof(Unit) == 2 ? 0xFFFF : 0x10FFFF;
  std::uint32_t c = 0;
  do {
    const auto roll = rng() % 8;
    c = roll < 4   ? static_cast<std::uint32_t>(0x20 + rng() % 0x5F)  // ASCII stretches
        : roll < 6 ? kPicks[rng() % std::size(kPicks)]
                   : static_cast<std::uint32_t>(rng() % (limit + 1));
  } while (c > limit || (c >= 0xD800 && c < 0xE000));
  return c;
}

template <class Unit>
void check_random_strings() {
  std::mt19937_64 rng(sizeof(Unit));
  for (int round = 0; round < 20000; ++round) {
    std::vector<Unit> units(rng() % 48);
    for (Unit& u : units) u = static_cast<Unit>(random_unit<Unit>(rng));
    std::string utf8(units.size() * kMaxUtf8PerUnit<Unit> + kEncodeSlack, '\0');
    utf8.resize(static_cast<std::size_t>(encode_utf8(units.data(), units.size(), utf8.data()) - utf8.data()));
    ByteBuffer expected;
    write_string_text(expected, utf8);
    std::string room(units_text_room(units.size()), '#');
    char* end = write_units_text(room.data(), units.data(), units.size());
    ASSERT_NE(end, nullptr);
    ASSERT_EQ(std::string(room.data(), end), std::string(expected.data(), expected.size())) << round;
    if constexpr (sizeof(Unit) > 1) {
      if (!units.empty()) {
        units[rng() % units.size()] = static_cast<Unit>(0xD800 + rng() % 0x800);
        EXPECT_EQ(write_units_text(room.data(), units.data(), units.size()), nullptr);
      }
    }
  }
}

TEST(UnitsText, MatchesEncodingThenEscaping) {
  check_random_strings<std::uint8_t>();
  check_random_strings<std::uint16_t>();
  check_random_strings<std::uint32_t>();
}

}  // namespace
}  // namespace pelm::codec
