// The text of a string and of a member name (see string_escape.cpp for the
// form): the emitters the writer and the shape memo share. Each appends to
// `out` or writes at `p`; the comment gives the most bytes it writes.
#pragma once

#include <cstddef>
#include <string_view>

#include "codec/byte_buffer.hpp"

namespace pelm::codec {

void write_string_text(ByteBuffer& out, std::string_view s);  // <= 6*len+2 bytes
// The string text followed by ':', as a member's name is written.
void write_member_name_text(ByteBuffer& out, std::string_view s);  // <= 6*len+3 bytes
// The same text at `p`, which must have room for 6*len+3 bytes (some past
// the text's end are scratch); returns the text's end.
[[nodiscard]] char* write_member_name_chars(char* p, std::string_view s) noexcept;
// Whether `write_member_name_chars` of a name of `name_size` bytes fits in
// `room` bytes. Written so that nothing wraps: a room below the 3 bytes
// that even an empty name takes must refuse, not turn into a huge quotient.
[[nodiscard]] constexpr bool member_name_fits(std::size_t room, std::size_t name_size) noexcept {
  return room >= 3 && name_size <= (room - 3) / 6;
}

}  // namespace pelm::codec
