// The JSON text reader: exactly RFC 8259, with fixed messages and positions.
//
// `parse_json(text, handler)` reads one value and streams it to the handler as
// events, so the caller chooses what to build: the Python layer builds Python
// objects straight from the events, the canonicaliser writes them again.
// The text is borrowed and never copied; string events carry views into the
// text, or into one scratch buffer reused for strings that contain escapes, so
// a view is only valid during its event.
//
// Handler interface (each returns false to stop the read; the reader then
// returns JsonErrorCode::HandlerStopped and the handler keeps its own reason):
//   bool null(); bool boolean(bool); bool uint(std::uint64_t);
//   bool neg_int(std::int64_t);            // always below zero
//   bool float_number(double);             // always finite
//   bool string(std::string_view utf8);    // valid UTF-8
//   bool begin_array(); bool end_array(std::size_t count);
//   bool begin_object(); bool key(std::string_view utf8);
//   bool end_object(std::size_t count);    // count of members as read, before
//                                          // duplicate names are merged
// A handler may instead take `string(std::string_view utf8, bool ascii)` and
// `key(std::string_view utf8, bool ascii)`: `ascii` true promises that every
// byte is below 0x80; false promises nothing (escapes are not inspected).
// A handler may also take `integer_outside_model(std::string_view literal)`:
// integer literals the model reads as floats ("-0", and integers beyond
// -2^63 .. 2^64-1) then come there, as their text, instead of as floats.
// Object members arrive in text order; a handler that needs the model's order
// (ascending names, later duplicate winning) must establish it itself.
//
// Nesting: at most 127 arrays/objects deep; the 128th fails with
// "recursion limit exceeded". The reader never recurses deeper than that.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelm::codec {

enum class JsonErrorCode : std::uint8_t {
  EofWhileParsingList,                 ///< input ends inside an array
  EofWhileParsingObject,               ///< input ends inside an object
  EofWhileParsingString,               ///< input ends inside a string or an escape
  EofWhileParsingValue,                ///< input ends where a value, literal byte or digit is due
  ExpectedColon,                       ///< no ':' after an object key
  ExpectedListCommaOrEnd,              ///< no ',' or ']' after an array element
  ExpectedObjectCommaOrEnd,            ///< no ',' or '}' after an object member
  ExpectedIdent,                       ///< a literal's byte differs from null/true/false
  ExpectedValue,                       ///< a byte that starts no value
  InvalidEscape,                       ///< bad escape byte or hex digit
  InvalidNumber,                       ///< malformed number
  NumberOutOfRange,                    ///< number too large for a double
  InvalidUnicodeCodePoint,             ///< string bytes are not valid UTF-8
  ControlCharacterWhileParsingString,  ///< byte below 0x20 inside a string
  KeyMustBeAString,                    ///< object member not starting with '"'
  LoneLeadingSurrogateInHexEscape,     ///< unpaired or mispaired surrogate escape
  UnexpectedEndOfHexEscape,            ///< high surrogate not followed by "\u"
  TrailingComma,                       ///< ',' directly before ']' or '}'
  TrailingCharacters,                  ///< non-whitespace after the value
  RecursionLimitExceeded,              ///< the 128th nested '[' or '{'
  HandlerStopped,                      ///< the handler returned false; it holds the reason
};

// The fixed message of a code, e.g. "trailing comma".
[[nodiscard]] std::string_view message(JsonErrorCode code) noexcept;

struct JsonError {
  JsonErrorCode code;
  std::uint64_t line;  // 1-based; 0 would mean "no position"
  std::uint64_t column;
  // "<message> at line <line> column <column>", or the bare message if line is 0.
  [[nodiscard]] std::string text() const;
};

// Reads `text` into `handler`; returns the error, or nothing on success.
template <class Handler>
[[nodiscard]] std::optional<JsonError> parse_json(std::string_view text, Handler& handler);

// The same for text this codec's writer produced (a stored entry), which is
// valid UTF-8 by construction: its strings skip UTF-8 validation, and
// handlers may decode them without checks. Never for text from elsewhere.
template <class Handler>
[[nodiscard]] std::optional<JsonError> parse_stored_json(std::string_view text, Handler& handler);

}  // namespace pelm::codec

#include "codec/parser.hpp"
