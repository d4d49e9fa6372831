// Byte-exact checks of the JSON text writer: number layouts, the escape table,
// member ordering and payload sizes, plus differential runs of the fast paths
// (8-byte string scan, object reordering) against plain reference versions.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/writer.hpp"
#include "value_tree/value_text.hpp"

namespace pelm::codec {
namespace {

using Events = std::function<void(JsonWriter&)>;

std::string written(const Events& events) {
  ByteBuffer out;
  JsonWriter w(out);
  events(w);
  EXPECT_EQ(w.depth(), 0u);
  return std::string(out.view());
}

std::string float_text(double d) {
  ByteBuffer out;
  write_float_text(out, d);
  return std::string(out.view());
}

std::string string_text(std::string_view s) {
  ByteBuffer out;
  write_string_text(out, s);
  return std::string(out.view());
}

// A member name's text, written after `before` to catch a miscounted
// reservation or commit.
std::string member_name_text(std::string_view before, std::string_view s) {
  ByteBuffer out;
  out.append(before);
  write_member_name_text(out, s);
  return std::string(out.view());
}

// --- floats ------------------------------------------------------------------

struct FloatCase {
  double value;
  const char* text;
};
void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.text; }
class FloatLayout : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatLayout, WritesExactText) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, FloatLayout,
    testing::Values(FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{1.0, "1.0"},
                    FloatCase{-1.0, "-1.0"}, FloatCase{0.1, "0.1"}, FloatCase{1.5, "1.5"},
                    FloatCase{123.456, "123.456"}, FloatCase{123456789.0, "123456789.0"},
                    FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "1e+16"},
                    FloatCase{1e20, "1e+20"}, FloatCase{1e100, "1e+100"}, FloatCase{1e-7, "1e-7"},
                    FloatCase{1.5e300, "1.5e+300"}, FloatCase{5e-324, "5e-324"},
                    FloatCase{0.00001, "0.00001"}, FloatCase{0.000001, "1e-6"},
                    FloatCase{-0.000001, "-1e-6"}, FloatCase{0.000123, "0.000123"},
                    FloatCase{0.000012345, "0.000012345"}, FloatCase{0.0001, "0.0001"},
                    FloatCase{0.0005, "0.0005"}, FloatCase{0.00015, "0.00015"},
                    FloatCase{12.5, "12.5"}, FloatCase{-19.99, "-19.99"}, FloatCase{500000.0, "500000.0"},
                    FloatCase{99999999999.9999, "99999999999.9999"},
                    FloatCase{1e11, "100000000000.0"}, FloatCase{100000000000.0001, "100000000000.0001"},
                    FloatCase{0.30000000000000004, "0.30000000000000004"},
                    FloatCase{999999999999999.9, "999999999999999.9"},
                    FloatCase{1234567890123456.7, "1234567890123456.8"},
                    FloatCase{1e15 + 0.5, "1000000000000000.5"},
                    FloatCase{9999999999999998.0, "9999999999999998.0"},
                    FloatCase{123456789012345680.0, "1.2345678901234568e+17"},
                    FloatCase{12345678901234567890.0, "1.2345678901234567e+19"},
                    FloatCase{DBL_MAX, "1.7976931348623157e+308"},
                    FloatCase{-DBL_MIN, "-2.2250738585072014e-308"},  // the longest: 24 bytes
                    FloatCase{std::numeric_limits<double>::quiet_NaN(), "null"},
                    FloatCase{kInf, "null"}, FloatCase{-kInf, "null"}));

// Significant digits of a decimal text: no sign, point, exponent, or leading
// and trailing zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return {};
  return digits.substr(first, digits.find_last_not_of('0') - first + 1);
}

