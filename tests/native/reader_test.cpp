// Checks of the JSON text reader: every failure message with its exact line
// and column, the number kinds and their boundaries, correctly rounded floats
// (ties, overlong significands, subnormals, the extremes, absurd exponents),
// the nesting budget, string scanning and validation across word boundaries,
// the handler event contract, and bit-exact float round trips.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "codec/writer.hpp"

namespace pelm::codec {
namespace {

std::string error_text(std::string_view text) {
  auto result = read_json(text);
  if (const auto* error = std::get_if<JsonError>(&result)) return error->text();
  return "<accepted>";
}

Value read_ok(std::string_view text) {
  auto result = read_json(text);
  if (const auto* error = std::get_if<JsonError>(&result)) {
    ADD_FAILURE() << "rejected " << text.substr(0, 80) << ": " << error->text();
    return Value();
  }
  return std::move(std::get<Value>(result));
}

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

// --- failures and positions ---------------------------------------------------

struct FailureCase {
  std::string input;
  std::string expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << testing::PrintToString(c.input); }

class ReaderFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ReaderFailure, MessageAndPosition) {
  EXPECT_EQ(error_text(GetParam().input), GetParam().expected);
}

const std::string kControlMessage = "control character (\\u0000-\\u001F) found while parsing a string";

INSTANTIATE_TEST_SUITE_P(
    EndOfInput, ReaderFailure,
    testing::Values(
        FailureCase{"[", "EOF while parsing a list at line 1 column 1"},
        FailureCase{"[1", "EOF while parsing a list at line 1 column 2"},
        FailureCase{"[1 ", "EOF while parsing a list at line 1 column 3"},
        FailureCase{"[\n  1", "EOF while parsing a list at line 2 column 3"},
        FailureCase{"{", "EOF while parsing an object at line 1 column 1"},
        FailureCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        FailureCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        FailureCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        FailureCase{"\"\\", "EOF while parsing a string at line 1 column 2"},
        FailureCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        FailureCase{"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
        FailureCase{"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
        FailureCase{"\"\\uD800\\u", "EOF while parsing a string at line 1 column 9"},
        FailureCase{"", "EOF while parsing a value at line 1 column 0"},
        FailureCase{"  ", "EOF while parsing a value at line 1 column 2"},
        FailureCase{"-", "EOF while parsing a value at line 1 column 1"},
        FailureCase{"tr", "EOF while parsing a value at line 1 column 2"},
        FailureCase{"1.", "EOF while parsing a value at line 1 column 2"},
        FailureCase{"1e", "EOF while parsing a value at line 1 column 2"},
        FailureCase{"1e-", "EOF while parsing a value at line 1 column 3"},
        FailureCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        FailureCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        FailureCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        FailureCase{"[\n1,\n", "EOF while parsing a value at line 3 column 0"}));

INSTANTIATE_TEST_SUITE_P(
    Structure, ReaderFailure,
    testing::Values(
        FailureCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        FailureCase{"{\"a\"\n\n  x}", "expected `:` at line 3 column 3"},
        FailureCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        FailureCase{"[1:", "expected `,` or `]` at line 1 column 3"},
        FailureCase{"[1}", "expected `,` or `]` at line 1 column 3"},
        FailureCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        FailureCase{"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
        FailureCase{"x", "expected value at line 1 column 1"},
        FailureCase{"[,1]", "expected value at line 1 column 2"},
        FailureCase{"]", "expected value at line 1 column 1"},
        FailureCase{"{\"a\":}", "expected value at line 1 column 6"},
        FailureCase{"+1", "expected value at line 1 column 1"},
        FailureCase{".5", "expected value at line 1 column 1"},
        FailureCase{"\f1", "expected value at line 1 column 1"},
        FailureCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        FailureCase{"{1:2}", "key must be a string at line 1 column 2"},
        FailureCase{"{,}", "key must be a string at line 1 column 2"},
        FailureCase{"{\"a\":1,2}", "key must be a string at line 1 column 8"},
        FailureCase{"[1,]", "trailing comma at line 1 column 4"},
        FailureCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        FailureCase{"[1,\n  ]", "trailing comma at line 2 column 3"},
        FailureCase{"1 2", "trailing characters at line 1 column 3"},
        FailureCase{"[] x", "trailing characters at line 1 column 4"},
        FailureCase{"{}}", "trailing characters at line 1 column 3"},
        FailureCase{"1\n\n  x", "trailing characters at line 3 column 3"},
        FailureCase{"nulll", "trailing characters at line 1 column 5"}));

INSTANTIATE_TEST_SUITE_P(
    LiteralsAndNumbers, ReaderFailure,
    testing::Values(
        FailureCase{"nulx", "expected ident at line 1 column 4"},
        FailureCase{"tRue", "expected ident at line 1 column 2"},
        FailureCase{"[fals ]", "expected ident at line 1 column 6"},
        FailureCase{"01", "invalid number at line 1 column 2"},
        FailureCase{"-01", "invalid number at line 1 column 3"},
        FailureCase{"[1.x]", "invalid number at line 1 column 4"},
        FailureCase{"1.e5", "invalid number at line 1 column 3"},
        FailureCase{"-x", "invalid number at line 1 column 2"},
        FailureCase{"- 1", "invalid number at line 1 column 2"},
        FailureCase{"1ex", "invalid number at line 1 column 3"},
        FailureCase{"[1e+]", "invalid number at line 1 column 5"},
        FailureCase{"1e309", "number out of range at line 1 column 5"},
        FailureCase{"[-1e309 ]", "number out of range at line 1 column 7"},
        FailureCase{"1.8e308", "number out of range at line 1 column 7"},
        FailureCase{"1.797693134862315808e308", "number out of range at line 1 column 24"},
        FailureCase{"1e99999999999999999999", "number out of range at line 1 column 22"},
        FailureCase{"[0.4e0066999999999999999]", "number out of range at line 1 column 24"},
        FailureCase{"1e2147483648", "number out of range at line 1 column 12"},
        FailureCase{"1" + std::string(309, '0'), "number out of range at line 1 column 310"},
        FailureCase{"1" + std::string(310, '0') + ".5e-1",
                    "number out of range at line 1 column 316"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ReaderFailure,
    testing::Values(
        FailureCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        FailureCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
        FailureCase{"\"ab\\u00G0\"", "invalid escape at line 1 column 8"},
        FailureCase{"\"\\uD800\\u00G0\"", "invalid escape at line 1 column 12"},
        FailureCase{"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
        FailureCase{"[\"a\xC0\xAF\"]", "invalid unicode code point at line 1 column 6"},
        FailureCase{"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},
        FailureCase{"\"\xF4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},
        FailureCase{"\"\xE0\x9F\xBF\"", "invalid unicode code point at line 1 column 5"},
        FailureCase{"\"\xE6\x97\"", "invalid unicode code point at line 1 column 4"},
        FailureCase{"\"\xE6\x97\\n\"", "invalid unicode code point at line 1 column 6"},
        // Validity is judged at the closing quote, after any escape fault.
        FailureCase{"\"\xFF\\x\"", "invalid escape at line 1 column 4"},
        FailureCase{"\"a\x01\"", kControlMessage + " at line 1 column 3"},
        FailureCase{"\"\t\"", kControlMessage + " at line 1 column 2"},
        FailureCase{"\"a\nb\"", kControlMessage + " at line 2 column 0"},
        FailureCase{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        FailureCase{"{\"\\uDFAA\":0}", "lone leading surrogate in hex escape at line 1 column 8"},
        FailureCase{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        FailureCase{"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        FailureCase{"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        FailureCase{"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
        FailureCase{"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"}));

// --- nesting ------------------------------------------------------------------

TEST(ReaderNesting, ArraysUpTo127DeepReadAnd128thBracketFails) {
  EXPECT_EQ(error_text(repeat("[", 127) + repeat("]", 127)), "<accepted>");
  EXPECT_EQ(error_text(repeat("[", 128) + repeat("]", 128)),
            "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_text(repeat("[", 500)), "recursion limit exceeded at line 1 column 128");
}

TEST(ReaderNesting, ObjectsCountLikeArrays) {
  EXPECT_EQ(error_text(repeat("{\"a\":", 127) + "1" + repeat("}", 127)), "<accepted>");
  EXPECT_EQ(error_text(repeat("{\"a\":", 128) + "1" + repeat("}", 128)),
            "recursion limit exceeded at line 1 column 636");
  EXPECT_EQ(error_text(repeat("[{\"a\":", 64)), "recursion limit exceeded at line 1 column 380");
}

TEST(ReaderNesting, PositionFollowsLines) {
  EXPECT_EQ(error_text(repeat("[\n", 128)), "recursion limit exceeded at line 128 column 1");
}

TEST(ReaderNesting, OnlyDepthCountsNotContainerTotal) {
  const std::string deep = repeat("[", 126) + repeat("]", 126);
  std::string text = "[" + deep;
  for (int i = 0; i < 300; ++i) text += "," + deep;
  text += "]";
  EXPECT_EQ(error_text(text), "<accepted>");
}

// --- numbers ------------------------------------------------------------------

struct NumberCase {
  std::string text;
  Value expected;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.text.substr(0, 60); }

class ReaderNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ReaderNumber, KindAndExactValue) {
  const Value got = read_ok(GetParam().text);
  EXPECT_EQ(got, GetParam().expected)
      << "kind " << static_cast<int>(got.kind()) << " expected " << static_cast<int>(GetParam().expected.kind());
  // The same number inside an array and surrounded by whitespace.
  const Value in_array = read_ok(" [ " + GetParam().text + " ] ");
  ASSERT_EQ(in_array.kind(), Value::Kind::Array);
  EXPECT_EQ(std::get<Array>(in_array.data), Array{GetParam().expected});
  // Far from the end of the text (digits read without end checks) and
  // twice in compact form (the comma taken on the short path).
  EXPECT_EQ(read_ok(GetParam().text + std::string(40, ' ')), GetParam().expected);
  const std::string pair = "[" + GetParam().text + "," + GetParam().text + "]" + std::string(40, ' ');
  EXPECT_EQ(read_ok(pair), Value(Array{GetParam().expected, GetParam().expected}));
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
const double kMinSubnormal = std::numeric_limits<double>::denorm_min();

INSTANTIATE_TEST_SUITE_P(
    IntegerKinds, ReaderNumber,
    testing::Values(
        NumberCase{"0", Value(std::uint64_t{0})}, NumberCase{"7", Value(std::uint64_t{7})},
        NumberCase{"9223372036854775807", Value(std::uint64_t{9223372036854775807u})},
        NumberCase{"9223372036854775808", Value(std::uint64_t{9223372036854775808u})},
        NumberCase{"18446744073709551615", Value(kU64Max)},
        NumberCase{"18446744073709551616", Value(0x1p64)},
        NumberCase{"18446744073709551619", Value(0x1p64)},
        NumberCase{"100000000000000000000", Value(1e20)},
        NumberCase{"-1", Value(NegInt{-1})},
        NumberCase{"-9223372036854775807", Value(NegInt{-9223372036854775807})},
        NumberCase{"-9223372036854775808", Value(NegInt{kI64Min})},
        NumberCase{"-9223372036854775809", Value(-0x1p63)},
        NumberCase{"-18446744073709551615", Value(-0x1p64)},
        NumberCase{"-18446744073709551616", Value(-0x1p64)},
        NumberCase{"-0", Value(-0.0)}, NumberCase{"-0.0", Value(-0.0)},
        NumberCase{"-0e0", Value(-0.0)}, NumberCase{"0.0", Value(0.0)},
        NumberCase{"1.0", Value(1.0)}, NumberCase{"1e2", Value(100.0)},
        NumberCase{"1E2", Value(100.0)}, NumberCase{"1e+2", Value(100.0)},
        NumberCase{"25e-2", Value(0.25)}, NumberCase{"-1.5", Value(-1.5)}));

// Numbers of at most 19 digits without an exponent take the short path;
// these sit on both sides of its limits.
INSTANTIATE_TEST_SUITE_P(
    ShortPathLimits, ReaderNumber,
    testing::Values(
        NumberCase{"1234567890123456789", Value(std::uint64_t{1234567890123456789u})},
        NumberCase{"-1234567890123456789", Value(NegInt{-1234567890123456789})},
        NumberCase{"9999999999999999999", Value(std::uint64_t{9999999999999999999u})},
        NumberCase{"12345678901234567890", Value(std::uint64_t{12345678901234567890u})},
        NumberCase{"99999999999999999999", Value(1e20)},
        NumberCase{"-99999999999999999999", Value(-1e20)},
        NumberCase{"123456789.0123456789", Value(123456789.0123456789)},
        NumberCase{"123456789.01234567891", Value(123456789.01234567891)},
        NumberCase{"0.0000000000000000001", Value(1e-19)},
        NumberCase{"0.00000000000000000001", Value(1e-20)},
        NumberCase{"-0.0000000000000000000", Value(-0.0)},
        NumberCase{"0.1234567890123456789", Value(0.1234567890123456789)},
        NumberCase{"9007199254740992.5", Value(0x1p53)},
        NumberCase{"9007199254740991.5", Value(0x1p53)},
        NumberCase{"900719925474099.15", Value(900719925474099.15)},
        NumberCase{"1.0000000000000000000", Value(1.0)},
        NumberCase{"285.03", Value(285.03)}, NumberCase{"-17", Value(NegInt{-17})},
        NumberCase{"912068.5437784989", Value(912068.5437784989)},
        NumberCase{"-886897.2645463826", Value(-886897.2645463826)}));

INSTANTIATE_TEST_SUITE_P(
    CorrectRounding, ReaderNumber,
    testing::Values(
        NumberCase{"1.25e300", Value(0x1.ddd4baa009303p+996)},
        NumberCase{"2.431064e-23", Value(0x1.d63c75634f89bp-76)},
        NumberCase{"0.1", Value(0.1)},
        NumberCase{"9007199254740993.0", Value(0x1p53)},
        NumberCase{"9007199254740995.0", Value(0x1.0000000000002p53)},
        // Digits far beyond the 19 that fit the significand still decide ties.
        NumberCase{"9007199254740993.00000000000000000001", Value(0x1.0000000000001p53)},
        NumberCase{"1.00000000000000011102230246251565404236316680908203125", Value(1.0)},
        NumberCase{"1.00000000000000011102230246251565404236316680908203126", Value(0x1.0000000000001p0)},
        NumberCase{"123456789012345678901234567890", Value(0x1.8ee90ff6c373ep+96)},
        NumberCase{"0." + std::string(400, '0') + "1e400", Value(0.1)},
        NumberCase{"1" + std::string(400, '0') + "e-400", Value(1.0)},
        NumberCase{"1.7976931348623157e+308", Value(DBL_MAX)},
        NumberCase{"1.7976931348623158079e308", Value(DBL_MAX)},
        NumberCase{"-1.7976931348623157e308", Value(-DBL_MAX)},
        NumberCase{"2.2250738585072014e-308", Value(DBL_MIN)},
        NumberCase{"2.2250738585072011e-308", Value(0x0.fffffffffffffp-1022)}));

INSTANTIATE_TEST_SUITE_P(
    UnderflowAndHugeExponents, ReaderNumber,
    testing::Values(
        NumberCase{"4.9406564584124654e-324", Value(kMinSubnormal)},
        NumberCase{"2.4703282292062328e-324", Value(kMinSubnormal)},
        NumberCase{"2.4703282292062327e-324", Value(0.0)},
        NumberCase{"-2.4703282292062327e-324", Value(-0.0)},
        NumberCase{"3e-324", Value(kMinSubnormal)}, NumberCase{"4.9e-324", Value(kMinSubnormal)},
        NumberCase{"-5e-324", Value(-kMinSubnormal)},
        NumberCase{"1e-323", Value(2 * kMinSubnormal)},
        NumberCase{"2e-324", Value(0.0)}, NumberCase{"1e-400", Value(0.0)},
        NumberCase{"-1e-400", Value(-0.0)}, NumberCase{"123.456e-789", Value(0.0)},
        NumberCase{"123e-10000000", Value(0.0)},
        NumberCase{"1e-2147483647", Value(0.0)}, NumberCase{"1e-2147483648", Value(0.0)},
        NumberCase{"1e-99999999999999999999", Value(0.0)},
        NumberCase{"-1e-99999999999999999999", Value(-0.0)},
        NumberCase{"0e99999999999", Value(0.0)}, NumberCase{"0e2147483647", Value(0.0)},
        NumberCase{"-0.000e99999999999999999999", Value(-0.0)},
        NumberCase{"0." + std::string(330, '0') + "1e20", Value(1e-311)}));

// 2^-1075, half the smallest subnormal, written out exactly (5^1075 / 10^1075).
std::string half_min_subnormal_digits() {
  std::vector<int> digits{1};  // little-endian decimal digits of 5^k
  for (int k = 0; k < 1075; ++k) {
    int carry = 0;
    for (int& d : digits) {
      const int v = d * 5 + carry;
      d = v % 10;
      carry = v / 10;
    }
    for (; carry != 0; carry /= 10) digits.push_back(carry % 10);
  }
  std::string text = "0." + std::string(1075 - digits.size(), '0');
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) text += static_cast<char>('0' + *it);
  return text;
}

TEST(ReaderFloat, ExactHalfOfSmallestSubnormalTiesToZeroAndAnythingAboveRoundsUp) {
  const std::string half = half_min_subnormal_digits();
  EXPECT_EQ(read_ok(half), Value(0.0));
  EXPECT_EQ(read_ok("-" + half), Value(-0.0));
  EXPECT_EQ(read_ok(half + "000000000001"), Value(kMinSubnormal));
  std::string just_below = half;
  just_below.back() = static_cast<char>(just_below.back() - 1);
  EXPECT_EQ(read_ok(just_below + "9999999"), Value(0.0));
}

// --- floats round trip --------------------------------------------------------

// Shortest text of `d` in a form that reads as a float (a "." or an "e").
std::string float_text(double d, std::chars_format format) {
  char buf[400];
  char* end = std::to_chars(buf, buf + sizeof buf, d, format).ptr;
  std::string text(buf, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// Reads all of `values` from one array text and checks every bit.
void expect_round_trip(const std::vector<double>& values, std::chars_format format) {
  std::string text = "[";
  for (double d : values) text += float_text(d, format) + ",";
  text.back() = ']';
  const Value got = read_ok(text);
  ASSERT_EQ(got.kind(), Value::Kind::Array);
  const Array& array = std::get<Array>(got.data);
  ASSERT_EQ(array.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(array[i], Value(values[i])) << float_text(values[i], format);
  }
}

std::vector<double> float_samples() {
  std::vector<double> out{0.0, -0.0, kMinSubnormal, 2 * kMinSubnormal, 0x0.fffffffffffffp-1022,
                          DBL_MIN, DBL_MAX, std::nextafter(DBL_MAX, 0.0), 1.0, 0.1, 1e22, 1e23,
                          5e-324, 1.25e300};
  std::mt19937_64 rng(0x5eed);
  for (int i = 0; i < 150000; ++i) {
    std::uint64_t bits = rng();
    if (i % 8 == 0) bits &= 0x800FFFFFFFFFFFFFULL;  // subnormals
    const double d = std::bit_cast<double>(bits);
    if (std::isfinite(d)) out.push_back(d);
  }
  for (std::size_t i = 0, n = out.size(); i < n && i < 20; ++i) out.push_back(-out[i]);
  return out;
}

TEST(ReaderFloat, RandomBitPatternsRoundTripBitExactly) {
  const std::vector<double> samples = float_samples();
  expect_round_trip(samples, std::chars_format::scientific);
  expect_round_trip(samples, std::chars_format::general);
}

TEST(ReaderFloat, LongPlainDigitFormsRoundTrip) {
  // Plain notation gives up to ~770 digits per number: every digit is read.
  std::vector<double> samples = float_samples();
  samples.resize(5000);
  expect_round_trip(samples, std::chars_format::fixed);
}

TEST(ReaderFloat, WriterOutputReadsBackUnchanged) {
  std::mt19937_64 rng(42);
  Array values;
  for (int i = 0; i < 20000; ++i) {
    const double d = std::bit_cast<double>(rng());
    if (std::isfinite(d)) values.emplace_back(d);
  }
  values.emplace_back(kU64Max);
  values.emplace_back(NegInt{kI64Min});
  values.emplace_back(-0.0);
  const Value original(std::move(values));
  const ByteBuffer text = write_json(original);
  EXPECT_EQ(read_ok(text.view()), original);
}

// The short path (plain digits, or an exponent of up to four digits) and the
// general one (forced by a five-digit exponent) must agree on every value,
// near the end of the text and far from it.
TEST(ReaderFloat, ShortAndGeneralPathsAgree) {
  std::mt19937_64 rng(11);
  const auto digits = [&](std::size_t n, bool lead_nonzero) {
    std::string d;
    for (std::size_t i = 0; i < n; ++i) d += static_cast<char>('0' + (i == 0 && lead_nonzero ? 1 + rng() % 9 : rng() % 10));
    return d;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::size_t int_len = rng() % 12;
    const std::string integer = int_len == 0 ? "0" : digits(int_len, true);
    const std::string fraction = digits(1 + rng() % (20 - std::max<std::size_t>(int_len, 1)), false);
    const std::string sign = rng() % 2 ? "-" : "";
    const std::string plain = sign + integer + "." + fraction;
    const Value general = read_ok(plain + "e00000");
    EXPECT_EQ(read_ok(plain), general) << plain;
    EXPECT_EQ(read_ok(plain + std::string(30, ' ')), general) << plain;
    const std::string all_digits = int_len == 0 ? fraction : integer + fraction;
    const std::string scaled = all_digits.find_first_not_of('0') == std::string::npos
                                   ? "0"
                                   : all_digits.substr(all_digits.find_first_not_of('0'));
    EXPECT_EQ(read_ok(sign + scaled + "e-" + std::to_string(fraction.size())), general) << plain;
    const int k = static_cast<int>(rng() % 61) - 30;
    const std::string e = (k < 0 ? "e-" : rng() % 2 ? "E+" : "e") + std::to_string(std::abs(k));
    const std::string padded = (k < 0 ? "e-" : "e") + std::string(5 - std::to_string(std::abs(k)).size(), '0') +
                               std::to_string(std::abs(k));
    EXPECT_EQ(read_ok(plain + e), read_ok(plain + padded)) << plain + e;
  }
}

// --- whitespace -----------------------------------------------------------------

TEST(ReaderWhitespace, AcceptedBetweenEveryTokenAndAroundTheValue) {
  const Value got = read_ok(" \t\r\n{ \"a\" \n:\t[ 1 ,\r\n2 ] , \"b\" : null } \n\t\r ");
  Object expected;
  expected.put("a", Value(Array{Value(std::uint64_t{1}), Value(std::uint64_t{2})}));
  expected.put("b", Value(Null{}));
  EXPECT_EQ(got, Value(std::move(expected)));
}

TEST(ReaderWhitespace, OnlyTheFourJsonSpacesCount) {
  EXPECT_EQ(error_text("[1,\f2]"), "expected value at line 1 column 4");
  EXPECT_EQ(error_text("[1\v]"), "expected `,` or `]` at line 1 column 3");
  EXPECT_EQ(error_text("1\xC2\xA0"), "trailing characters at line 1 column 2");
}

// Runs of every length around the sixteen-byte steps of the whitespace skip,
// ended by a token, by a byte that is no JSON space, or by the end of input.
TEST(ReaderWhitespace, RunsOfEveryLengthEndWhereTheyShould) {
  for (std::size_t n = 1; n <= 40; ++n) {
    const std::string run = repeat(" \t\r ", 10).substr(0, n);
    EXPECT_EQ(error_text("[" + run + "1" + run + "," + run + "2" + run + "]" + run), "<accepted>") << n;
    EXPECT_EQ(error_text("[" + run + "\f]"), "expected value at line 1 column " + std::to_string(n + 2)) << n;
    EXPECT_EQ(error_text("[1," + run), "EOF while parsing a value at line 1 column " + std::to_string(n + 3)) << n;
  }
}

// --- strings ----------------------------------------------------------------------

struct StringCase {
  std::string text;
  std::string expected;
};

void PrintTo(const StringCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ReaderString : public testing::TestWithParam<StringCase> {};

TEST_P(ReaderString, DecodesToExactBytes) {
  EXPECT_EQ(read_ok(GetParam().text), Value(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, ReaderString,
    testing::Values(
        StringCase{R"("")", ""},
        StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        StringCase{R"("\u0041\u00e9\u00E9\u20AC")", "A\xC3\xA9\xC3\xA9\xE2\x82\xAC"},
        StringCase{R"("\u0000")", std::string(1, '\0')},
        StringCase{R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        StringCase{R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        StringCase{R"("\uFFFF")", "\xEF\xBF\xBF"},
        StringCase{"\"a\xC3\xA9\\nb\xF0\x9F\x98\x80\"", "a\xC3\xA9\nb\xF0\x9F\x98\x80"},
        StringCase{"\"\x7F\xDF\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF\"", "\x7F\xDF\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF"}));

// The scan reads eight bytes at a time: put each kind of run end, and an
// invalid byte, at every offset around the word boundaries.
TEST(ReaderStringScan, RunEndsAtEveryOffset) {
  for (std::size_t n = 0; n < 40; ++n) {
    const std::string plain(n, 'x');
    EXPECT_EQ(read_ok("\"" + plain + "\""), Value(plain)) << n;
    EXPECT_EQ(read_ok("\"" + plain + "\\n" + plain + "\""), Value(plain + "\n" + plain)) << n;
    EXPECT_EQ(error_text("\"" + plain + "\x1F" + plain + "\""),
              kControlMessage + " at line 1 column " + std::to_string(n + 2)) << n;
    EXPECT_EQ(error_text("\"" + plain + "\xFF" + plain + "\""),
              "invalid unicode code point at line 1 column " + std::to_string(2 * n + 3)) << n;
    EXPECT_EQ(error_text("\"" + plain), "EOF while parsing a string at line 1 column " + std::to_string(n + 1));
  }
}

TEST(ReaderStringScan, NonAsciiAfterTheQuoteDoesNotLeakIntoTheString) {
  // The word holding the closing quote also holds the next string's bytes.
  EXPECT_EQ(read_ok("[\"ab\",\"\xC3\xA9\xC3\xA9\"]"), Value(Array{Value("ab"), Value("\xC3\xA9\xC3\xA9")}));
  EXPECT_EQ(error_text("[\"ab\",\"\xC3\"]"), "invalid unicode code point at line 1 column 9");
}

// --- objects and the handler contract -------------------------------------------

TEST(ReaderObject, MembersAscendingAndLaterDuplicateWins) {
  const Value got = read_ok(R"({"b":1,"a":2,"b":3,"":4,"ab":5,"a":6,"\u00e9":7,"~":8})");
  Object expected;
  const std::vector<std::pair<std::string, std::uint64_t>> winners{
      {"", 4}, {"a", 6}, {"ab", 5}, {"b", 3}, {"~", 8}, {"\xC3\xA9", 7}};
  for (const auto& [name, v] : winners) expected.put(name, Value(v));
  EXPECT_EQ(got, Value(std::move(expected)));
  const auto& members = std::get<Object>(got.data).members();
  ASSERT_EQ(members.size(), 6u);
  EXPECT_EQ(members.back().first, "\xC3\xA9");  // bytes compare unsigned
}

// Records events as text; returns false at the event numbered `stop_at`.
struct RecordingHandler {
  std::string log;
  int events = 0;
  int stop_at = -1;

  bool note(const std::string& s) {
    log += s + ";";
    return events++ != stop_at;
  }
  bool null() { return note("null"); }
  bool boolean(bool b) { return note(b ? "true" : "false"); }
  bool uint(std::uint64_t u) { return note("u" + std::to_string(u)); }
  bool neg_int(std::int64_t n) { return note("i" + std::to_string(n)); }
  bool float_number(double d) { return note("f" + std::to_string(d)); }
  bool string(std::string_view s) { return note("s:" + std::string(s)); }
  bool begin_array() { return note("["); }
  bool end_array(std::size_t n) { return note("]" + std::to_string(n)); }
  bool begin_object() { return note("{"); }
  bool key(std::string_view s) { return note("k:" + std::string(s)); }
  bool end_object(std::size_t n) { return note("}" + std::to_string(n)); }
};

TEST(ReaderHandler, EventsInTextOrderWithCountsBeforeMerging) {
  RecordingHandler h;
  const auto error = parse_json(R"({"b":[1,"x\n",-2,true],"a":{},"b":null,"c":[false,1.5]})", h);
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(h.log, "{;k:b;[;u1;s:x\n;i-2;true;]4;k:a;{;}0;k:b;null;k:c;[;false;f1.500000;]2;}4;");
}

// Records the ASCII promise given with every string and key.
struct AsciiFlagHandler : RecordingHandler {
  std::vector<bool> flags;
  bool string(std::string_view, bool ascii) { flags.push_back(ascii); return true; }
  bool key(std::string_view, bool ascii) { flags.push_back(ascii); return true; }
};

// The promise comes from the word scan, so a high byte is put at every offset
// around the word boundaries, in keys and in values; escapes promise nothing.
TEST(ReaderHandler, AsciiPromiseIsExactForRawRunsAndAbsentAfterEscapes) {
  for (std::size_t n = 0; n < 20; ++n) {
    const std::string plain(n, 'x');
    for (const std::string& high : {std::string(), std::string("\xC3\xA9")}) {
      const std::string s = plain + high + plain;
      AsciiFlagHandler h;
      ASSERT_FALSE(parse_json("{\"" + s + "\":\"" + s + "\",\"e\\n" + s + "\":\"\\u0041\"}", h).has_value());
      EXPECT_EQ(h.flags, (std::vector<bool>{high.empty(), high.empty(), false, false})) << n;
    }
  }
}

TEST(ReaderHandler, FalseStopsTheReadWithItsOwnCode) {
  for (int stop = 0; stop < 6; ++stop) {
    RecordingHandler h;
    h.stop_at = stop;
    const auto error = parse_json(R"([{"k":"v"},2])", h);
    ASSERT_TRUE(error.has_value()) << stop;
    EXPECT_EQ(error->code, JsonErrorCode::HandlerStopped) << stop;
    EXPECT_EQ(h.events, stop + 1);
  }
}

TEST(ReaderError, BareMessageWithoutPosition) {
  EXPECT_EQ((JsonError{JsonErrorCode::TrailingComma, 0, 0}.text()), "trailing comma");
  EXPECT_EQ((JsonError{JsonErrorCode::RecursionLimitExceeded, 1, 128}.text()),
            "recursion limit exceeded at line 1 column 128");
}

}  // namespace
}  // namespace pelm::codec
