// The per-thread source of the key map's secret keys (see key_hash.hpp).
#include "engine/key_hash.hpp"

#include <sys/random.h>

#include <cstddef>
#include <random>

namespace pelm {

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
