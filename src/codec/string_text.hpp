// The text of a string and of a member name (see string_escape.cpp for the
// form): the emitters the writer and the shape memo share. Each appends to
// `out` or writes at `p`; the comment gives the most bytes it writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/byte_buffer.hpp"
#include "codec/utf8_encode.hpp"

namespace pelm::codec {

void write_string_text(ByteBuffer& out, std::string_view s);  // <= 6*len+2 bytes
// The string text followed by ':', as a member's name is written.
void write_member_name_text(ByteBuffer& out, std::string_view s);  // <= 6*len+3 bytes
// The same text at `p`, which must have room for 6*len+3 bytes (some past
// the text's end are scratch); returns the text's end.
[[nodiscard]] char* write_member_name_chars(char* p, std::string_view s) noexcept;
// The string text of `n` fixed-width code units (a str's characters, one,
// two or four bytes each) at `p`, UTF-8 encoded and escaped in one pass,
// without a UTF-8 copy in between. `p` must have room for
// units_text_room(n) bytes (some past the text's end are scratch). Returns
// the text's end, or null at a surrogate: nothing written is then to be
// kept. Instantiated for std::uint8_t, std::uint16_t and std::uint32_t.
template <class Unit>
[[nodiscard]] char* write_units_text(char* p, const Unit* units, std::size_t n) noexcept;
// Six bytes per unit covers "\u00xx" and every UTF-8 form (at most four
// bytes from one unit), with the two quotes and the encoder's scratch.
[[nodiscard]] constexpr std::size_t units_text_room(std::size_t n) noexcept { return 6 * n + 2 + kEncodeSlack; }

// Whether `write_member_name_chars` of a name of `name_size` bytes fits in
// `room` bytes. Written so that nothing wraps: a room below the 3 bytes
// that even an empty name takes must refuse, not turn into a huge quotient.
[[nodiscard]] constexpr bool member_name_fits(std::size_t room, std::size_t name_size) noexcept {
  return room >= 3 && name_size <= (room - 3) / 6;
}

}  // namespace pelm::codec
