// The parser behind parse_json: one pass, iterative, events to a handler.
//
// Invariants: `pos_` is the index of the next unread byte; `top_` points at
// the innermost open container's frame, or at the first frame (which belongs
// to no container) when none is open; it moves up only after the test that
// the 128th would be opened, so at most 127 containers are open and
// `frames_` never overflows; the input is never copied (strings with escapes
// are assembled in `scratch_`, reused for the whole call). Positions follow
// two rules: a byte that was looked at but not consumed reports the peek
// index (pos_ + 1, capped at the input length), everything else the consumed
// index pos_. Included at the end of reader.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "codec/byte_buffer.hpp"
#include "codec/decimal_to_double.hpp"
#include "codec/digits_to_uint.hpp"
#include "codec/eisel_lemire.hpp"
#include "codec/json_bytes.hpp"
#include "codec/utf8_validate.hpp"
#include "support/portable.hpp"

#if PELM_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace pelm::codec::detail {

// Builds the error for `code` at byte `index` of `text` (line and column).
[[nodiscard]] PELM_COLD JsonError json_error_at(std::string_view text, std::size_t index, JsonErrorCode code) noexcept;

inline constexpr std::uint8_t kNestingBudget = 128;

[[nodiscard]] constexpr bool is_json_digit(char c) noexcept { return c >= '0' && c <= '9'; }

[[nodiscard]] constexpr bool is_json_space(char c) noexcept {
  constexpr std::uint64_t kSpaces = (1ULL << ' ') | (1ULL << '\t') | (1ULL << '\n') | (1ULL << '\r');
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' && ((kSpaces >> byte) & 1) != 0;
}

// Index of the first byte at or after `pos` that is not JSON whitespace, or
// `len`. Indented text puts long runs of spaces before most tokens; they are
// passed sixteen bytes at a time where the vector unit is always there.
[[nodiscard]] inline std::size_t skip_space_run(const char* text, std::size_t pos, std::size_t len) noexcept {
#if PELM_HAVE_SSE2
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i feed = _mm_set1_epi8('\n');
  const __m128i ret = _mm_set1_epi8('\r');
  while (len - pos >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + pos));
    const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, feed), _mm_cmpeq_epi8(v, ret)));
    const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xFFFFu;
    if (other != 0) return pos + static_cast<std::size_t>(std::countr_zero(other));
    pos += 16;
  }
#endif
  while (pos < len && is_json_space(text[pos])) ++pos;
  return pos;
}

