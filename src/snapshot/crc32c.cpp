// CRC-32C (see crc32c.hpp). The tables are built at compile time; the
// hardware path is compiled for its instruction set only in its own
// function, so the rest of the library keeps the baseline instruction set.
#include "snapshot/crc32c.hpp"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PELM_CRC32C_X86 1
#include <nmmintrin.h>
#else
#define PELM_CRC32C_X86 0
#endif

#if defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
#define PELM_CRC32C_ARM 1
#include <arm_acle.h>
#else
#define PELM_CRC32C_ARM 0
#endif

namespace pelm::snapshot {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // 0x1EDC6F41, bits reversed

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[k][b]: the CRC of byte b followed by k zero bytes, so eight bytes
// are folded with eight lookups at once ("slicing by eight").
constexpr Tables make_tables() noexcept {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1u) != 0 ? kPolynomial : 0u);
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = make_tables();

std::uint32_t load_le32(const unsigned char* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

#if PELM_CRC32C_X86
[[gnu::target("sse4.2")]] std::uint32_t crc32c_x86(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t c = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    c = _mm_crc32_u64(c, word);
  }
  auto c32 = static_cast<std::uint32_t>(c);
  for (; n > 0; ++p, --n) c32 = _mm_crc32_u8(c32, *p);
  return ~c32;
}

bool cpu_has_sse42() noexcept {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

#if PELM_CRC32C_ARM
std::uint32_t crc32c_arm(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
  std::uint32_t c = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    c = __crc32cd(c, word);
  }
  for (; n > 0; ++p, --n) c = __crc32cb(c, *p);
  return ~c;
}
#endif

}  // namespace

std::uint32_t crc32c_portable(std::uint32_t crc, std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::uint32_t c = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t lo = load_le32(p) ^ c;
    const std::uint32_t hi = load_le32(p + 4);
    c = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^ kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^
        kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^ kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
  }
  for (; n > 0; ++p, --n) c = (c >> 8) ^ kTables[0][(c ^ *p) & 0xFFu];
  return ~c;
}

bool crc32c_accelerated() noexcept {
#if PELM_CRC32C_X86
  return cpu_has_sse42();
#else
  return PELM_CRC32C_ARM != 0;
#endif
}

std::uint32_t crc32c_extend(std::uint32_t crc, std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
#if PELM_CRC32C_X86
  if (cpu_has_sse42()) return crc32c_x86(crc, p, bytes.size());
#elif PELM_CRC32C_ARM
  return crc32c_arm(crc, p, bytes.size());
#endif
  (void)p;
  return crc32c_portable(crc, bytes);
}

}  // namespace pelm::snapshot
