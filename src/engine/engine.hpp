// The cache engine: entries, the recency list, the key map and the expiry
// heap. No Python, and no clock: callers bring the time.
//
// Ownership: the key map owns every entry (one allocation holding the header,
// the key bytes and the JSON text; see entry.hpp); the list links and the
// expiry heap's pointers are borrowed. An entry leaves the map first and is
// freed by whoever took it out, after `unlink` and, if timed, after leaving
// the heap.
//
// Invariants whenever no call is in progress (checked by `check_invariants`):
//  1. head is null <=> tail is null <=> the map is empty;
//  2. walking next from head visits every mapped entry once and ends at tail,
//     with prev/next mirrored; head->prev and tail->next are null;
//  3. the map's count equals the list's length;
//  4. each mapped entry is found under its own key and stored hash;
//  5. size == sum of the entries' sizes; 6. after an insert, size <= limit;
//  7. key_bytes == sum of the entries' key lengths;
//  8. the expiry heap holds exactly the listed entries that are timed, and
//     keeps its own invariants (expiry_heap.hpp).
// `size` is never recomputed: it only grows by an entry's size when linked
// and shrinks by it when the entry leaves, and subtraction stops at zero.
//
// Hazards: nothing here allocates after the first eviction of an insert
// (`prepare_insert` allocates everything up front), so a failed insert changes
// nothing; nothing may change the engine between `prepare_insert` and
// `commit_insert`. Nothing here calls back into Python, so callers may run
// the engine between the conversion (which runs user code) and the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/entry.hpp"
#include "engine/entry_batch.hpp"
#include "engine/expiry_heap.hpp"
#include "engine/key_hash.hpp"
#include "engine/key_ref.hpp"

namespace pelm {

// Frees an entry made by `Engine::prepare_insert`.
struct EntryDeleter {
  void operator()(Entry* e) const noexcept { free_entry(e); }
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
  // The memory the engine holds, as it asked the allocator for it: every
  // entry (header, key and text, and a timed entry's expiry record with its
  // heap slot) and the key table. The allocator's own bookkeeping on top is
  // not counted, nor the 8-byte length a text of 4 GiB or more adds.
  [[nodiscard]] std::uint64_t bytes_held() const noexcept {
    return count_ * Entry::kHeader + key_bytes_ + size_ + capacity_ * sizeof(Entry*) +
           heap_.size() * (sizeof(ExpiryRecord) + sizeof(Entry*));
  }
  [[nodiscard]] Entry* head() const noexcept { return head_; }
  [[nodiscard]] Entry* tail() const noexcept { return tail_; }

  // Every call that names a key takes it as a KeyRef and places it by the
  // map hash made from the hash the key brings (see key_hash.hpp).
  [[nodiscard]] Entry* find(const KeyRef& key) const noexcept;
  // That map hash, for entries made ahead of their insert (entry_batch.hpp).
  [[nodiscard]] std::uint64_t map_hash(const KeyRef& key) const noexcept { return keyed_mix(hash_key_, key.str_hash); }

  // Allocates a detached entry holding copies of `key`'s text and `data`, expiring
  // at `deadline` unless that is kNoDeadline, and makes sure the map (and
  // the heap, for a timed entry) can take one more without allocating.
  // Throws std::bad_alloc; changes nothing that is visible.
  [[nodiscard]] EntryPtr prepare_insert(const KeyRef& key, std::string_view data, Deadline deadline = kNoDeadline);
  // Evicts from the tail until the entry fits, links it at the head and maps
  // it, retiring any older entry under its key. Cannot fail; the entry's size
  // must be at most `limit`. Returns the number of entries evicted.
  std::size_t commit_insert(EntryPtr entry) noexcept;

  // What commit_batch did: entries linked, entries counted as inserted (the
  // linked ones and those the newer ones would have evicted at once), and
  // entries evicted (those, and older entries of the engine).
  struct BatchOutcome {
    std::size_t stored = 0;
    std::size_t inserted = 0;
    std::size_t evicted = 0;
  };
  // Takes in the batch's entries, oldest first, leaving the engine as that
  // many commit_insert calls would: entries whose deadline is at or before
  // `now` are dropped and not counted; of the others, the newest that fit
  // the limit together are linked, older engine entries evicted as needed
  // (an entry larger than the limit ends that run like any that does not
  // fit). The batch must be settled; it takes no more adds. Throws
  // std::bad_alloc before the engine changes (the batch may have lost
  // entries that could not enter).
  BatchOutcome commit_batch(EntryBatch& batch, Deadline now);

  // Moves a linked entry to the head (a successful lookup).
  void move_to_front(Entry* e) noexcept;
  // Takes the key's entry out of the map and list and frees it; false if absent.
  bool remove(const KeyRef& key) noexcept;
  // Drops the least-recently-used entry; does nothing on an empty cache.
  void evict_lru() noexcept;
  // Makes `limit` the cap and evicts from the tail until size <= limit.
  // Returns the number of entries evicted.
  std::size_t resize(std::uint64_t limit) noexcept;

  // Calls `visit(const Entry&)` on every entry, most recently used first.
  // `visit` must not change the engine.
  template <class Visit>
  void visit_most_recent_first(Visit&& visit) const {
    for (const Entry* e = head_; e != nullptr; e = e->next) visit(*e);
  }

  // The earliest deadline of any entry; kNoDeadline when none is timed, so
  // that a cache without timed entries needs no clock to know nothing is due.
  [[nodiscard]] Deadline next_deadline() const noexcept { return heap_.next_deadline(); }
  [[nodiscard]] std::size_t timed_count() const noexcept { return heap_.size(); }
  // Retires every entry whose deadline is at or before `now`, earliest
  // first, and returns how many; the cost is in proportion to that number.
  std::size_t expire(Deadline now) noexcept;
  // Drops every entry and releases the key table, in two phases: the list is
  // detached and the map emptied first, so the cache is empty and consistent
  // before any entry is freed; then the detached chain is freed in one pass.
  void clear() noexcept;

  // Empty when every invariant holds; otherwise what is broken.
  [[nodiscard]] std::string check_invariants() const;

 private:
  // The entry under `key` placed by the map hash `h32`; the map is not empty.
  [[nodiscard]] Entry* find_placed(std::string_view key, std::uint32_t h32) const noexcept;
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
  // Makes room for `more` entries, `timed` of them timed, to be committed
  // without allocating. Throws std::bad_alloc; changes nothing visible.
  void reserve_for(std::size_t more, std::size_t timed);
  // Asks for the cache line of the slot where `e`'s probe starts.
  void prefetch_slot(const Entry* e) const noexcept;
  // Takes `e` out of the map, the list and the size, then frees it.
  void retire(Entry* e, std::size_t slot) noexcept;

  ExpiryHeap heap_;
  std::unique_ptr<Entry*[]> slots_;  // open addressing, linear probing
  std::size_t capacity_ = 0;         // a power of two, or 0
  std::size_t count_ = 0;
  std::uint64_t limit_;
  std::uint64_t size_ = 0;
  std::uint64_t key_bytes_ = 0;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  HashKey hash_key_;
};

}  // namespace pelm