// Value of a hexadecimal digit of either case, or -1.
[[nodiscard]] constexpr int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends `cp` (a Unicode scalar value) as UTF-8.
inline void append_utf8(ByteBuffer& out, std::uint32_t cp) {
  char bytes[4];
  std::size_t n;
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

// Where a text comes from: anything is checked in full; the writer's own
// output is valid UTF-8 by construction, so its strings are not validated.
enum class TextOrigin : std::uint8_t { Any, OwnWriter };

template <class Handler, TextOrigin kOrigin = TextOrigin::Any>
class JsonParser {
 public:
  JsonParser(std::string_view text, Handler& handler) noexcept : text_(text), handler_(handler) {}

  std::optional<JsonError> run() {
    if (!parse_document()) return error_;
    return std::nullopt;
  }

 private:
  // What a value start left behind: a complete value, or an open container
  // whose first element (or first member's value) is due next.
  enum class Start : std::uint8_t { Complete, Opened, Failed };
  // What followed an element: the next value is due, or the innermost
  // container closed (itself a complete value of its parent).
  enum class Next : std::uint8_t { Value, Closed, Failed };

  struct Frame {
    bool is_object;
    std::size_t count;
  };

  bool parse_document() {
    for (;;) {
      const Start start = start_value();
      if (start == Start::Failed) return false;
      if (start == Start::Opened) continue;
      for (;;) {
        if (top_ == frames_.data()) return finish();
        const Next next = after_element();
        if (next == Next::Failed) return false;
        if (next == Next::Value) break;
      }
    }
  }

  bool finish() {
    skip_space();
    if (pos_ < text_.size()) return fail_peek(JsonErrorCode::TrailingCharacters);
    return true;
  }

  // ---- positions and failures ------------------------------------------

  [[nodiscard]] bool at_end() const noexcept { return pos_ >= text_.size(); }
  [[nodiscard]] char peek() const noexcept { return text_[pos_]; }

  bool fail_at(std::size_t index, JsonErrorCode code) {
    error_ = json_error_at(text_, index, code);
    return false;
  }
  bool fail_consumed(JsonErrorCode code) { return fail_at(pos_, code); }
  bool fail_peek(JsonErrorCode code) { return fail_at(pos_ < text_.size() ? pos_ + 1 : text_.size(), code); }
  bool stopped() { return fail_consumed(JsonErrorCode::HandlerStopped); }
  bool emitted(bool handler_result) { return handler_result || stopped(); }

  // Compact text has no whitespace at all: one test decides that case. The
  // writer puts none anywhere, so its own text skips even that test (a
  // blank in such text then reads as the byte it is, and fails the read).
  void skip_space() noexcept {
    if constexpr (kOrigin == TextOrigin::Any) {
      if (pos_ < text_.size() && is_json_space(text_[pos_])) {
        pos_ = skip_space_run(text_.data(), pos_ + 1, text_.size());
      }
    }
  }

  // ---- containers ---------------------------------------------------------

  Frame& top() noexcept { return *top_; }

  // At '[' or '{' (not yet consumed): spends one unit of the budget.
  bool open(bool is_object) {
    if (top_ == frames_.data() + kNestingBudget - 1) return fail_peek(JsonErrorCode::RecursionLimitExceeded);
    ++top_;
    ++pos_;
    top() = Frame{is_object, 0};
    return emitted(is_object ? handler_.begin_object() : handler_.begin_array());
  }

  bool close() {
    const Frame frame = top();
    ++pos_;
    --top_;
    return emitted(frame.is_object ? handler_.end_object(frame.count) : handler_.end_array(frame.count));
  }

  Start start_value() {
    skip_space();
    if (at_end()) return failed(fail_consumed(JsonErrorCode::EofWhileParsingValue));
    switch (peek()) {
      case '[':
        return start_array();
      case '{':
        return start_object();
      case '"':
        ++pos_;
        return completed(parse_string(false));
      case 'n':
        return completed(parse_literal("null") && emitted(handler_.null()));
      case 't':
        return completed(parse_literal("true") && emitted(handler_.boolean(true)));
      case 'f':
        return completed(parse_literal("false") && emitted(handler_.boolean(false)));
      default:
        if (peek() == '-' || is_json_digit(peek())) return completed(parse_number());
        return failed(fail_peek(JsonErrorCode::ExpectedValue));
    }
  }

  static Start completed(bool ok) noexcept { return ok ? Start::Complete : Start::Failed; }
  static Start failed(bool) noexcept { return Start::Failed; }

  Start start_array() {
    if (!open(false)) return Start::Failed;
    skip_space();
    if (at_end()) return failed(fail_consumed(JsonErrorCode::EofWhileParsingList));
    if (peek() == ']') return completed(close());
    return Start::Opened;
  }

  Start start_object() {
    if (!open(true)) return Start::Failed;
    skip_space();
    if (at_end()) return failed(fail_consumed(JsonErrorCode::EofWhileParsingObject));
    if (peek() == '}') return completed(close());
    if (peek() != '"') return failed(fail_peek(JsonErrorCode::KeyMustBeAString));
    return parse_member_key() ? Start::Opened : Start::Failed;
  }

  // At the key's opening quote: reads the key and the ':' after it.
  bool parse_member_key() {
    ++pos_;
    if (!parse_string(true)) return false;
    skip_space();
    if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingObject);
    if (peek() != ':') return fail_peek(JsonErrorCode::ExpectedColon);
    ++pos_;
    return true;
  }

  // Called after each complete value inside the innermost container.
  Next after_element() {
    Frame& frame = top();
    ++frame.count;
    // Compact text: a comma right before the next element's first byte.
    if (text_.size() - pos_ >= 2 && text_[pos_] == ',') {
      const char next = text_[pos_ + 1];
      // The writer never puts a blank or a ']' there; in its text anything
      // else after the comma fails as the value it does not start.
      if (!frame.is_object && (kOrigin == TextOrigin::OwnWriter || (next != ']' && !is_json_space(next)))) {
        ++pos_;
        return Next::Value;
      }
      if (frame.is_object && next == '"') {
        ++pos_;
        return parse_member_key() ? Next::Value : Next::Failed;
      }
    }
    skip_space();
    const char close_byte = frame.is_object ? '}' : ']';
    if (at_end()) {
      return next_failed(
          fail_consumed(frame.is_object ? JsonErrorCode::EofWhileParsingObject : JsonErrorCode::EofWhileParsingList));
    }
    if (peek() == close_byte) return close() ? Next::Closed : Next::Failed;
    if (peek() != ',') {
      return next_failed(
          fail_peek(frame.is_object ? JsonErrorCode::ExpectedObjectCommaOrEnd : JsonErrorCode::ExpectedListCommaOrEnd));
    }
    ++pos_;
    skip_space();
    if (at_end()) return next_failed(fail_consumed(JsonErrorCode::EofWhileParsingValue));
    if (peek() == close_byte) return next_failed(fail_peek(JsonErrorCode::TrailingComma));
    if (!frame.is_object) return Next::Value;
    if (peek() != '"') return next_failed(fail_peek(JsonErrorCode::KeyMustBeAString));
    return parse_member_key() ? Next::Value : Next::Failed;
  }

  static Next next_failed(bool) noexcept { return Next::Failed; }

  // ---- literals -----------------------------------------------------------

  // At the literal's first byte, already known to match.
  bool parse_literal(std::string_view word) {
    ++pos_;
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingValue);
      if (text_[pos_++] != word[i]) return fail_consumed(JsonErrorCode::ExpectedIdent);
    }
    return true;
  }

  // ---- numbers ------------------------------------------------------------

  // The number as its digits accumulate: significand × 10^exponent, exact
  // unless a digit had to be dropped. They decide the early verdict on
  // absurd exponents, and give a float's value directly
  // when they are exact and the exponent small; otherwise the value comes
  // from the number's whole text.
  struct Digits {
    std::uint64_t significand = 0;
    std::int64_t exponent = 0;
    std::size_t taken = 0;   // digits accumulated: the significand is below 10^taken
    bool truncated = false;  // a digit did not fit, so the significand is inexact
  };

  static constexpr std::uint64_t kSignificandCap = 1844674407370955161ULL;  // (2^64 - 1) / 10
  // Any 19 digits fit in 64 bits (10^19 - 1 < 2^64).
  static constexpr std::size_t kDigitsThatAlwaysFit = 19;

  static bool fits(std::uint64_t s, int digit) noexcept {
    return s < kSignificandCap || (s == kSignificandCap && digit <= 5);
  }

  bool parse_number() {
    ShortNumber number;
    if (read_short_number(number)) return emit_short_number(number);
    return parse_any_number();
  }

  // A number as stored text writes nearly all of them: an integer, a plain
  // fraction, or a float with an exponent of at most four digits, at most 19
  // significant digits in all (so the significand is exact). It is read in
  // one pass over a local pointer; anything else, malformed numbers included,
  // is declined with nothing consumed and read again by parse_any_number,
  // which owns every error and its position. A float the fast conversions
  // cannot decide, or that overflows, is declined too: both paths then give
  // the same double or the same error.
  struct ShortNumber {
    std::uint64_t significand;
    std::int64_t exponent;  // of the last digit
    std::size_t end;
    bool negative;
    bool is_float;
  };

  static constexpr std::size_t kShortExponentDigits = 4;

  // At 'e' or 'E': the exponent's value, or false for anything longer than
  // kShortExponentDigits digits (or malformed).
  static bool read_short_exponent(const char*& p, const char* end, std::int64_t& exponent) noexcept {
    ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::int64_t e = 0;
    std::size_t digits = 0;
    for (; p != end && is_json_digit(*p); ++p, ++digits) {
      if (digits == kShortExponentDigits) return false;
      e = e * 10 + (*p - '0');
    }
    if (digits == 0) return false;
    exponent = negative ? -e : e;
    return true;
  }

  bool read_short_number(ShortNumber& number) noexcept {
    const char* const data = text_.data();
    const char* const end = data + text_.size();
    const char* p = data + pos_;
    const bool negative = *p == '-';
    p += negative;
    if (p == end || !is_json_digit(*p)) return false;
    std::uint64_t significand = 0;
    std::size_t digits = 0;
    if (*p == '0') {
      ++p;
    } else {
      digits = read_digit_run(p, end, significand);
    }
    std::size_t fraction_digits = 0;
    bool is_float = p != end && *p == '.';
    if (is_float) {
      ++p;
      fraction_digits = read_digit_run(p, end, significand);
      if (fraction_digits == 0) return false;
    }
    // A digit here follows a leading zero.
    if (p != end && is_json_digit(*p)) return false;
    if (digits + fraction_digits > kDigitsThatAlwaysFit) return false;
    std::int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
      if (!read_short_exponent(p, end, exponent)) return false;
      is_float = true;
    }
    exponent -= static_cast<std::int64_t>(fraction_digits);
    number = ShortNumber{significand, exponent, static_cast<std::size_t>(p - data), negative, is_float};
    return true;
  }

  bool emit_short_number(const ShortNumber& number) {
    const std::size_t start = pos_;
    if (!number.is_float) {
      pos_ = number.end;
      return emit_integer(number.negative, number.significand, start);
    }
    const std::optional<double> magnitude = exact_digits_to_double(number.significand, number.exponent);
    if (!magnitude || std::isinf(*magnitude)) return parse_any_number();
    pos_ = number.end;
    return emitted(handler_.float_number(number.negative ? -*magnitude : *magnitude));
  }

  bool parse_any_number() {
    const std::size_t start = pos_;
    const bool negative = peek() == '-';
    Digits digits;
    if (negative) {
      ++pos_;
      if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingValue);
      if (!is_json_digit(peek())) {
        ++pos_;
        return fail_consumed(JsonErrorCode::InvalidNumber);
      }
    }
    if (!scan_integer_part(digits)) return false;
    bool integer_literal = true;
    bool zero_by_exponent = false;
    if (!at_end() && peek() == '.') {
      integer_literal = false;
      if (!scan_fraction(digits)) return false;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integer_literal = false;
      if (!scan_exponent(digits, zero_by_exponent)) return false;
    }
    if (zero_by_exponent) return emitted(handler_.float_number(negative ? -0.0 : 0.0));
    if (!integer_literal) return emit_float(negative, digits, start);
    if (!digits.truncated) return emit_integer(negative, digits.significand, start);
    return emit_outside_model(start, [&] { return emit_float(negative, digits, start); });
  }

  // Accumulates up to `limit` digits at pos_ into the significand without
  // overflow checks; the caller guarantees that they fit. Works on locals:
  // a char load may alias the parser's members, which would otherwise be
  // stored back on every digit.
  std::size_t take_digits(Digits& digits, std::size_t limit) noexcept {
    const char* const data = text_.data();
    const std::size_t first = pos_;
    const std::size_t stop = first + std::min(limit, text_.size() - first);
    std::uint64_t s = digits.significand;
    std::size_t i = first;
    for (; i < stop && is_json_digit(data[i]); ++i) s = s * 10 + static_cast<std::uint64_t>(data[i] - '0');
    digits.significand = s;
    digits.taken += i - first;
    pos_ = i;
    return i - first;
  }

  bool scan_integer_part(Digits& digits) {
    if (peek() == '0') {
      ++pos_;
      if (!at_end() && is_json_digit(peek())) return fail_peek(JsonErrorCode::InvalidNumber);
      return true;
    }
    take_digits(digits, kDigitsThatAlwaysFit);
    // A twentieth digit may still fit; the first that does not and all after
    // it are dropped, each raising the kept digits' exponent by one.
    for (; !at_end() && is_json_digit(peek()); ++pos_) {
      const int digit = peek() - '0';
      if (!digits.truncated && fits(digits.significand, digit)) {
        digits.significand = digits.significand * 10 + static_cast<std::uint64_t>(digit);
      } else {
        digits.truncated = true;
        ++digits.exponent;
      }
    }
    return true;
  }

  // At '.'. Fraction digits past the significand's capacity are dropped.
  bool scan_fraction(Digits& digits) {
    ++pos_;
    if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingValue);
    if (!is_json_digit(peek())) return fail_peek(JsonErrorCode::InvalidNumber);
    if (!digits.truncated && digits.taken < kDigitsThatAlwaysFit) {
      const std::size_t taken = take_digits(digits, kDigitsThatAlwaysFit - digits.taken);
      digits.exponent -= static_cast<std::int64_t>(taken);
    }
    bool dropping = digits.truncated;
    for (; !at_end() && is_json_digit(peek()); ++pos_) {
      const int digit = peek() - '0';
      dropping = dropping || !fits(digits.significand, digit);
      if (!dropping) {
        digits.significand = digits.significand * 10 + static_cast<std::uint64_t>(digit);
        --digits.exponent;
      }
    }
    digits.truncated = dropping;
    return true;
  }

  // At 'e' or 'E'. An exponent too long for 32 bits decides the number at
  // once: out of range if it is positive and the significand is nonzero,
  // otherwise a zero (`zero_by_exponent`).
  bool scan_exponent(Digits& digits, bool& zero_by_exponent) {
    ++pos_;
    bool negative = false;
    if (!at_end() && (peek() == '+' || peek() == '-')) negative = text_[pos_++] == '-';
    if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingValue);
    if (!is_json_digit(text_[pos_++])) return fail_consumed(JsonErrorCode::InvalidNumber);
    std::int32_t exponent = text_[pos_ - 1] - '0';
    bool overflowed = false;
    for (; !at_end() && is_json_digit(peek()); ++pos_) {
      const int digit = peek() - '0';
      overflowed = overflowed || exponent > 214748364 || (exponent == 214748364 && digit > 7);
      if (!overflowed) exponent = exponent * 10 + digit;
    }
    if (!overflowed) {
      digits.exponent += negative ? -std::int64_t{exponent} : std::int64_t{exponent};
      return true;
    }
    if (!negative && digits.significand != 0) return fail_consumed(JsonErrorCode::NumberOutOfRange);
    zero_by_exponent = true;
    return true;
  }

  // Exact digits with a small exponent convert by exact arithmetic, others
  // by the Eisel–Lemire step; a truncated significand by that step when both
  // ends of its range round alike. Anything undecided is read again from the
  // number's text `start`..pos_, sign included.
  static std::optional<double> exact_digits_to_double(std::uint64_t significand, std::int64_t exponent) noexcept {
    if (const std::optional<double> exact = exact_decimal_to_double(significand, exponent)) return exact;
    return eisel_lemire(significand, exponent);
  }

  bool emit_float(bool negative, const Digits& digits, std::size_t start) {
    const std::optional<double> magnitude = digits.truncated
                                                ? eisel_lemire_truncated(digits.significand, digits.exponent)
                                                : exact_digits_to_double(digits.significand, digits.exponent);
    if (magnitude) {
      if (std::isinf(*magnitude)) return fail_consumed(JsonErrorCode::NumberOutOfRange);
      return emitted(handler_.float_number(negative ? -*magnitude : *magnitude));
    }
    const std::optional<double> value = decimal_to_double(text_.substr(start, pos_ - start));
    if (!value) return fail_consumed(JsonErrorCode::NumberOutOfRange);
    return emitted(handler_.float_number(*value));
  }

  // An integer literal (no fraction, no exponent) starting at `start`.
  bool emit_integer(bool negative, std::uint64_t magnitude, std::size_t start) {
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (!negative) return emitted(handler_.uint(magnitude));
    if (magnitude == 0) return emit_outside_model(start, [&] { return emitted(handler_.float_number(-0.0)); });
    if (magnitude <= kMinMagnitude) {
      // -m computed in unsigned arithmetic, so 2^63 maps to INT64_MIN.
      return emitted(handler_.neg_int(static_cast<std::int64_t>(0 - magnitude)));
    }
    return emit_outside_model(start, [&] { return emitted(handler_.float_number(-static_cast<double>(magnitude))); });
  }

  // An integer literal the model has no integer for ("-0", and magnitudes
  // beyond -2^63 .. 2^64-1), which ends at pos_. The model reads it as a
  // float (`as_float` emits that); a handler that must tell such literals
  // apart takes their text through `integer_outside_model` instead.
  template <class AsFloat>
  bool emit_outside_model(std::size_t start, AsFloat as_float) {
    if constexpr (requires { handler_.integer_outside_model(std::string_view{}); }) {
      return emitted(handler_.integer_outside_model(text_.substr(start, pos_ - start)));
    } else {
      return as_float();
    }
  }

  // ---- strings ------------------------------------------------------------

  // Just after the opening quote. Emits the string as a key or a value.
  bool parse_string(bool is_key) {
    const char* const data = text_.data();
    const std::size_t len = text_.size();
    std::size_t run_start = pos_;
    bool escaped = false;
    bool non_ascii = false;
    for (;;) {
      const std::size_t end = find_run_end(data, pos_, len, non_ascii);
      pos_ = end;
      if (end == len) return fail_consumed(JsonErrorCode::EofWhileParsingString);
      const char c = data[end];
      ++pos_;
      if (c == '"') {
        std::string_view bytes(data + run_start, end - run_start);
        if (escaped) {
          scratch_.append(bytes);
          bytes = scratch_.view();
        }
        // Escapes only ever add valid sequences, so raw bytes decide.
        if (kOrigin == TextOrigin::Any && non_ascii && !is_valid_utf8(bytes)) {
          return fail_consumed(JsonErrorCode::InvalidUnicodeCodePoint);
        }
        // Raw runs were classified by the scan; escapes may have added any
        // code point, so an escaped string makes no promise.
        return emitted(emit_string(is_key, bytes, !non_ascii && !escaped));
      }
      if (c != '\\') return fail_consumed(JsonErrorCode::ControlCharacterWhileParsingString);
      if (!escaped) scratch_.clear();
      escaped = true;
      scratch_.append(data + run_start, end - run_start);
      if (!parse_escape()) return false;
      run_start = pos_;
    }
  }

  // Handlers that take a second argument on string and key events are told
  // when every byte is known to be below 0x80, which saves them a scan.
  bool emit_string(bool is_key, std::string_view bytes, bool ascii) {
    if (is_key) {
      if constexpr (requires { handler_.key(bytes, ascii); }) {
        return handler_.key(bytes, ascii);
      } else {
        return handler_.key(bytes);
      }
    }
    if constexpr (requires { handler_.string(bytes, ascii); }) {
      return handler_.string(bytes, ascii);
    } else {
      return handler_.string(bytes);
    }
  }

  // Just after a backslash: decodes one escape into the scratch buffer.
  bool parse_escape() {
    if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingString);
    char decoded;
    switch (text_[pos_++]) {
      case '"':
        decoded = '"';
        break;
      case '\\':
        decoded = '\\';
        break;
      case '/':
        decoded = '/';
        break;
      case 'b':
        decoded = '\b';
        break;
      case 'f':
        decoded = '\f';
        break;
      case 'n':
        decoded = '\n';
        break;
      case 'r':
        decoded = '\r';
        break;
      case 't':
        decoded = '\t';
        break;
      case 'u':
        return parse_unicode_escape();
      default:
        return fail_consumed(JsonErrorCode::InvalidEscape);
    }
    scratch_.put(decoded);
    return true;
  }

  // Reads the four hex digits of a "\u" escape into `unit`.
  bool parse_hex4(std::uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingString);
      const int v = hex_value(text_[pos_++]);
      if (v < 0) return fail_consumed(JsonErrorCode::InvalidEscape);
      unit = unit * 16 + static_cast<std::uint32_t>(v);
    }
    return true;
  }

  static bool is_low_surrogate(std::uint32_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }
  static bool is_high_surrogate(std::uint32_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }

  // Consumes `expected`; any other byte is consumed and fails the escape.
  bool expect_escape_byte(char expected) {
    if (at_end()) return fail_consumed(JsonErrorCode::EofWhileParsingString);
    if (text_[pos_++] != expected) return fail_consumed(JsonErrorCode::UnexpectedEndOfHexEscape);
    return true;
  }

  // Just after "\u".
  bool parse_unicode_escape() {
    std::uint32_t unit;
    if (!parse_hex4(unit)) return false;
    if (is_low_surrogate(unit)) return fail_consumed(JsonErrorCode::LoneLeadingSurrogateInHexEscape);
    if (is_high_surrogate(unit)) {
      std::uint32_t low;
      if (!expect_escape_byte('\\') || !expect_escape_byte('u') || !parse_hex4(low)) return false;
      if (!is_low_surrogate(low)) return fail_consumed(JsonErrorCode::LoneLeadingSurrogateInHexEscape);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(scratch_, unit);
    return true;
  }

  std::string_view text_;
  Handler& handler_;
  std::size_t pos_ = 0;
  // Frame k belongs to the container open at depth k; each is written on
  // open, before any read.
  std::array<Frame, kNestingBudget> frames_;
  Frame* top_ = frames_.data();
  ByteBuffer scratch_;
  JsonError error_{};
};

}  // namespace pelm::codec::detail

namespace pelm::codec {

template <class Handler>
std::optional<JsonError> parse_json(std::string_view text, Handler& handler) {
  detail::JsonParser<Handler> parser(text, handler);
  return parser.run();
}

template <class Handler>
std::optional<JsonError> parse_stored_json(std::string_view text, Handler& handler) {
  detail::JsonParser<Handler, detail::TextOrigin::OwnWriter> parser(text, handler);
  return parser.run();
}

}  // namespace pelm::codec
