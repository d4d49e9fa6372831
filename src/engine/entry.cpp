// Making and freeing entries (see entry.hpp): the one place that knows where
// an entry's allocation starts.
#include "engine/entry.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/fault_injection.hpp"

namespace pelm {

Entry* make_entry(std::string_view key, std::string_view data, std::uint32_t hash, Deadline deadline) {
  if (key.size() > Entry::kMaxKey) throw std::bad_alloc();
  const bool timed = deadline != kNoDeadline;
  const std::size_t before = timed ? sizeof(ExpiryRecord) : 0;
  const std::size_t header = Entry::header_for(data.size());
  if (data.size() > std::numeric_limits<std::size_t>::max() - before - header - key.size()) throw std::bad_alloc();
  fault_injection::maybe_fail();
  // At least a whole Entry after `before`, so that the compiler may touch the
  // struct's padding even when key and text are shorter than it.
  void* mem = std::malloc(before + std::max(header + key.size() + data.size(), sizeof(Entry)));
  if (mem == nullptr) throw std::bad_alloc();
  auto* e = reinterpret_cast<Entry*>(static_cast<char*>(mem) + before);
  e->prev = nullptr;
  e->next = nullptr;
  e->hash_ = hash;
  e->key_word_ = static_cast<std::uint32_t>(key.size()) | (timed ? Entry::kTimedBit : 0);
  const bool long_size = header != Entry::kHeader;
  e->size32_ = long_size ? Entry::kLongSize : static_cast<std::uint32_t>(data.size());
  char* bytes = reinterpret_cast<char*>(e);
  if (long_size) {
    const std::uint64_t size = data.size();
    std::memcpy(bytes + Entry::kHeader, &size, sizeof size);
  }
  if (timed) e->expiry() = ExpiryRecord{deadline, 0};
  bytes += header;
  if (!key.empty()) std::memcpy(bytes, key.data(), key.size());
  if (!data.empty()) std::memcpy(bytes + key.size(), data.data(), data.size());
  return e;
}

void free_entry(Entry* e) noexcept { std::free(e->timed() ? static_cast<void*>(&e->expiry()) : e); }

}  // namespace pelm
