// The snapshot format, one UTF-8 JSON value per line (JSON Lines):
//
//   {"format":"pelm_lib snapshot","version":1,"saved_at":1765300000.5}
//   ["key",1765300600.25,{"stored":"text"}]      one line per entry, least
//   ["other",null,[1,2,3]]                       recently used first
//   {"entries":2,"crc32c":1234567890}
//
// An entry line is [key, expires_at, value]: the key as a JSON string, the
// wall-clock time the entry expires in seconds since the epoch (null for an
// entry without a time limit), and the stored text itself, byte for byte. A
// stored text is compact canonical JSON, so it holds no line feed and needs
// no escaping. The trailer's checksum is the CRC-32C of every byte before
// the trailer line, line feeds included.
//
// Times are written as whole seconds and, when there are any, up to nine
// decimal places (nanoseconds, trailing zeros dropped); the monotonic clock
// does not cross processes, so a time limit survives a restart as a point
// on the wall clock.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec/byte_buffer.hpp"

namespace pelm::snapshot {

inline constexpr std::string_view kFormatName = "pelm_lib snapshot";
inline constexpr std::uint64_t kFormatVersion = 1;
inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// The longest key an entry line may hold, as the cache can store it.
inline constexpr std::uint64_t kMaxKeyBytes = 0x7FFFFFFFu;
// The most bytes a header line may have: a longer first line is no snapshot
// of any version, and is refused before it is read on.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

// Appends `ns` nanoseconds (clamped at 0) as seconds: "12", "12.5", "0.000000001".
void write_seconds(codec::ByteBuffer& out, std::int64_t ns);

// The header line, line feed included.
void write_header(codec::ByteBuffer& out, std::int64_t saved_at_ns);
// The trailer line, line feed included.
void write_trailer(codec::ByteBuffer& out, std::uint64_t entries, std::uint32_t crc);

}  // namespace pelm::snapshot
