// write_canonical: the stored form of accepted texts, and for refused ones the
// message and the byte offset (the Python layer's equivalence with insert is
// tested there, over generated values).
#include <gtest/gtest.h>

#include <string>

#include "codec/canonical_text.hpp"

namespace pelm::codec {
namespace {

std::string canonical(std::string_view text) {
  ByteBuffer out;
  JsonWriter w(out);
  if (auto e = write_canonical(text, w)) return "error: " + e->text();
  return std::string(out.view());
}

struct Case {
  std::string_view text;
  std::string_view expected;
};

class CanonicalText : public testing::TestWithParam<Case> {};

TEST_P(CanonicalText, GivesTheStoredFormOrTheRefusal) {
  EXPECT_EQ(canonical(GetParam().text), GetParam().expected) << GetParam().text;
}

constexpr Case kCases[] = {
    // The stored form.
    {" { \"b\" : [ 1 , 2.50 ] ,\n\"a\":\"\\u00e9\\/\\n\" } ", "{\"a\":\"\xC3\xA9/\\n\",\"b\":[1,2.5]}"},
    {"1E2", "100.0"},
    {"-0", "0"},
    {"-0.0", "-0.0"},
    {"-0e5", "-0.0"},
    {"1e-400", "0.0"},
    {"18446744073709551615", "18446744073709551615"},
    {"-9223372036854775808", "-9223372036854775808"},
    {"{\"\\u0000\":[{}],\"\":{\"z\":{},\"y\":[]}}", "{\"\":{\"y\":[],\"z\":{}},\"\\u0000\":[{}]}"},
    // Refusals of the reader, with its messages, at byte offsets.
    {"", "error: EOF while parsing a value at byte 0"},
    {"[1,\n2", "error: EOF while parsing a list at byte 5"},
    {"[1,\n2,]", "error: trailing comma at byte 6"},
    {"NaN", "error: expected value at byte 0"},
    {"-Infinity", "error: invalid number at byte 1"},
    {"[1e400]", "error: number out of range at byte 5"},
    {"\"\\udc00\"", "error: lone leading surrogate in hex escape at byte 6"},
    {"\"\\ud800x\"", "error: unexpected end of hex escape at byte 7"},
    // Refusals of the canonical form itself.
    {"\xEF\xBB\xBF{}", "error: byte-order mark at byte 0"},
    {"[0, 18446744073709551616]", "error: integer out of range at byte 4"},
    {"-9223372036854775809", "error: integer out of range at byte 0"},
    {"{\"a\":1,\n\"b\":{\"x\":2,\"x\":3}}", "error: repeated member name \"x\" at byte 24"},
    {"{\"b\":1,\"a\":2,\"b\":3}", "error: repeated member name \"b\" at byte 18"},
    {"{\"\\n\":0,\"\\u000a\":1}", "error: repeated member name \"\\n\" at byte 18"},
    {"{\"0123456789012345678901234567890123456789\xC3\xA9\":1,\"0123456789012345678901234567890123456789\xC3\xA9\":2}",
     "error: repeated member name \"0123456789012345678901234567890123456789\"... at byte 94"},
};

INSTANTIATE_TEST_SUITE_P(Table, CanonicalText, testing::ValuesIn(kCases));

TEST(CanonicalTextNesting, TakesTheReadersBudget) {
  const std::string deep_127 = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(canonical(deep_127), deep_127);
  EXPECT_EQ(canonical("[" + deep_127 + "]"), "error: recursion limit exceeded at byte 127");
}

}  // namespace
}  // namespace pelm::codec