// The writer's text rebuilt independently from to_chars's shortest
// scientific digits: positional for decimal exponents in [-5, 15], else the
// scientific digits with a signed exponent without leading zeros.
std::string float_oracle(double d) {
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
  const std::string_view text(sci, static_cast<std::size_t>(end - sci));
  const auto e = text.find('e');
  const int exponent = std::stoi(std::string(text.substr(e + 1)));
  if (exponent < -5 || exponent > 15) {
    return std::string(text.substr(0, e)) + (exponent < 0 ? "e-" : "e+") + std::to_string(std::abs(exponent));
  }
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  std::string out;
  if (exponent < 0) {
    out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else if (digits.size() <= static_cast<std::size_t>(exponent) + 1) {
    out = digits + std::string(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0') + ".0";
  } else {
    out = digits.substr(0, static_cast<std::size_t>(exponent) + 1) + "." + digits.substr(static_cast<std::size_t>(exponent) + 1);
  }
  return out;
}

void check_round_trip(double d) {
  const std::string text = float_text(d);
  ASSERT_LE(text.size(), 24u) << text;
  ASSERT_EQ(text, (d < 0 ? "-" : "") + float_oracle(std::fabs(d)));
  // strtod, not std::from_chars: libc++ (macOS) has no from_chars for doubles.
  char* end = nullptr;
  const double back = std::strtod(text.c_str(), &end);
  ASSERT_EQ(end, text.c_str() + text.size()) << text;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(d)) << text;
  // Scientific, since the plain form prints large integral values exactly.
  char shortest[32];
  const char* s_end = std::to_chars(shortest, shortest + sizeof shortest, d, std::chars_format::scientific).ptr;
  ASSERT_EQ(significant_digits(text), significant_digits({shortest, s_end})) << text;
  const auto e = text.find('e');
  if (e == std::string::npos) {
    ASSERT_NE(text.find('.'), std::string::npos) << text;
  } else {
    const int exponent = std::stoi(text.substr(e + 1));
    ASSERT_TRUE(exponent < -5 || exponent > 15) << text;
    ASSERT_TRUE(text[e + 1] == '+' || text[e + 1] == '-') << text;
  }
}

TEST(FloatDifferential, RandomBitPatternsRoundTripWithShortestDigits) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 1000000; ++i) {
    std::uint64_t bits = rng();
    // Every other sample lands near 1.0, where the fixed layouts apply.
    if (i % 2 == 1) bits = (bits & 0x800FFFFFFFFFFFFFu) | ((1003 + rng() % 80) << 52);
    const double d = std::bit_cast<double>(bits);
    if (std::isfinite(d)) check_round_trip(d);
  }
}

TEST(FloatDifferential, FewDigitValuesAcrossTheLayoutThresholds) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::string src = std::to_string(1 + rng() % 1000000) + "e" + std::to_string(int(rng() % 30) - 14);
    const double d = std::strtod(src.c_str(), nullptr);
    check_round_trip(d);
    check_round_trip(-d);
  }
}

// Decimals of up to a few places take a shortcut past the shortest-digits
// search; they must come out byte for byte as the search writes them, on both
// sides of every limit the shortcut has (places, magnitude, tiny values).
TEST(FloatDifferential, ShortDecimalsMatchTheShortestDigitsSearch) {
  std::mt19937_64 rng(11);
  const double scales[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7};
  for (int i = 0; i < 300000; ++i) {
    const int magnitude_digits = 1 + static_cast<int>(rng() % 16);
    std::uint64_t mantissa = rng() % 1'000'000'000'000'000u;
    for (int k = 15; k > magnitude_digits; --k) mantissa /= 10;
    const double d = static_cast<double>(mantissa) / scales[rng() % 8];
    if (d == 0.0 || d >= 1e16) continue;
    ASSERT_EQ(float_text(d), float_oracle(d)) << mantissa;
    ASSERT_EQ(float_text(-d), "-" + float_oracle(d)) << mantissa;
    // The neighbours are long floats that must not take the shortcut's digits.
    const double up = std::nextafter(d, kInf);
    if (up < 1e16) {
      ASSERT_EQ(float_text(up), float_oracle(up)) << mantissa;
    }
    ASSERT_EQ(float_text(std::nextafter(d, 0.0)), float_oracle(std::nextafter(d, 0.0))) << mantissa;
  }
}

// --- integers ----------------------------------------------------------------

std::vector<std::pair<std::int64_t, std::string>> negative_edges() {
  std::vector<std::pair<std::int64_t, std::string>> rows{
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<std::int64_t>::min() + 1, "-9223372036854775807"}};
  for (std::int64_t p = 1;; p *= 10) {
    rows.emplace_back(-p, std::to_string(-p));
    if (p > 1) rows.emplace_back(-(p - 1), std::to_string(-(p - 1)));
    if (p > std::numeric_limits<std::int64_t>::max() / 10) break;
  }
  return rows;
}

std::vector<std::uint64_t> unsigned_edges() {
  std::vector<std::uint64_t> rows{0, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t p = 1;; p *= 10) {
    rows.push_back(p);
    rows.push_back(p - 1);
    if (p > std::numeric_limits<std::uint64_t>::max() / 10) break;
  }
  return rows;
}

class UnsignedText : public testing::TestWithParam<std::uint64_t> {};
TEST_P(UnsignedText, PlainDecimal) {
  EXPECT_EQ(written([](JsonWriter& w) { w.uint(GetParam()); }), std::to_string(GetParam()));
}
INSTANTIATE_TEST_SUITE_P(Edges, UnsignedText, testing::ValuesIn(unsigned_edges()));

