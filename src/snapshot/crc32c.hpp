// CRC-32C (the Castagnoli polynomial, reflected, initial and final value
// 0xFFFFFFFF): the checksum a snapshot's trailer carries over every byte
// before it. It detects every change of up to 32 consecutive bits, so any
// one altered byte of a snapshot is caught.
//
// The running value is kept finalised: `crc32c_extend(crc32c_extend(0, a), b)`
// equals the checksum of a followed by b. The instruction the x86-64 (SSE4.2)
// and 64-bit ARM (CRC extension) processors have for it is used where the
// processor has it, checked once at run time on x86-64 and at build time on
// ARM; everywhere else an eight-bytes-at-a-time table fallback gives the same
// value. `crc32c_portable` is that fallback, public so tests compare the two.
#pragma once

#include <cstdint>
#include <string_view>

namespace pelm::snapshot {

// The checksum of `bytes` appended to data whose checksum was `crc`.
[[nodiscard]] std::uint32_t crc32c_extend(std::uint32_t crc, std::string_view bytes) noexcept;
[[nodiscard]] std::uint32_t crc32c_portable(std::uint32_t crc, std::string_view bytes) noexcept;
// Whether crc32c_extend uses the processor's own instruction on this machine.
[[nodiscard]] bool crc32c_accelerated() noexcept;

}  // namespace pelm::snapshot
