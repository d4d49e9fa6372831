// UTF-8 validation with an eight-bytes-at-a-time skip over ASCII runs.
#include "codec/utf8_validate.hpp"

#include <cstdint>
#include <cstring>

namespace pelm::codec {

namespace {

constexpr bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Length of the valid sequence starting at `p[0]` (a byte >= 0x80), or 0 if
// the sequence is malformed or runs past `end`.
std::size_t multibyte_length(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char lead = p[0];
  const std::size_t avail = static_cast<std::size_t>(end - p);
  // The second byte's range depends on the lead: it is what excludes
  // overlong forms, surrogates and code points above U+10FFFF.
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  std::size_t len;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (avail < len || p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (!is_continuation(p[i])) return 0;
  }
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t n = multibyte_length(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

}  // namespace pelm::codec
