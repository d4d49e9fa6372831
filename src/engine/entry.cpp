// Making and freeing entries (see entry.hpp): the one place that knows where
// an entry's allocation starts.
#include "engine/entry.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "support/fault_injection.hpp"

namespace pelm {

Entry* make_entry(std::string_view key, std::string_view data, std::uint32_t hash, Deadline deadline) {
  if (key.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  const bool timed = deadline != kNoDeadline;
  const std::size_t before = timed ? sizeof(ExpiryRecord) : 0;
  if (data.size() > std::numeric_limits<std::size_t>::max() - before - sizeof(Entry) - key.size()) {
    throw std::bad_alloc();
  }
  fault_injection::maybe_fail();
  void* mem = std::malloc(before + sizeof(Entry) + key.size() + data.size());
  if (mem == nullptr) throw std::bad_alloc();
  auto* e = reinterpret_cast<Entry*>(static_cast<char*>(mem) + before);
  e->prev = nullptr;
  e->next = nullptr;
  e->size_word_ = data.size() | (timed ? Entry::kTimedBit : 0);
  e->hash_ = hash;
  e->key_len_ = static_cast<std::uint32_t>(key.size());
  if (timed) e->expiry() = ExpiryRecord{deadline, 0};
  char* bytes = reinterpret_cast<char*>(e + 1);
  if (!key.empty()) std::memcpy(bytes, key.data(), key.size());
  if (!data.empty()) std::memcpy(bytes + key.size(), data.data(), data.size());
  return e;
}

void free_entry(Entry* e) noexcept { std::free(e->timed() ? static_cast<void*>(&e->expiry()) : e); }

}  // namespace pelm
