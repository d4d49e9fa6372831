// Checks the UTF-8 validator against a decoder written from the definition:
// every sequence of up to three bytes, every four-byte lead and second byte,
// and each placed across the validator's 16-byte block boundaries.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "codec/utf8_validate.hpp"

namespace pelm::codec {
namespace {

// Decodes by value: valid when every sequence has the length its lead
// announces, is the shortest form of its code point, and the code point is
// neither a surrogate nor above U+10FFFF.
bool reference_valid(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (lead < 0x80) { len = 1; cp = lead; }
    else if ((lead & 0xE0) == 0xC0) { len = 2; cp = lead & 0x1F; }
    else if ((lead & 0xF0) == 0xE0) { len = 3; cp = lead & 0x0F; }
    else if ((lead & 0xF8) == 0xF0) { len = 4; cp = lead & 0x07; }
    else return false;
    if (s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    constexpr std::uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += len;
  }
  return true;
}

// The sequence alone, and with ASCII before it so that it starts at each
// offset around the first and second block boundaries, and with ASCII after.
void expect_agrees(const std::string& seq) {
  const bool want = reference_valid(seq);
  ASSERT_EQ(is_valid_utf8(seq), want) << "alone";
  for (std::size_t pad : {1u, 12u, 13u, 14u, 15u, 16u, 29u, 31u, 32u}) {
    const std::string padded = std::string(pad, 'a') + seq + std::string(17, 'z');
    ASSERT_EQ(is_valid_utf8(padded), want) << "after " << pad << " ASCII bytes";
  }
}

TEST(Utf8Validate, AgreesOnEverySequenceUpToThreeBytes) {
  for (unsigned a = 0; a < 256; ++a) {
    expect_agrees(std::string(1, static_cast<char>(a)));
    for (unsigned b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(is_valid_utf8(two), reference_valid(two));
      if (a < 0xC0) continue;
      for (unsigned c = 0; c < 256; ++c) {
        const std::string three = two + static_cast<char>(c);
        ASSERT_EQ(is_valid_utf8(three), reference_valid(three)) << a << ' ' << b << ' ' << c;
      }
    }
  }
}

TEST(Utf8Validate, AgreesAcrossBlockBoundaries) {
  for (unsigned a = 0xC0; a < 256; ++a) {
    for (unsigned b : {0x7Fu, 0x80u, 0x8Fu, 0x90u, 0x9Fu, 0xA0u, 0xBFu, 0xC0u}) {
      for (unsigned c : {0x41u, 0x80u, 0xBFu, 0xC0u}) {
        for (unsigned d : {0x41u, 0x80u, 0xBFu, 0xC0u}) {
          expect_agrees({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)});
        }
        expect_agrees({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
      }
      expect_agrees({static_cast<char>(a), static_cast<char>(b)});
    }
  }
}

// A long valid mixed-script text, then the same text broken at each position
// by a stray continuation byte or a truncated sequence at the very end.
TEST(Utf8Validate, FindsOneBadByteInLongText) {
  const std::string text = "Größe née 東京タワー Ωμέγα кириллица ☕ \xF0\x9F\x98\x80 plain ascii run here";
  std::string longer;
  for (int i = 0; i < 8; ++i) longer += text;
  ASSERT_TRUE(is_valid_utf8(longer));
  for (std::size_t at = 0; at < longer.size(); at += 7) {
    std::string broken = longer;
    broken.insert(at, 1, '\x80');
    ASSERT_FALSE(is_valid_utf8(broken)) << at;
  }
  ASSERT_FALSE(is_valid_utf8(longer + "\xE6\x9D"));
  ASSERT_TRUE(is_valid_utf8(std::string_view{}));
}

}  // namespace
}  // namespace pelm::codec
