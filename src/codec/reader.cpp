// The reader's failure values: messages, positions and text.
//
// Hazard: the message texts are compared byte for byte by callers and tests;
// the backquotes and the "\u0000-\u001F" are part of them.
#include <algorithm>
#include <array>
#include <string>

#include "codec/reader.hpp"

namespace pelm::codec {

namespace {

constexpr std::array<std::string_view, 21> kMessages = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
    "stopped by the value handler",
};
static_assert(kMessages.size() == static_cast<std::size_t>(JsonErrorCode::HandlerStopped) + 1);

}  // namespace

std::string_view message(JsonErrorCode code) noexcept { return kMessages[static_cast<std::size_t>(code)]; }

std::string JsonError::text() const {
  std::string out(message(code));
  if (line == 0) return out;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

namespace detail {

JsonError json_error_at(std::string_view text, std::size_t index, JsonErrorCode code) noexcept {
  const std::string_view before = text.substr(0, index);
  const std::size_t last_feed = before.rfind('\n');
  const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  const auto feeds = std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(line_start), '\n');
  return JsonError{code, 1 + static_cast<std::uint64_t>(feeds), index - line_start};
}

}  // namespace detail

}  // namespace pelm::codec
