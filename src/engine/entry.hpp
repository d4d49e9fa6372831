// One cache entry: a 28-byte header, then (only for a text of 4 GiB or more)
// the text's 64-bit length, then the key bytes, then the JSON text, all in one
// allocation. An entry with a time limit carries a 16-byte expiry record just
// before its header, in the same allocation, so entries without one keep
// exactly the layout (and the lookup path) they always had.
//
// The header is not padded to 32: malloc hands out chunks in steps of 16
// bytes after an 8-byte chunk header, so four bytes fewer take a whole step
// off a quarter of the entries (a small record under a short key among them).
//
// The top bit of the key-length word says whether an entry is timed: keys are
// refused from 2^31 bytes, so the bit is free. The words are private so that
// nothing reads the flag as part of the length.
//
// Invariant: `expiry()` is only touched when `timed()`; an entry is freed
// only through `free_entry`, which knows where its allocation starts. Nothing
// may copy a whole `Entry`: its tail padding overlaps the key bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace pelm {

// A point on the monotonic clock, in nanoseconds.
using Deadline = std::int64_t;
// "No deadline": later than every reading of the clock.
inline constexpr Deadline kNoDeadline = std::numeric_limits<Deadline>::max();

struct ExpiryRecord {
  Deadline deadline;         // the entry is gone once the clock reaches this
  std::uint64_t heap_index;  // its position in the expiry heap
};
static_assert(sizeof(ExpiryRecord) == 16, "a time limit costs an entry 16 bytes and keeps it 8-byte aligned");

class Entry {
 public:
  Entry* prev;  // borrowed: towards the head (more recently used)
  Entry* next;  // borrowed: towards the tail

  // Two links and three 32-bit words: 28 bytes on 64-bit platforms.
  static constexpr std::size_t kHeader = 2 * sizeof(Entry*) + 3 * sizeof(std::uint32_t);
  // The longest key an entry takes; the bit above is the timed flag.
  static constexpr std::uint32_t kMaxKey = 0x7FFFFFFFu;

  // The header bytes of an entry whose text has `size` bytes.
  [[nodiscard]] static constexpr std::size_t header_for(std::uint64_t size) noexcept {
    return size < kLongSize ? kHeader : kHeader + sizeof(std::uint64_t);
  }
  // Payload bytes: the length of the JSON text.
  [[nodiscard]] std::uint64_t size() const noexcept {
    if (size32_ != kLongSize) [[likely]]
      return size32_;
    std::uint64_t long_size;
    std::memcpy(&long_size, bytes() + kHeader, sizeof long_size);
    return long_size;
  }
  [[nodiscard]] bool timed() const noexcept { return (key_word_ & kTimedBit) != 0; }
  [[nodiscard]] std::uint32_t hash() const noexcept { return hash_; }
  [[nodiscard]] const char* key_data() const noexcept { return bytes() + header_for(size32_); }
  [[nodiscard]] std::string_view key() const noexcept { return {key_data(), key_word_ & kMaxKey}; }
  [[nodiscard]] std::string_view data() const noexcept {
    return {key_data() + (key_word_ & kMaxKey), static_cast<std::size_t>(size())};
  }
  [[nodiscard]] ExpiryRecord& expiry() noexcept {
    return *reinterpret_cast<ExpiryRecord*>(reinterpret_cast<char*>(this) - sizeof(ExpiryRecord));
  }
  [[nodiscard]] const ExpiryRecord& expiry() const noexcept {
    return *reinterpret_cast<const ExpiryRecord*>(bytes() - sizeof(ExpiryRecord));
  }
  // The expiry time, or kNoDeadline for an entry without a time limit.
  [[nodiscard]] Deadline deadline() const noexcept { return timed() ? expiry().deadline : kNoDeadline; }

 private:
  friend Entry* make_entry(std::string_view key, std::string_view data, std::uint32_t hash, Deadline deadline);
  static constexpr std::uint32_t kTimedBit = 0x80000000u;
  // size32_ holds this instead of a length: the 64-bit length follows the header.
  static constexpr std::uint32_t kLongSize = 0xFFFFFFFFu;

  [[nodiscard]] const char* bytes() const noexcept { return reinterpret_cast<const char*>(this); }

  std::uint32_t hash_;      // low bits of the key's keyed hash (the map's index)
  std::uint32_t key_word_;  // the key's length | kTimedBit
  std::uint32_t size32_;    // the text's length, or kLongSize
};
// The fields are laid out in order without gaps, so the struct is the header
// rounded up to its alignment; only the padding lies past kHeader.
static_assert(sizeof(Entry) == (Entry::kHeader + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry),
              "the entry header is part of the per-entry memory budget");

// A detached entry holding copies of `key` and `data`, with an expiry record
// when `deadline` is not kNoDeadline. Throws std::bad_alloc (also for a key
// longer than Entry::kMaxKey bytes).
[[nodiscard]] Entry* make_entry(std::string_view key, std::string_view data, std::uint32_t hash, Deadline deadline);
// Frees an entry made by make_entry, from wherever its allocation starts.
void free_entry(Entry* e) noexcept;

}  // namespace pelm
