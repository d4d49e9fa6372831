// SipHash-1-3: the keyed hash of the key map. Keyed per cache from the OS
// random source, so an outsider cannot aim keys at one bucket.
#pragma once

#include <cstdint>
#include <string_view>

namespace pelm {

struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// SipHash-1-3 of `bytes` followed by one 0xFF byte (the terminator keeps a
// key distinct from any prefix-extended key with the same padding).
[[nodiscard]] std::uint64_t siphash13_terminated(HashKey key, std::string_view bytes) noexcept;

// The pair for the next cache made on this thread: the first draws from the
// OS random source, each later one adds one to the first key.
[[nodiscard]] HashKey next_cache_hash_key();

}  // namespace pelm