class NegativeText : public testing::TestWithParam<std::pair<std::int64_t, std::string>> {};
TEST_P(NegativeText, MinusAndMagnitude) {
  EXPECT_EQ(written([](JsonWriter& w) { w.neg_int(GetParam().first); }), GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(Edges, NegativeText, testing::ValuesIn(negative_edges()));

// --- strings -----------------------------------------------------------------

// The text of one byte inside a string, written out the slow obvious way.
std::string reference_byte(unsigned char b) {
  switch (b) {
    case 0x08: return "\\b";
    case 0x09: return "\\t";
    case 0x0A: return "\\n";
    case 0x0C: return "\\f";
    case 0x0D: return "\\r";
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: break;
  }
  if (b < 0x20) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", b);
    return buf;
  }
  return std::string(1, static_cast<char>(b));
}

std::string reference_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) out += reference_byte(static_cast<unsigned char>(c));
  return out + "\"";
}

class EveryByte : public testing::TestWithParam<int> {};
TEST_P(EveryByte, AloneAndInsideCleanWords) {
  const char b = static_cast<char>(GetParam());
  EXPECT_EQ(string_text(std::string(1, b)), reference_string(std::string(1, b)));
  // At each lane of a 16-byte block, of an 8-byte word and of every shorter
  // tail, after a clean block or not, between neighbours of the escape bounds.
  std::string clean;
  for (int i = 0; i < 4; ++i) clean += "!#[]\x7f\x80\xff ~/";
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      std::string s = clean.substr(0, len);
      s[at] = b;
      EXPECT_EQ(string_text(s), reference_string(s)) << "len " << len << " at " << at;
    }
  }
}
INSTANTIATE_TEST_SUITE_P(AllBytes, EveryByte, testing::Range(0, 256));

TEST(StringText, ExactlyThirtyFourBytesAreEscaped) {
  int escaped = 0;
  for (int b = 0; b < 256; ++b) escaped += string_text(std::string(1, static_cast<char>(b))).size() != 3;
  EXPECT_EQ(escaped, 34);
  EXPECT_EQ(string_text(std::string_view("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(string_text("\x1f"), "\"\\u001f\"");
  EXPECT_EQ(string_text("/\x7f\xc3\xa9"), "\"/\x7f\xc3\xa9\"");
}

// A fixed slot of names (the record-shape memo's) asks member_name_fits
// before each write. Every room the check admits must hold the worst case
// (every byte escaped to six) in a buffer of exactly that size, so ASan sees
// any byte past it; and no room near zero may wrap into a yes.
TEST(StringText, MemberNameFitsAdmitsOnlyWhatFits) {
  for (std::size_t size = 0; size <= 600; ++size) {
    const std::string name(size, '\x01');
    for (std::size_t room = 0; room <= 6 * size + 8; ++room) {
      if (!member_name_fits(room, size)) continue;
      std::vector<char> slot(room);
      const char* end = write_member_name_chars(slot.data(), name);
      ASSERT_LE(static_cast<std::size_t>(end - slot.data()), room) << size;
    }
    EXPECT_TRUE(member_name_fits(6 * size + 3, size));
  }
  for (std::size_t room = 0; room < 3; ++room) EXPECT_FALSE(member_name_fits(room, 0));
}

TEST(StringText, RandomStringsAndMemberNamesMatchTheReference) {
  std::mt19937_64 rng(99);
  const std::string tricky = std::string("\0\x1f \"\\!#[]\x7f\x80\xff\n", 13);
  // Lengths beyond 2^16 cross the writer's reservation chunks.
  for (std::size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 65535, 65536, 65537, 200003}) {
    for (int round = 0; round < (len < 1000 ? 200 : 3); ++round) {
      std::string s(len, 'a');
      const unsigned density = 1 + rng() % 64;
      for (char& c : s) {
        if (rng() % density == 0) c = tricky[rng() % tricky.size()];
      }
      ASSERT_EQ(string_text(s), reference_string(s)) << "len " << len;
      const std::string before(rng() % 40, '{');
      ASSERT_EQ(member_name_text(before, s), before + reference_string(s) + ":") << "len " << len;
    }
  }
}

// --- objects -----------------------------------------------------------------

struct OrderCase {
  std::vector<std::string> names;  // member i has the value i
  std::string text;
};
void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.text; }
class MemberOrder : public testing::TestWithParam<OrderCase> {};
TEST_P(MemberOrder, AscendingRawBytesLaterDuplicateWins) {
  EXPECT_EQ(written([](JsonWriter& w) {
              w.begin_object();
              std::uint64_t i = 0;
              for (const std::string& name : GetParam().names) {
                w.key(name);
                w.uint(i++);
              }
              w.end_object();
            }),
            GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Table, MemberOrder,
    testing::Values(OrderCase{{}, "{}"}, OrderCase{{"a"}, R"({"a":0})"},
                    OrderCase{{"a", "b", "c"}, R"({"a":0,"b":1,"c":2})"},
                    OrderCase{{"b", "a", "A", "aa"}, R"({"A":2,"a":1,"aa":3,"b":0})"},
                    OrderCase{{"\xc3\xa9", "~", "\x7f", "z"}, "{\"z\":3,\"~\":1,\"\x7f\":2,\"\xc3\xa9\":0}"},
                    OrderCase{{"ab", "a", ""}, R"({"":2,"a":1,"ab":0})"},
                    OrderCase{{std::string("a\0", 2), "a"}, R"({"a":1,"a\u0000":0})"},
                    OrderCase{{"a", "b", "a"}, R"({"a":2,"b":1})"},
                    OrderCase{{"b", "a", "b"}, R"({"a":1,"b":2})"},
                    OrderCase{{"a", "a"}, R"({"a":1})"}, OrderCase{{"x", "x", "x"}, R"({"x":2})"},
                    OrderCase{{" ", "\n"}, R"({"\n":1," ":0})"},
                    OrderCase{{"#", "\"", "!"}, R"({"!":2,"\"":1,"#":0})"},
                    OrderCase{{"]", "\\", "["}, R"({"[":2,"\\":1,"]":0})"}));

