// The snapshot reader (see snapshot_reader.hpp).
//
// An entry line is taken apart by hand on the way every line written by a
// snapshot takes: '[', the key's string, ',', the time, ',', the text up to
// the line's last ']'. The key and the text then go through the JSON reader
// and the canonicaliser, which check them fully. Only a line that fails is
// read once more as a whole, to say whether it is not JSON at all or JSON of
// the wrong shape; that costs nothing on the way of a good snapshot.
#include "snapshot/snapshot_reader.hpp"

#include <cstring>
#include <limits>
#include <variant>

#include "codec/canonical_text.hpp"
#include "codec/reader.hpp"
#include "snapshot/crc32c.hpp"
#include "snapshot/line_fields.hpp"
#include "snapshot/snapshot_format.hpp"
#include "support/portable.hpp"

namespace pelm::snapshot {

namespace {

// A gathering buffer up to this size is kept for the next line.
constexpr std::size_t kKeepPendingBytes = std::size_t{1} << 20;

constexpr bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r'; }

std::size_t skip_space(std::string_view s, std::size_t i) noexcept {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

std::string_view trim_end(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Takes the one string a key literal holds; refuses anything else.
class KeyHandler {
 public:
  explicit KeyHandler(std::string& out) noexcept : out_(out) {}
  bool string(std::string_view utf8) { return out_.assign(utf8.data(), utf8.size()), true; }
  bool null() { return false; }
  bool boolean(bool) { return false; }
  bool uint(std::uint64_t) { return false; }
  bool neg_int(std::int64_t) { return false; }
  bool float_number(double) { return false; }
  bool key(std::string_view) { return false; }
  bool begin_array() { return false; }
  bool begin_object() { return false; }
  bool end_array(std::size_t) { return false; }
  bool end_object(std::size_t) { return false; }

 private:
  std::string& out_;
};

// What a whole line is, for the message of a line that failed: its elements
// at the top level and whether the first is a string.
class ShapeHandler {
 public:
  std::size_t top_elements = 0;
  bool first_is_string = false;
  bool is_array = false;

  bool null() { return value(false); }
  bool boolean(bool) { return value(false); }
  bool uint(std::uint64_t) { return value(false); }
  bool neg_int(std::int64_t) { return value(false); }
  bool float_number(double) { return value(false); }
  bool string(std::string_view) { return value(true); }
  bool key(std::string_view) { return true; }
  bool begin_array() {
    if (depth_ == 0) is_array = true;
    value(false);
    return ++depth_, true;
  }
  bool begin_object() {
    value(false);
    return ++depth_, true;
  }
  bool end_array(std::size_t) { return --depth_, true; }
  bool end_object(std::size_t) { return --depth_, true; }

 private:
  bool value(bool is_string) {
    if (depth_ == 1) {
      if (top_elements == 0) first_is_string = is_string;
      ++top_elements;
    }
    return true;
  }
  int depth_ = 0;
};

// Seconds since the epoch as nanoseconds: "digits" or "digits.digits",
// saturating at the largest time; decimals past the ninth are dropped.
std::optional<std::int64_t> parse_seconds(std::string_view s) noexcept {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::size_t i = 0;
  if (s.empty() || !(s[0] >= '0' && s[0] <= '9') || (s[0] == '0' && s.size() > 1 && s[1] >= '0' && s[1] <= '9')) {
    return std::nullopt;
  }
  std::int64_t seconds = 0;
  bool saturated = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int d = s[i] - '0';
    if (seconds > (kMax / kNanosPerSecond - d) / 10) saturated = true;
    if (!saturated) seconds = seconds * 10 + d;
  }
  std::int64_t fraction = 0;
  if (i < s.size()) {
    if (s[i] != '.' || i + 1 == s.size()) return std::nullopt;
    std::int64_t scale = kNanosPerSecond / 10;
    for (++i; i < s.size(); ++i, scale /= 10) {
      if (!(s[i] >= '0' && s[i] <= '9')) return std::nullopt;
      fraction += (s[i] - '0') * scale;
    }
  }
  if (saturated) return kMax;
  return seconds * kNanosPerSecond + fraction;  // seconds <= kMax / 1e9 - 1: no overflow
}

// The position part of a reader error within one line.
std::string column_text(const codec::JsonError& e) {
  return std::string(codec::message(e.code)) + " at column " + std::to_string(e.column);
}

bool is_uint_member(const LineFields& fields, std::string_view name, std::uint64_t& out) {
  const LineFields::Field* v = fields.find(name);
  if (v == nullptr) return false;
  const auto* u = std::get_if<std::uint64_t>(v);
  if (u == nullptr) return false;
  out = *u;
  return true;
}

}  // namespace

std::string SnapshotFault::text() const { return "snapshot refused at line " + std::to_string(line) + ": " + what; }

SnapshotFault repeated_key(std::uint64_t line, std::string_view key) {
  codec::ByteBuffer quoted;
  codec::write_string_text(quoted, key.substr(0, 80));
  return {line, "the key " + std::string(quoted.view()) + (key.size() > 80 ? "..." : "") +
                    " is repeated (an earlier line has it)"};
}

SnapshotFault text_too_large(std::uint64_t line, std::uint64_t size, std::uint64_t limit) {
  return {line, "the text (" + std::to_string(size) + " bytes) exceeds the cache limit (" + std::to_string(limit) +
                    " bytes)"};
}

std::optional<SnapshotFault> SnapshotReader::fault(std::string what) {
  failed_ = SnapshotFault{line_, std::move(what)};
  return failed_;
}

std::optional<SnapshotFault> SnapshotReader::feed(std::string_view piece, EntrySink& sink) {
  if (failed_) return failed_;
  while (!piece.empty()) {
    const void* found = std::memchr(piece.data(), '\n', piece.size());
    if (found == nullptr) {
      pending_.append(piece);
      if (line_ == 0 && pending_.size() > kMaxHeaderBytes) {
        ++line_;
        return fault("not a pelm_lib snapshot: its first line is no header");
      }
      return std::nullopt;
    }
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - piece.data()) + 1;
    std::optional<SnapshotFault> f;
    if (pending_.size() == 0) {
      f = line(piece.substr(0, end), sink);
    } else {
      pending_.append(piece.substr(0, end));
      f = line(pending_.view(), sink);
      pending_.clear();
    }
    if (f) return failed_ = f;
    piece.remove_prefix(end);
  }
  return std::nullopt;
}

std::optional<SnapshotFault> SnapshotReader::finish() {
  if (failed_) return failed_;
  if (pending_.size() != 0) {
    ++line_;
    return fault("the line has no line feed at its end: the snapshot is cut short");
  }
  if (line_ == 0) {
    line_ = 1;
    return fault("not a pelm_lib snapshot: it is empty");
  }
  if (!saw_trailer_) {
    ++line_;
    return fault("the trailer is missing: the snapshot is cut short");
  }
  return std::nullopt;
}

// `text` ends with its line feed.
std::optional<SnapshotFault> SnapshotReader::line(std::string_view text, EntrySink& sink) {
  ++line_;
  if (saw_trailer_) return fault("text after the trailer");
  const std::string_view body = text.substr(0, text.size() - 1);
  if (line_ == 1) {
    crc_ = crc32c_extend(crc_, text);
    return header(body);
  }
  if (body.empty()) return fault("an empty line");
  if (body[0] == '{') return trailer(body);
  // Summed first: `entry` may free the line's storage (see there).
  crc_ = crc32c_extend(crc_, text);
  return entry(body, sink);
}

std::optional<SnapshotFault> SnapshotReader::header(std::string_view text) {
  LineFields fields{"format", "version", "saved_at"};
  if (codec::parse_json(text, fields) || !fields.is_object()) {
    return fault("not a pelm_lib snapshot: its first line is no header");
  }
  const LineFields::Field* format = fields.find("format");
  const auto* name = format != nullptr ? std::get_if<std::string>(format) : nullptr;
  if (name == nullptr || *name != kFormatName) return fault("not a pelm_lib snapshot: the header names another format");
  std::uint64_t version = 0;
  if (!is_uint_member(fields, "version", version) || version == 0) {
    return fault("the header's version is not a whole number from 1");
  }
  if (version > kFormatVersion) {
    return fault("the snapshot's version " + std::to_string(version) + " is newer than this library reads (" +
                 std::to_string(kFormatVersion) + ")");
  }
  const LineFields::Field* saved_at = fields.find("saved_at");
  const bool time =
      saved_at != nullptr && (std::holds_alternative<std::uint64_t>(*saved_at) ||
                              (std::holds_alternative<double>(*saved_at) && std::get<double>(*saved_at) >= 0));
  if (!time) return fault("the header's saved_at is not a number of seconds");
  return std::nullopt;
}

std::optional<SnapshotFault> SnapshotReader::trailer(std::string_view text) {
  LineFields fields{"entries", "crc32c"};
  if (const std::optional<codec::JsonError> e = codec::parse_json(text, fields))
    return fault("not JSON: " + column_text(*e));
  std::uint64_t count = 0;
  std::uint64_t crc = 0;
  if (!fields.is_object() || !is_uint_member(fields, "entries", count) || !is_uint_member(fields, "crc32c", crc)) {
    return fault("the trailer must hold \"entries\" and \"crc32c\" as whole numbers");
  }
  if (count != entries_) {
    return fault("the trailer counts " + std::to_string(count) + " entries, but " + std::to_string(entries_) +
                 " came before it");
  }
  if (crc != crc_) return fault("the checksum does not match: the snapshot was altered or damaged");
  saw_trailer_ = true;
  return std::nullopt;
}

std::optional<SnapshotFault> SnapshotReader::entry(std::string_view text, EntrySink& sink) {
  // Every way out below that is not a plain success asks `shape` why.
  auto shape = [&](std::string why) -> std::optional<SnapshotFault> {
    ShapeHandler h;
    if (std::optional<codec::JsonError> e = codec::parse_json(text, h)) return fault("not JSON: " + column_text(*e));
    if (!h.is_array) return fault("an entry must be an array [key, expires_at, text]");
    if (h.top_elements != 3) {
      return fault("an entry has three elements [key, expires_at, text], not " + std::to_string(h.top_elements));
    }
    if (!h.first_is_string) return fault("the key is not a string");
    return fault(std::move(why));
  };
  if (text[0] != '[') return shape("an entry must be an array [key, expires_at, text]");
  // The key: a string literal, up to its closing quote.
  std::size_t at = skip_space(text, 1);
  if (at == text.size() || text[at] != '"') return shape("the key is not a string");
  std::size_t close = at + 1;
  while (close < text.size() && text[close] != '"') close += text[close] == '\\' ? 2 : 1;
  if (close >= text.size()) return shape("the key is not a string");
  KeyHandler key_handler(key_);
  if (codec::parse_json(text.substr(at, close + 1 - at), key_handler)) return shape("the key is not a string");
  if (key_.size() > kMaxKeyBytes) return fault("the key is 2 GiB long or longer");
  at = skip_space(text, close + 1);
  if (at == text.size() || text[at] != ',') return shape("an entry must be an array [key, expires_at, text]");
  // The time: null or seconds, up to the next comma.
  const std::size_t time_start = skip_space(text, at + 1);
  const std::size_t comma = text.find(',', time_start);
  if (comma == std::string_view::npos) return shape("an entry must be an array [key, expires_at, text]");
  const std::string_view time = trim_end(text.substr(time_start, comma - time_start));
  std::optional<std::int64_t> expires;
  if (time != "null") {
    expires = parse_seconds(time);
    if (!expires)
      return shape("expires_at must be null or a number of seconds since the epoch, without sign or exponent");
  }
  // The text: everything up to the line's last ']'.
  const std::string_view rest = trim_end(text.substr(comma + 1));
  if (rest.empty() || rest.back() != ']') return shape("an entry must be an array [key, expires_at, text]");
  std::string_view stored = rest.substr(0, rest.size() - 1);
  stored = trim_end(stored.substr(skip_space(stored, 0)));
  canonical_.clear();
  writer_.reset();
  if (std::optional<codec::CanonicalTextError> e = codec::write_canonical(stored, writer_)) {
    return shape("the text is refused: " + e->text());
  }
  ++entries_;
  // A long line gathered in pieces is done with: free it before the sink
  // copies the text, so a line, its canonical form and its entry never
  // all take memory at once.
  if (text.data() == pending_.data() && pending_.capacity() > kKeepPendingBytes) pending_ = codec::ByteBuffer();
  if (!sink.take(SnapshotEntry{line_, key_, expires, canonical_.view()})) {
    failed_ = SnapshotFault{line_, "", true};
    return failed_;
  }
  return std::nullopt;
}

}  // namespace pelm::snapshot
