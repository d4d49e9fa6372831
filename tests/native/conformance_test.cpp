// Runs the reader over a public JSON parsing suite kept beside the checkout
// (never copied into it): y_ files must parse, n_ files must fail with one of
// the reader's own messages, and each i_ file (where parsers may differ) must
// get the verdict our rules give it, listed below with the reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"

namespace pelm::codec {
namespace {

namespace fs = std::filesystem;

struct SuiteFile {
  std::string name;
  std::string bytes;
};

// All suite files whose names start with `prefix`, sorted by name.
std::vector<SuiteFile> suite_files(std::string_view prefix) {
  const fs::path dir(PELM_JSON_SUITE_DIR);
  std::vector<SuiteFile> files;
  if (!fs::is_directory(dir)) {
    ADD_FAILURE() << "JSON parsing suite not found at " << dir
                  << " (expected tests/data/json_parsing in the checkout)";
    return files;
  }
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files.push_back({name, std::string(std::istreambuf_iterator<char>(in), {})});
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  EXPECT_FALSE(files.empty()) << "no " << prefix << " files in " << dir;
  return files;
}

std::optional<JsonError> read_error(const std::string& bytes) {
  auto result = read_json(bytes);
  if (auto* error = std::get_if<JsonError>(&result)) return *error;
  return std::nullopt;
}

TEST(JsonSuite, EveryAcceptFileParses) {
  for (const SuiteFile& f : suite_files("y_")) {
    const auto error = read_error(f.bytes);
    EXPECT_FALSE(error.has_value()) << f.name << ": " << error->text();
  }
}

TEST(JsonSuite, EveryRejectFileFailsWithAReaderMessage) {
  for (const SuiteFile& f : suite_files("n_")) {
    const auto error = read_error(f.bytes);
    if (!error) {
      ADD_FAILURE() << f.name << " was accepted";
      continue;
    }
    EXPECT_NE(error->code, JsonErrorCode::HandlerStopped) << f.name;
    EXPECT_GE(error->line, 1u) << f.name;
    EXPECT_TRUE(error->text().starts_with(message(error->code))) << f.name;
  }
}

// The verdict our rules give: nothing (accepted) or the failure's code.
struct Verdict {
  std::optional<JsonErrorCode> failure;
  const char* reason;
};

using enum JsonErrorCode;
constexpr std::nullopt_t kAccept = std::nullopt;

const std::map<std::string, Verdict, std::less<>> kImplementationDefined = {
    {"i_number_double_huge_neg_exp.json", {kAccept, "123.456e-789 underflows to zero"}},
    {"i_number_huge_exp.json", {NumberOutOfRange, "exponent overflows 32 bits, positive, nonzero digits"}},
    {"i_number_neg_int_huge_exp.json", {NumberOutOfRange, "-1e+9999 rounds beyond the largest double"}},
    {"i_number_pos_double_huge_exp.json", {NumberOutOfRange, "1.5e+9999 rounds beyond the largest double"}},
    {"i_number_real_neg_overflow.json", {NumberOutOfRange, "-123123e100000 rounds beyond the largest double"}},
    {"i_number_real_pos_overflow.json", {NumberOutOfRange, "123123e100000 rounds beyond the largest double"}},
    {"i_number_real_underflow.json", {kAccept, "123e-10000000 underflows to zero"}},
    {"i_number_too_big_neg_int.json", {kAccept, "a negative integer below -2^63 becomes a float"}},
    {"i_number_too_big_pos_int.json", {kAccept, "an integer above 2^64-1 becomes a float"}},
    {"i_number_very_big_negative_int.json", {kAccept, "a negative integer below -2^63 becomes a float"}},
    {"i_object_key_lone_2nd_surrogate.json", {LoneLeadingSurrogateInHexEscape, "low surrogate alone"}},
    {"i_string_1st_surrogate_but_2nd_missing.json", {UnexpectedEndOfHexEscape, "high surrogate then quote"}},
    {"i_string_1st_valid_surrogate_2nd_invalid.json",
     {LoneLeadingSurrogateInHexEscape, "high surrogate then a non-surrogate \\u escape"}},
    {"i_string_UTF-16LE_with_BOM.json", {ExpectedValue, "input must be UTF-8; 0xFF starts no value"}},
    {"i_string_UTF-8_invalid_sequence.json", {InvalidUnicodeCodePoint, "string bytes are not UTF-8"}},
    {"i_string_UTF8_surrogate_U+D800.json", {InvalidUnicodeCodePoint, "UTF-8 never encodes surrogates"}},
    {"i_string_incomplete_surrogate_and_escape_valid.json",
     {UnexpectedEndOfHexEscape, "high surrogate then \\n instead of \\u"}},
    {"i_string_incomplete_surrogate_pair.json", {LoneLeadingSurrogateInHexEscape, "\\uDd1e is a low surrogate"}},
    {"i_string_incomplete_surrogates_escape_valid.json",
     {LoneLeadingSurrogateInHexEscape, "two high surrogates in a row"}},
    {"i_string_invalid_lonely_surrogate.json", {UnexpectedEndOfHexEscape, "high surrogate then quote"}},
    {"i_string_invalid_surrogate.json", {UnexpectedEndOfHexEscape, "high surrogate then plain text"}},
    {"i_string_invalid_utf-8.json", {InvalidUnicodeCodePoint, "0xFF never occurs in UTF-8"}},
    {"i_string_inverted_surrogates_U+1D11E.json", {LoneLeadingSurrogateInHexEscape, "low surrogate first"}},
    {"i_string_iso_latin_1.json", {InvalidUnicodeCodePoint, "a Latin-1 byte is not UTF-8"}},
    {"i_string_lone_second_surrogate.json", {LoneLeadingSurrogateInHexEscape, "low surrogate alone"}},
    {"i_string_lone_utf8_continuation_byte.json", {InvalidUnicodeCodePoint, "continuation byte without lead"}},
    {"i_string_not_in_unicode_range.json", {InvalidUnicodeCodePoint, "code point above U+10FFFF"}},
    {"i_string_overlong_sequence_2_bytes.json", {InvalidUnicodeCodePoint, "overlong encoding"}},
    {"i_string_overlong_sequence_6_bytes.json", {InvalidUnicodeCodePoint, "six-byte forms are not UTF-8"}},
    {"i_string_overlong_sequence_6_bytes_null.json", {InvalidUnicodeCodePoint, "six-byte forms are not UTF-8"}},
    {"i_string_truncated-utf-8.json", {InvalidUnicodeCodePoint, "sequence cut short"}},
    {"i_string_utf16BE_no_BOM.json", {ExpectedValue, "input must be UTF-8; 0x00 starts no value"}},
    {"i_string_utf16LE_no_BOM.json", {ExpectedValue, "input must be UTF-8; 0x00 after '[' starts no value"}},
    {"i_structure_500_nested_arrays.json", {RecursionLimitExceeded, "the 128th nested bracket fails"}},
    {"i_structure_UTF-8_BOM_empty_object.json", {ExpectedValue, "a byte order mark is not whitespace"}},
};

TEST(JsonSuite, ImplementationDefinedFilesGetTheListedVerdict) {
  std::size_t seen = 0;
  for (const SuiteFile& f : suite_files("i_")) {
    const auto listed = kImplementationDefined.find(f.name);
    if (listed == kImplementationDefined.end()) {
      ADD_FAILURE() << f.name << " has no listed verdict";
      continue;
    }
    ++seen;
    const Verdict& v = listed->second;
    const auto error = read_error(f.bytes);
    const std::string got = error ? error->text() : "accepted";
    if (v.failure) {
      EXPECT_TRUE(error && error->code == *v.failure) << f.name << " (" << v.reason << "): " << got;
    } else {
      EXPECT_FALSE(error.has_value()) << f.name << " (" << v.reason << "): " << got;
    }
  }
  EXPECT_EQ(seen, kImplementationDefined.size()) << "listed files missing from the suite";
}

}  // namespace
}  // namespace pelm::codec