TEST(ObjectOrder, NestedUnsortedObjectsInsideUnsortedObjects) {
  const std::string text = written([](JsonWriter& w) {
    w.begin_object();
    w.key("z");
    w.begin_object();
    w.key("b"); w.uint(1); w.key("a"); w.uint(2);
    w.end_object();
    w.key("y");
    w.begin_array();
    w.begin_object();
    w.key("d"); w.uint(1); w.key("c");
    w.begin_object();
    w.key("f"); w.uint(1); w.key("e"); w.uint(2);
    w.end_object();
    w.end_object();
    w.end_array();
    w.key("k"); w.begin_object(); w.key("q"); w.null(); w.end_object();
    w.key("x"); w.string("v");
    w.key("k"); w.begin_array(); w.end_array();  // replaces the object above
    w.end_object();
  });
  EXPECT_EQ(text, R"({"k":[],"x":"v","y":[{"c":{"e":2,"f":1},"d":1}],"z":{"a":2,"b":1}})");
}

TEST(ObjectOrder, ReorderingRespectsTextAlreadyInTheBuffer) {
  ByteBuffer out;
  out.append("prefix");
  JsonWriter w(out);
  w.begin_array(); w.uint(1); w.begin_object();
  w.key("b"); w.boolean(false); w.key("a"); w.float_number(-0.0);
  w.end_object(); w.neg_int(-3); w.end_array();
  EXPECT_EQ(out.view(), R"(prefix[1,{"a":-0.0,"b":false},-3])");
}

// Small objects and large ones are ordered by different code, and names are
// compared by their first eight bytes before the rest: the shapes cover both
// sizes, names around eight bytes sharing long prefixes, NUL and high bytes.
struct ShuffleShape {
  std::uint64_t max_members;  // exclusive
  std::uint64_t max_name_length;  // exclusive
  std::string alphabet;
};
void PrintTo(const ShuffleShape& s, std::ostream* os) { *os << s.max_members << "x" << s.max_name_length; }
class ShuffledNames : public testing::TestWithParam<ShuffleShape> {};
TEST_P(ShuffledNames, MatchAnOrderedMap) {
  const ShuffleShape& shape = GetParam();
  std::mt19937_64 rng(5);
  for (int round = 0; round < 300; ++round) {
    std::map<std::string, std::uint64_t> last;  // std::string orders as unsigned bytes
    ByteBuffer out;
    JsonWriter w(out);
    w.begin_object();
    for (std::uint64_t i = 0, n = rng() % shape.max_members; i < n; ++i) {
      std::string name(rng() % shape.max_name_length, ' ');
      for (char& c : name) c = shape.alphabet[rng() % shape.alphabet.size()];
      w.key(name);
      w.uint(i);
      last[name] = i;
    }
    w.end_object();
    std::string expected = "{";
    for (const auto& [name, v] : last) {
      if (expected.size() > 1) expected += ',';
      expected += reference_string(name);
      expected += ':';
      expected += std::to_string(v);
    }
    ASSERT_EQ(out.view(), expected + "}");
  }
}
INSTANTIATE_TEST_SUITE_P(Table, ShuffledNames,
                         testing::Values(ShuffleShape{300, 4, "ab\n\"\xc3"},
                                         ShuffleShape{18, 4, "ab\n\"\xc3"},
                                         ShuffleShape{18, 12, std::string("a\0\xff", 3)},
                                         ShuffleShape{18, 11, std::string("ab", 2)},
                                         ShuffleShape{40, 10, std::string("\x7f\x80\0", 3)}));

