// A batch of detached entries waiting to enter an engine together (a
// snapshot being loaded): kept in the order they came, oldest first, with a
// key index of their own so that a key the batch already has is found when
// it comes again. Nothing in the engine changes while a batch fills; it
// enters through Engine::commit_batch, or is freed whole with the batch.
//
// Ownership: the batch owns its entries until they are committed. Their
// prev/next links chain them (prev towards the oldest) and are reset as each
// one is linked into the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/entry.hpp"

namespace pelm {

class EntryBatch {
 public:
  EntryBatch() = default;
  EntryBatch(const EntryBatch&) = delete;
  EntryBatch& operator=(const EntryBatch&) = delete;
  ~EntryBatch();

  // Adds a copy of `key` and `data` as the newest entry, unless the batch
  // already has `key`: then false and nothing is added. `h` is the map hash
  // the engine gives the key. Throws std::bad_alloc; a failed add adds nothing.
  bool add(std::string_view key, std::string_view data, std::uint64_t h, Deadline deadline);

  [[nodiscard]] std::size_t count() const noexcept { return count_; }
  [[nodiscard]] std::uint64_t largest() const noexcept { return largest_; }

 private:
  friend class Engine;
  void grow_index();
  // Forgets every entry without freeing any (they have been handed on).
  void release() noexcept;

  Entry* oldest_ = nullptr;
  Entry* newest_ = nullptr;
  std::size_t count_ = 0;
  std::uint64_t largest_ = 0;
  std::unique_ptr<Entry*[]> slots_;  // open addressing by the stored hash
  std::size_t capacity_ = 0;         // a power of two, or 0
};

}  // namespace pelm
