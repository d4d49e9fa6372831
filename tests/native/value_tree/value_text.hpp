// A value tree from JSON text and back, through the codec's own reader and
// writer: `read_json` builds the tree from the parser's events, `write_json`
// sends the tree to a JsonWriter as events. For the tests, the fuzz targets
// and the codec benchmark, which compare whole values.
#pragma once

#include <string_view>
#include <variant>

#include "codec/byte_buffer.hpp"
#include "codec/reader.hpp"
#include "value_tree/value.hpp"

namespace pelm::codec {

// Reads `text` into a value tree; read_stored_json for the writer's text.
[[nodiscard]] std::variant<Value, JsonError> read_json(std::string_view text);
[[nodiscard]] std::variant<Value, JsonError> read_stored_json(std::string_view text);

// Writes `value` as compact JSON text into a new buffer.
[[nodiscard]] ByteBuffer write_json(const Value& value);

}  // namespace pelm::codec
