// The per-thread source of the key map's secret keys (see key_hash.hpp),
// drawn from the operating system's random source: getentropy on Linux,
// macOS and the BSDs, BCryptGenRandom on Windows.
#include "engine/key_hash.hpp"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#elif defined(__unix__)
#include <unistd.h>
#endif

#include <cstddef>
#include <random>

namespace pelm {

namespace {

// Fills `n` bytes (at most 256, getentropy's limit) from the OS; false if
// the OS refused or this platform has no such call.
bool fill_from_os(void* dst, std::size_t n) noexcept {
#if defined(_WIN32)
  return BCRYPT_SUCCESS(
      BCryptGenRandom(nullptr, static_cast<PUCHAR>(dst), static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#elif defined(__APPLE__) || defined(__unix__)
  return getentropy(dst, n) == 0;
#else
  (void)dst;
  (void)n;
  return false;
#endif
}

HashKey draw_random_key() {
  std::uint64_t words[2] = {0, 0};
  if (!fill_from_os(words, sizeof words)) {
    // No OS call (an old kernel without getrandom, a seccomp filter, an
    // unknown platform): the C++ source, which on the platforms we build
    // for reads the same OS entropy through another door.
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
