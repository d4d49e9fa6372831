// libFuzzer target: the canonicaliser (insert_raw's reader-to-writer pass)
// on arbitrary bytes.
//
// Properties: it returns; a refusal renders as "<what> at byte N" with N at
// most the input's length, and one with a reader message is the reader's
// own verdict on the text; an accepted text is one the reader accepts too, and its canonical form, read back, writes to
// itself byte for byte (the stored form is a fixed point, so storing stored text changes nothing).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "codec/canonical_text.hpp"
#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "property.hpp"

namespace {

using pelm::codec::ByteBuffer;
using pelm::codec::CanonicalTextError;
using pelm::codec::JsonError;
using pelm::codec::JsonErrorCode;
using pelm::codec::JsonWriter;
using pelm::fuzz::fail;

std::optional<CanonicalTextError> canonicalise(std::string_view text, ByteBuffer& out) {
  JsonWriter writer(out);
  return pelm::codec::write_canonical(text, writer);
}

// The reader's code whose message is `what`, if any.
std::optional<JsonErrorCode> reader_code(std::string_view what) {
  for (int c = 0; c < static_cast<int>(JsonErrorCode::HandlerStopped); ++c) {
    if (pelm::codec::message(static_cast<JsonErrorCode>(c)) == what) return static_cast<JsonErrorCode>(c);
  }
  return std::nullopt;
}

// Refusals of its own may come first (an out-of-range integer before a
// syntax error further on); a reader message must be the reader's verdict.
void check_refusal(std::string_view text, const CanonicalTextError& e) {
  if (e.offset > text.size()) fail("refusal offset lies past the end of the input");
  if (e.text() != e.what + " at byte " + std::to_string(e.offset)) fail("refusal text is not '<what> at byte N'");
  const std::optional<JsonErrorCode> code = reader_code(e.what);
  if (!code) return;
  const auto read = pelm::codec::read_json(text);
  const auto* reader_error = std::get_if<JsonError>(&read);
  if (reader_error == nullptr || reader_error->code != *code) fail("a reader message the reader does not give");
}

void check_fixed_point(std::string_view text, std::string_view stored) {
  if (std::holds_alternative<JsonError>(pelm::codec::read_json(text))) fail("accepted a text the reader refuses");
  ByteBuffer again;
  if (const auto e = canonicalise(stored, again)) {
    std::printf("%s\n", e->text().c_str());
    fail("the canonical form of an accepted text is refused");
  }
  if (again.view() != stored) fail("the canonical form does not write to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ByteBuffer out;
  if (const auto e = canonicalise(text, out)) {
    check_refusal(text, *e);
  } else {
    check_fixed_point(text, out.view());
  }
  return 0;
}
