// JSON text in, the stored form out, with no value tree in between: the
// reader's events drive the writer directly, so the result is byte for byte
// what the writer makes of the value the text denotes (compact, members
// sorted by the UTF-8 bytes of their names, strings escaped the writer's
// way, floats in shortest form, "-0" as 0, "1E2" as 100.0).
//
// Accepted: exactly the texts the reader accepts (RFC 8259, UTF-8, nesting
// below 128), less those the stored form cannot say or would say differently
// from the text: a byte-order mark, a name repeated within one object (the
// writer would keep only the last), and an integer outside -2^63 .. 2^64-1
// (the model has no such integer). Numbers beyond the double range, lone
// surrogate escapes and NaN/Infinity are already refused by the reader.
//
// On failure the writer holds partial output that the caller must discard
// (and `reset` before reuse). Memory exhaustion throws std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/writer.hpp"

namespace pelm::codec {

struct CanonicalTextError {
  std::string what;      // "trailing comma", "repeated member name \"a\"", ...
  std::uint64_t offset;  // byte offset into the text, from 0; the text's length when it ended too soon
  // "<what> at byte <offset>"
  [[nodiscard]] std::string text() const;
};

// Streams the stored form of `text` into `writer`, or says why it cannot.
[[nodiscard]] std::optional<CanonicalTextError> write_canonical(std::string_view text, JsonWriter& writer);

}  // namespace pelm::codec
