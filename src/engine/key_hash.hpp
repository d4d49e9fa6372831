// The key map's hash. The caller brings a well-distributed 64-bit hash of the
// key that it already has (the interpreter's str hash, cached on the key);
// that hash may be known to an outsider, so the map places keys by a mix of
// it under the cache's two secret keys, which only this process knows. Equal
// keys must bring equal hashes; the mix keeps them equal.
//
// Hazard: keys whose brought hashes collide in all 64 bits collide here too,
// whatever the secret; the brought hash must make that costly to find.
#pragma once

#include <cstdint>

#include "support/wide_multiply.hpp"

namespace pelm {

struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// One folded 64x64->128 multiply of the secretly offset hash by a secret odd
// factor: every output bit depends on every input bit, and which keys share
// a slot depends on both secrets.
[[nodiscard]] inline std::uint64_t keyed_mix(HashKey key, std::uint64_t h) noexcept {
  const WideProduct p = multiply_wide(h ^ key.k0, key.k1 | 1);
  return p.low ^ p.high;
}

// The pair for the next cache made on this thread: the first draws from the
// OS random source, each later one adds one to the first key.
[[nodiscard]] HashKey next_cache_hash_key();

}  // namespace pelm