// One writer reorders a long run of objects, as it does for a list of
// records: repeated shapes reuse the last order found, so every neighbour of
// a repeat (same bytes split into other names, one name changed, a
// duplicate name, a reordered arrival) must still come out sorted.
TEST(ObjectOrder, RepeatedShapesInOneWriterMatchAnOrderedMap) {
  const std::vector<std::vector<std::string>> shapes = {
      {"id", "name", "city", "email", "joined", "score", "active", "tags"},
      {"idn", "ame", "city", "email", "joined", "score", "active", "tags"},  // same bytes, split elsewhere
      {"id", "name", "city", "email", "joined", "score", "active", "tagz"},
      {"id", "name", "city", "id", "joined", "score", "active", "tags"},  // a duplicate
      {"name", "id", "city", "email", "joined", "score", "active", "tags"},
      {"b", "a"},
      {"", "b", "a", ""},
  };
  std::mt19937_64 rng(17);
  ByteBuffer out;
  JsonWriter w(out);
  std::string expected = "[";
  w.begin_array();
  for (int round = 0; round < 2000; ++round) {
    const auto& names = shapes[rng() % 3 == 0 ? rng() % shapes.size() : 0];
    std::map<std::string, std::uint64_t> last;
    w.begin_object();
    for (std::uint64_t i = 0; i < names.size(); ++i) {
      w.key(names[i]);
      w.uint(i);
      last[names[i]] = i;
    }
    w.end_object();
    if (round != 0) expected += ',';
    expected += '{';
    bool first = true;
    for (const auto& [name, v] : last) {
      if (!first) expected += ',';
      first = false;
      expected += reference_string(name) + ":" + std::to_string(v);
    }
    expected += '}';
  }
  w.end_array();
  ASSERT_EQ(out.view(), expected + "]");
}

// --- whole values ------------------------------------------------------------

Value object_of(std::vector<std::pair<std::string, Value>> members) {
  Object o;
  for (auto& [name, v] : members) o.put(name, std::move(v));
  return o;
}

struct PayloadCase {
  Value value;
  std::string text;
  std::size_t size;
};
void PrintTo(const PayloadCase& c, std::ostream* os) { *os << c.text; }
class Payload : public testing::TestWithParam<PayloadCase> {};
TEST_P(Payload, ExactTextAndSize) {
  const ByteBuffer out = write_json(GetParam().value);
  EXPECT_EQ(out.view(), GetParam().text);
  EXPECT_EQ(out.size(), GetParam().size);
}
INSTANTIATE_TEST_SUITE_P(
    Edges, Payload,
    testing::Values(PayloadCase{Null{}, "null", 4}, PayloadCase{true, "true", 4},
                    PayloadCase{false, "false", 5}, PayloadCase{std::uint64_t{0}, "0", 1},
                    PayloadCase{"", R"("")", 2}, PayloadCase{Array{}, "[]", 2},
                    PayloadCase{Object{}, "{}", 2}, PayloadCase{"\xc3\xa9", "\"\xc3\xa9\"", 4},
                    PayloadCase{"\n", R"("\n")", 4}, PayloadCase{"\x01", R"("\u0001")", 8},
                    PayloadCase{Array{std::uint64_t{1}, Array{std::uint64_t{2}, std::uint64_t{3}}},
                                "[1,[2,3]]", 9},
                    PayloadCase{object_of({{"b", std::uint64_t{1}}, {"a", Array{true, Null{}}}}),
                                R"({"a":[true,null],"b":1})", 23},
                    PayloadCase{Array{NegInt{-5}, 2.5, "s"}, R"([-5,2.5,"s"])", 12}));

TEST(WholeValue, DeepNestingWritesEveryBracket) {
  constexpr std::size_t kDepth = 5000;
  Value v = Array{};
  for (std::size_t i = 1; i < kDepth; ++i) {
    Array outer;  // not Array{v}: an initializer list would copy the whole tree
    outer.push_back(std::move(v));
    v = std::move(outer);
  }
  EXPECT_EQ(write_json(v).view(), std::string(kDepth, '[') + std::string(kDepth, ']'));
}

}  // namespace
}  // namespace pelm::codec
