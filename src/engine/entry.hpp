// One cache entry: a 32-byte header, then the key bytes, then the JSON text,
// all in one allocation. An entry with a time limit carries a 16-byte expiry
// record just before its header, in the same allocation, so entries without
// one keep exactly the layout (and the lookup path) they always had.
//
// The top bit of the header's size word says which kind an entry is: no text
// can reach 2^63 bytes, so the bit is free. The word is private so that
// nothing reads the flag as part of the size.
//
// Invariant: `expiry()` is only touched when `timed()`; an entry is freed
// only through `free_entry`, which knows where its allocation starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace pelm {

// A point on the monotonic clock, in nanoseconds.
using Deadline = std::int64_t;
// "No deadline": later than every reading of the clock.
inline constexpr Deadline kNoDeadline = std::numeric_limits<Deadline>::max();

struct ExpiryRecord {
  Deadline deadline;       // the entry is gone once the clock reaches this
  std::uint64_t heap_index;  // its position in the expiry heap
};
static_assert(sizeof(ExpiryRecord) == 16, "a time limit costs an entry 16 bytes and keeps it 16-byte aligned");

class Entry {
 public:
  Entry* prev;             // borrowed: towards the head (more recently used)
  Entry* next;             // borrowed: towards the tail

  [[nodiscard]] std::uint64_t size() const noexcept { return size_word_ & ~kTimedBit; }
  [[nodiscard]] bool timed() const noexcept { return (size_word_ & kTimedBit) != 0; }
  [[nodiscard]] std::uint32_t hash() const noexcept { return hash_; }
  [[nodiscard]] const char* key_data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  [[nodiscard]] std::string_view key() const noexcept { return {key_data(), key_len_}; }
  [[nodiscard]] std::string_view data() const noexcept {
    return {key_data() + key_len_, static_cast<std::size_t>(size())};
  }
  [[nodiscard]] ExpiryRecord& expiry() noexcept { return *(reinterpret_cast<ExpiryRecord*>(this) - 1); }
  [[nodiscard]] const ExpiryRecord& expiry() const noexcept {
    return *(reinterpret_cast<const ExpiryRecord*>(this) - 1);
  }
  // The expiry time, or kNoDeadline for an entry without a time limit.
  [[nodiscard]] Deadline deadline() const noexcept { return timed() ? expiry().deadline : kNoDeadline; }

 private:
  friend Entry* make_entry(std::string_view key, std::string_view data, std::uint32_t hash, Deadline deadline);
  static constexpr std::uint64_t kTimedBit = std::uint64_t{1} << 63;

  std::uint64_t size_word_;  // payload bytes (the text's length) | kTimedBit
  std::uint32_t hash_;       // low bits of the key's keyed hash (the map's index)
  std::uint32_t key_len_;    // key bytes follow the header, then the text
};
static_assert(sizeof(Entry) == 32, "the entry header is part of the per-entry memory budget");

// A detached entry holding copies of `key` and `data`, with an expiry record
// when `deadline` is not kNoDeadline. Throws std::bad_alloc (also for a key
// longer than 2^32 - 1 bytes).
[[nodiscard]] Entry* make_entry(std::string_view key, std::string_view data, std::uint32_t hash, Deadline deadline);
// Frees an entry made by make_entry, from wherever its allocation starts.
void free_entry(Entry* e) noexcept;

}  // namespace pelm
