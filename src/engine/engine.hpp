// The cache engine: entries, the recency list and the key map. No Python.
//
// Ownership: the key map owns every entry (one allocation holding the header,
// the key bytes and the JSON text); the list links are borrowed. An entry
// leaves the map first and is freed by whoever took it out, after `unlink`.
//
// Invariants whenever no call is in progress (checked by `check_invariants`):
//  1. head is null <=> tail is null <=> the map is empty;
//  2. walking next from head visits every mapped entry once and ends at tail,
//     with prev/next mirrored; head->prev and tail->next are null;
//  3. the map's count equals the list's length;
//  4. each mapped entry is found under its own key and stored hash;
//  5. size == sum of the entries' sizes; 6. after an insert, size <= limit.
// `size` is never recomputed: it only grows by an entry's size when linked
// and shrinks by it when the entry leaves, and subtraction stops at zero.
//
// Hazards: nothing here allocates after the first eviction of an insert
// (`prepare_insert` allocates everything up front), so a failed insert changes
// nothing. Nothing here calls back into Python, so callers may run the
// engine between the conversion (which runs user code) and the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/key_hash.hpp"

namespace pelm {

// One allocation: a 28-byte header, then (only for a text of 4 GiB or more)
// its 64-bit length, then the key bytes, then the text. The header is not
// padded to 32: malloc hands out chunks in steps of 16 bytes after an 8-byte
// chunk header, so four bytes fewer take a whole step off a quarter of the
// entries (a small record under a short key among them).
struct Entry {
  Entry* prev;             // borrowed: towards the head (more recently used)
  Entry* next;             // borrowed: towards the tail
  std::uint32_t hash;      // low bits of the key's keyed hash (the map's index)
  std::uint32_t key_len;   // key bytes follow the header (and the long size)
  std::uint32_t size32;    // the text's length, or kLongSize: 64 bits follow

  static constexpr std::uint32_t kLongSize = 0xFFFFFFFFu;
  static constexpr std::size_t kHeader = 28;

  // The room an entry takes beyond its key and text bytes.
  [[nodiscard]] static constexpr std::size_t header_for(std::uint64_t size) noexcept {
    return size < kLongSize ? kHeader : kHeader + sizeof(std::uint64_t);
  }
  // Payload bytes: the length of the JSON text.
  [[nodiscard]] std::uint64_t size() const noexcept {
    if (size32 != kLongSize) [[likely]] return size32;
    std::uint64_t long_size;
    std::memcpy(&long_size, bytes() + kHeader, sizeof long_size);
    return long_size;
  }
  [[nodiscard]] const char* key_data() const noexcept { return bytes() + header_for(size32); }
  [[nodiscard]] std::string_view key() const noexcept { return {key_data(), key_len}; }
  [[nodiscard]] std::string_view data() const noexcept {
    return {key_data() + key_len, static_cast<std::size_t>(size())};
  }

 private:
  [[nodiscard]] const char* bytes() const noexcept { return reinterpret_cast<const char*>(this); }
};
static_assert(offsetof(Entry, size32) + sizeof(std::uint32_t) == Entry::kHeader,
              "the entry header is part of the per-entry memory budget");

// Frees an entry made by `Engine::make_entry`.
struct EntryDeleter {
  void operator()(Entry* e) const noexcept;
};
using EntryPtr = std::unique_ptr<Entry, EntryDeleter>;

class Engine {
 public:
  Engine(std::uint64_t limit, HashKey hash_key) noexcept : limit_(limit), hash_key_(hash_key) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  // Frees every entry, iteratively, however many there are.
  ~Engine();

  [[nodiscard]] std::uint64_t limit() const noexcept { return limit_; }
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t count() const noexcept { return count_; }
  [[nodiscard]] Entry* head() const noexcept { return head_; }
  [[nodiscard]] Entry* tail() const noexcept { return tail_; }

  // The map hash of a key from the hash its caller brings (see key_hash.hpp).
  // Every call that names a key passes the map hash made here.
  [[nodiscard]] std::uint64_t hash(std::uint64_t brought) const noexcept { return keyed_mix(hash_key_, brought); }
  [[nodiscard]] Entry* find(std::string_view key, std::uint64_t h) const noexcept;

  // Allocates a detached entry holding copies of `key` and `data`, and makes
  // sure the map can take one more key without allocating. Throws
  // std::bad_alloc; changes nothing that is visible.
  [[nodiscard]] EntryPtr prepare_insert(std::string_view key, std::string_view data, std::uint64_t h);
  // Evicts from the tail until the entry fits, links it at the head and maps
  // it, retiring any older entry under its key. Cannot fail; the entry's size
  // must be at most `limit`. Returns the number of entries evicted.
  std::size_t commit_insert(EntryPtr entry) noexcept;

  // Moves a linked entry to the head (a successful lookup).
  void move_to_front(Entry* e) noexcept;
  // Takes the key's entry out of the map and list and frees it; false if absent.
  bool remove(std::string_view key, std::uint64_t h) noexcept;
  // Drops the least-recently-used entry; does nothing on an empty cache.
  void evict_lru() noexcept;
  // Drops every entry and releases the key table, in two phases: the list is
  // detached and the map emptied first, so the cache is empty and consistent
  // before any entry is freed; then the detached chain is freed in one pass.
  void clear() noexcept;

  // Empty when every invariant holds; otherwise what is broken.
  [[nodiscard]] std::string check_invariants() const;

 private:
  void link_front(Entry* e) noexcept;
  void unlink(Entry* e) noexcept;
  // The slot of the first entry on `h32`'s probe run for which `match` holds,
  // or of the empty slot that ends the run (the table always has one).
  template <class Match>
  static std::size_t probe(Entry* const* slots, std::size_t mask, std::uint32_t h32, Match match) noexcept {
    std::size_t i = h32 & mask;
    while (slots[i] != nullptr && !match(slots[i])) i = (i + 1) & mask;
    return i;
  }
  [[nodiscard]] std::size_t slot_of(const Entry* e) const noexcept;
  void map_erase_slot(std::size_t slot) noexcept;
  void grow_table(std::size_t min_capacity);
  // Takes `e` out of the map, the list and the size, then frees it.
  void retire(Entry* e, std::size_t slot) noexcept;

  std::unique_ptr<Entry*[]> slots_;  // open addressing, linear probing
  std::size_t capacity_ = 0;          // a power of two, or 0
  std::size_t count_ = 0;
  std::uint64_t limit_;
  std::uint64_t size_ = 0;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  HashKey hash_key_;
};

}  // namespace pelm
