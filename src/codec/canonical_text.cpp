// write_canonical: the reader's events forwarded to the writer, plus the
// refusals the reader does not make itself (see canonical_text.hpp).
//
// Positions: the reader reports a failure as a line and a column that count
// the byte where reading stopped from 1 (the end of the text for input that
// ends too soon); they are turned back into a byte offset counted from 0.
// A handler refusal carries its own offset when it has a better one than
// the reader's stop position (an integer's first byte).
#include "codec/canonical_text.hpp"

#include <cstddef>
#include <utility>

#include "codec/reader.hpp"
#include "support/portable.hpp"

namespace pelm::codec {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kNameShownAtMost = 40;

// Forwards each event to the writer; stops on what it must refuse.
class CanonicalHandler {
 public:
  CanonicalHandler(std::string_view text, JsonWriter& writer) noexcept : text_(text), w_(writer) {}

  bool null() { return w_.null(), true; }
  bool boolean(bool b) { return w_.boolean(b), true; }
  bool uint(std::uint64_t u) { return w_.uint(u), true; }
  bool neg_int(std::int64_t n) { return w_.neg_int(n), true; }
  bool float_number(double d) { return w_.float_number(d), true; }
  bool string(std::string_view utf8) { return w_.string(utf8), true; }
  bool key(std::string_view utf8) { return w_.key(utf8), true; }
  bool begin_array() { return w_.begin_array(), true; }
  bool begin_object() { return w_.begin_object(), true; }
  bool end_array(std::size_t) { return w_.end_array(), true; }

  // The writer merges a repeated name as it sorts the members; a drop
  // during this close means the object held one.
  bool end_object(std::size_t) {
    const std::size_t before = w_.repeated_names();
    w_.end_object();
    if (w_.repeated_names() == before) return true;
    return refuse(repeated_name_text(w_.last_repeated_name()), std::nullopt);
  }

  // "-0" is the integer 0, as any decoder that reads integers gives it.
  bool integer_outside_model(std::string_view literal) {
    if (literal == "-0") return w_.uint(0), true;
    return refuse("integer out of range", static_cast<std::uint64_t>(literal.data() - text_.data()));
  }

  [[nodiscard]] const std::string& refusal() const noexcept { return refusal_; }
  [[nodiscard]] std::optional<std::uint64_t> refusal_offset() const noexcept { return refusal_offset_; }

 private:
  bool refuse(std::string what, std::optional<std::uint64_t> offset) {
    refusal_ = std::move(what);
    refusal_offset_ = offset;
    return false;
  }

  PELM_COLD static std::string repeated_name_text(std::string_view name);

  std::string_view text_;
  JsonWriter& w_;
  std::string refusal_;
  std::optional<std::uint64_t> refusal_offset_;
};

std::string CanonicalHandler::repeated_name_text(std::string_view name) {
  std::size_t shown = name.size();
  const bool cut = shown > kNameShownAtMost;
  if (cut) {
    shown = kNameShownAtMost;
    // Never split a UTF-8 sequence: back up to the start of the cut one.
    while (shown > 0 && (static_cast<unsigned char>(name[shown]) & 0xC0) == 0x80) --shown;
  }
  ByteBuffer quoted;
  write_string_text(quoted, name.substr(0, shown));
  std::string out = "repeated member name ";
  out += quoted.view();
  if (cut) out += "...";
  return out;
}

bool ends_too_soon(JsonErrorCode code) noexcept {
  return code == JsonErrorCode::EofWhileParsingList || code == JsonErrorCode::EofWhileParsingObject ||
         code == JsonErrorCode::EofWhileParsingString || code == JsonErrorCode::EofWhileParsingValue;
}

// The byte offset (from 0) of the reader's failure position.
std::uint64_t offset_of(std::string_view text, const JsonError& e) {
  if (ends_too_soon(e.code)) return text.size();
  std::size_t line_start = 0;
  for (std::uint64_t line = 1; line < e.line; ++line) line_start = text.find('\n', line_start) + 1;
  const std::uint64_t index = line_start + e.column;
  return index == 0 ? 0 : index - 1;
}

}  // namespace

std::string CanonicalTextError::text() const { return what + " at byte " + std::to_string(offset); }

std::optional<CanonicalTextError> write_canonical(std::string_view text, JsonWriter& writer) {
  if (text.starts_with(kByteOrderMark)) return CanonicalTextError{"byte-order mark", 0};
  CanonicalHandler handler(text, writer);
  const std::optional<JsonError> error = parse_json(text, handler);
  if (!error) return std::nullopt;
  if (error->code != JsonErrorCode::HandlerStopped) {
    return CanonicalTextError{std::string(message(error->code)), offset_of(text, *error)};
  }
  return CanonicalTextError{handler.refusal(), handler.refusal_offset().value_or(offset_of(text, *error))};
}

}  // namespace pelm::codec
