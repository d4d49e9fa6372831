// A batch of detached entries waiting to enter an engine together (a
// snapshot being loaded): kept in the order they came, oldest first, with a
// key index of their own so that a key the batch already has is found when
// it comes again. Nothing in the engine changes while a batch fills; it
// enters through Engine::commit_batch, or is freed whole with the batch.
//
// Ownership: the batch owns its entries until they are committed. Their
// prev/next links chain them (prev towards the oldest) and are reset as each
// one is linked into the engine.
//
// Speed: a batch of millions has an index far larger than the processor's
// caches, so each key's slot is a miss to memory. The index therefore
// takes each entry kPending adds after it came, with its slot asked for
// (prefetched) when it came: the misses of several keys overlap. A repeat
// is thus found up to kPending adds late, and reported by the tag its
// caller gave the repeating entry; `settle` indexes what is still pending,
// and comes before any verdict on the batch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/entry.hpp"

namespace pelm {

class EntryBatch {
 public:
  EntryBatch() = default;
  EntryBatch(const EntryBatch&) = delete;
  EntryBatch& operator=(const EntryBatch&) = delete;
  ~EntryBatch();

  // An entry whose key an earlier entry of the batch has.
  struct Repeat {
    std::uint64_t tag;
    std::string_view key;  // valid while the batch lives
  };

  // Adds a copy of `key` and `data` as the newest entry, tagged with `tag`
  // (a line number, say). `h` is the map hash the engine gives the key.
  // Returns the first repeat found so far, if this add found one; the batch
  // is then to be dropped. Throws std::bad_alloc.
  [[nodiscard]] std::optional<Repeat> add(std::string_view key, std::string_view data, std::uint64_t h,
                                          Deadline deadline, std::uint64_t tag);
  // Indexes the entries still pending; the first repeat among them, if any.
  [[nodiscard]] std::optional<Repeat> settle();

  [[nodiscard]] std::size_t count() const noexcept { return count_; }
  [[nodiscard]] std::uint64_t largest() const noexcept { return largest_; }

 private:
  friend class Engine;
  static constexpr std::size_t kPending = 16;
  struct Pending {
    Entry* entry;
    std::uint64_t tag;
  };

  void grow_index();
  [[nodiscard]] std::size_t home_of(std::uint32_t h32) const noexcept { return h32 & (capacity_ - 1); }
  // Puts one entry into the index; false if its key is there already.
  bool index(Entry* e);
  std::optional<Repeat> index_oldest_pending();
  // Frees the key index, once every entry is settled and none will be added.
  void drop_index() noexcept;
  // Forgets every entry without freeing any (they have been handed on).
  void release() noexcept;

  Entry* oldest_ = nullptr;
  Entry* newest_ = nullptr;
  std::size_t count_ = 0;
  std::uint64_t largest_ = 0;
  // Open addressing by the stored hash, which each slot keeps beside its
  // entry: a probe reads the entry only when the hashes agree, so a batch
  // of millions costs about one cache miss per key, not two.
  struct Slot {
    Entry* entry;
    std::uint32_t hash;
  };
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;                 // a power of two, or 0
  std::array<Pending, kPending> pending_{};  // a ring: added, not yet indexed
  std::size_t pending_first_ = 0;
  std::size_t pending_count_ = 0;
};

}  // namespace pelm
