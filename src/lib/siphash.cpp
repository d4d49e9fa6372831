// SipHash-1-3 (one compression round, three finalisation rounds) and the
// per-thread key source.
#include "lib/siphash.hpp"

#include <sys/random.h>

#include <bit>
#include <cstring>
#include <random>

namespace pelm {

namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  }
  void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

std::uint64_t siphash13_terminated(HashKey key, std::string_view bytes) noexcept {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t total = bytes.size() + 1;  // with the 0xFF terminator
  std::size_t left = bytes.size();
  for (; left >= 8; left -= 8, p += 8) s.compress(load_le64(p));
  // Last block: remaining bytes, the terminator, zero padding, length byte.
  unsigned char tail[8] = {};
  std::memcpy(tail, p, left);
  tail[left] = 0xFF;
  std::uint64_t last = (static_cast<std::uint64_t>(total) << 56);
  if (left == 7) {
    // The terminator filled the block: it is a full block of its own.
    s.compress(load_le64(tail));
  } else {
    tail[7] = 0;
    last |= load_le64(tail);
  }
  s.compress(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

namespace {

HashKey draw_random_key() {
  std::uint64_t words[2] = {0, 0};
  std::size_t got = 0;
  auto* dst = reinterpret_cast<unsigned char*>(words);
  while (got < sizeof(words)) {
    ssize_t n = getrandom(dst + got, sizeof(words) - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof(words)) {
    // No getrandom (old kernel or seccomp): fall back to the C++ source,
    // which reads the same OS entropy through another door.
    std::random_device rd;
    words[0] = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    words[1] = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  }
  return {words[0], words[1]};
}

}  // namespace

HashKey next_cache_hash_key() {
  thread_local bool drawn = false;
  thread_local HashKey base{};
  thread_local std::uint64_t made = 0;
  if (!drawn) {
    base = draw_random_key();
    drawn = true;
  }
  return {base.k0 + made++, base.k1};
}

}  // namespace pelm
