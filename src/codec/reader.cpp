// The reader's failure values (messages, positions, text) and read_json,
// which builds a value tree from the parser's events.
//
// Hazard: the message texts are compared byte for byte by callers and tests;
// the backquotes and the "\u0000-\u001F" are part of them.
#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

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

// Builds a Value tree. Finished values wait on `values_` until their
// container closes; the names of open objects' members wait on `names_`.
// A closing container takes exactly its own `count` entries off the top.
class ValueBuilder {
 public:
  bool null() { return add(Value(Null{})); }
  bool boolean(bool b) { return add(Value(b)); }
  bool uint(std::uint64_t u) { return add(Value(u)); }
  bool neg_int(std::int64_t n) { return add(Value(NegInt{n})); }
  bool float_number(double d) { return add(Value(d)); }
  bool string(std::string_view s) { return add(Value(std::string(s))); }
  bool begin_array() { return true; }
  bool begin_object() { return true; }
  bool key(std::string_view name) {
    names_.emplace_back(name);
    return true;
  }

  bool end_array(std::size_t count) {
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(count);
    Array array(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    return add(Value(std::move(array)));
  }

  // Members are put in ascending name order so that each put appends; a
  // stable sort keeps text order among equal names and the last one wins.
  bool end_object(std::size_t count) {
    const std::size_t value_base = values_.size() - count;
    const std::size_t name_base = names_.size() - count;
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return compare_names(names_[name_base + a], names_[name_base + b]) < 0;
    });
    Object object;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t m = order[i];
      const bool superseded = i + 1 < count && names_[name_base + order[i + 1]] == names_[name_base + m];
      if (!superseded) object.put(std::move(names_[name_base + m]), std::move(values_[value_base + m]));
    }
    values_.resize(value_base);
    names_.resize(name_base);
    return add(Value(std::move(object)));
  }

  Value take_result() { return std::move(values_.front()); }

 private:
  bool add(Value v) {
    values_.push_back(std::move(v));
    return true;
  }

  std::vector<Value> values_;
  std::vector<std::string> names_;
};

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

std::variant<Value, JsonError> read_json(std::string_view text) {
  ValueBuilder builder;
  if (std::optional<JsonError> error = parse_json(text, builder)) return *error;
  return builder.take_result();
}

std::variant<Value, JsonError> read_stored_json(std::string_view text) {
  ValueBuilder builder;
  if (std::optional<JsonError> error = parse_stored_json(text, builder)) return *error;
  return builder.take_result();
}

}  // namespace pelm::codec
