// libFuzzer target: the JSON reader on arbitrary bytes.
//
// Properties checked on every input: the reader returns (no crash, no read
// outside the input, no hang); a failure carries one of the reader's own
// codes and messages (codec/reader.cpp), never the handler's stop code, at a
// position that some byte index of the input really has (inputs that run out
// report the end of input), and renders as "<message> at line L column C"; an
// accepted text, written back and read again, gives the same value (floats
// compared by bits); and a text that is one float number reads as the double
// nearest its decimal value, as std::from_chars computes it.
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "codec/writer.hpp"
#include "property.hpp"

namespace {

using pelm::codec::JsonError;
using pelm::codec::JsonErrorCode;
using pelm::fuzz::fail;

struct Position {
  std::uint64_t line;
  std::uint64_t column;
};

// Line and column of byte index `i`, counted independently of the reader.
Position position_of(std::string_view text, std::size_t i) {
  Position p{1, 0};
  std::size_t line_start = 0;
  for (std::size_t k = 0; k < i; ++k) {
    if (text[k] == '\n') {
      ++p.line;
      line_start = k + 1;
    }
  }
  p.column = i - line_start;
  return p;
}

// True when some index 0..size of `text` has this line and column.
bool is_reachable_position(std::string_view text, Position p) {
  if (p.line == 0) return false;
  std::size_t line_start = 0;
  for (std::uint64_t l = 1; l < p.line; ++l) {
    const auto lf = text.find('\n', line_start);
    if (lf == std::string_view::npos) return false;
    line_start = lf + 1;
  }
  auto line_end = text.find('\n', line_start);
  if (line_end == std::string_view::npos) line_end = text.size();
  return p.column <= line_end - line_start;
}

bool is_end_of_input(JsonErrorCode code) {
  return code == JsonErrorCode::EofWhileParsingList || code == JsonErrorCode::EofWhileParsingObject ||
         code == JsonErrorCode::EofWhileParsingString || code == JsonErrorCode::EofWhileParsingValue;
}

void check_failure(std::string_view text, const JsonError& e) {
  // The texts themselves are pinned by the native reader tests; here every
  // failure must be one of the reader's own codes, with its message.
  if (static_cast<std::size_t>(e.code) >= static_cast<std::size_t>(JsonErrorCode::HandlerStopped))
    fail("the reader failed with a code that is not a reader message");
  if (pelm::codec::message(e.code).empty()) fail("the reader's code has no message");
  const Position p{e.line, e.column};
  if (!is_reachable_position(text, p)) fail("error position lies outside the input");
  if (is_end_of_input(e.code)) {
    const Position end = position_of(text, text.size());
    if (p.line != end.line || p.column != end.column) fail("end-of-input error not at the end");
  }
  const std::string expected = std::string(pelm::codec::message(e.code)) + " at line " + std::to_string(e.line) +
                               " column " + std::to_string(e.column);
  if (e.text() != expected) fail("error text is not '<message> at line L column C'");
}

void check_round_trip(const pelm::codec::Value& first) {
  const auto text = pelm::codec::write_json(first);
  auto again = pelm::codec::read_json(text.view());
  if (const auto* e = std::get_if<JsonError>(&again)) {
    __builtin_printf("%s\n", e->text().c_str());
    fail("the writer's text of an accepted value does not read back");
  }
  if (std::get<pelm::codec::Value>(again) != first) fail("written and re-read value differs from the value first read");
}

// Differential check of the reader's own decimal-to-double conversion.
void check_number_rounding(std::string_view text, const pelm::codec::Value& v) {
  if (v.kind() != pelm::codec::Value::Kind::Float) return;
  const auto first = text.find_first_not_of(" \t\n\r");
  const auto last = text.find_last_not_of(" \t\n\r");
  const std::string_view number = text.substr(first, last - first + 1);
  double nearest = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), nearest);
  if (ec != std::errc() || end != number.data() + number.size()) return;  // out of range
  if (std::bit_cast<std::uint64_t>(nearest) != std::bit_cast<std::uint64_t>(std::get<double>(v.data)))
    fail("a float number does not read as the nearest double");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto result = pelm::codec::read_json(text);
  if (const auto* e = std::get_if<JsonError>(&result)) {
    check_failure(text, *e);
  } else {
    check_round_trip(std::get<pelm::codec::Value>(result));
    check_number_rounding(text, std::get<pelm::codec::Value>(result));
  }
  return 0;
}
