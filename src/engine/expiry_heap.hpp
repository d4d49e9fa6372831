// The expiry index: a binary min-heap of the entries that have a time limit,
// ordered by deadline. Each entry keeps its own heap position in its expiry
// record, so any entry leaves in O(log n) (remove, eviction, overwrite), and
// the entries due first are always at the top: retiring k expired entries
// costs O(k log n), never a scan.
//
// The heap borrows its entries; the engine's key map owns them. The earliest
// deadline is cached in `next_deadline()` (kNoDeadline when empty), so a
// cache with no timed entry answers "anything due?" with one comparison.
//
// Invariants (checked by `check`): items_[i]->expiry().heap_index == i; no
// item's deadline is earlier than its parent's; next_deadline() is the top's
// deadline. Hazard: `push` must follow `reserve_one`, so it never allocates.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/entry.hpp"

namespace pelm {

class ExpiryHeap {
 public:
  [[nodiscard]] Deadline next_deadline() const noexcept { return next_deadline_; }
  [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
  [[nodiscard]] Entry* top() const noexcept { return items_.front(); }
  [[nodiscard]] const Entry* at(std::size_t i) const noexcept { return items_[i]; }

  // Makes room for one more entry; throws std::bad_alloc, changes nothing.
  void reserve_one();
  // Makes room for `n` more; throws std::bad_alloc, changes nothing.
  void reserve_more(std::size_t n);
  // Adds a timed entry; room must have been reserved.
  void push(Entry* e) noexcept;
  // Takes out a timed entry that is in the heap.
  void erase(Entry* e) noexcept;
  // Forgets every entry and frees the array (the entries are freed elsewhere).
  void release() noexcept;
  // Frees the array once no entry is left, so a cache whose timed entries
  // are gone holds nothing for them. Never between a reservation and its
  // push: that would undo the reservation.
  void trim() noexcept;

  // Empty when every invariant holds; otherwise what is broken.
  [[nodiscard]] std::string check() const;

 private:
  void place(std::size_t i, Entry* e) noexcept;
  void sift_up(std::size_t i, Entry* e) noexcept;
  void sift_down(std::size_t i, Entry* e) noexcept;
  void refresh_next() noexcept;

  std::vector<Entry*> items_;
  Deadline next_deadline_ = kNoDeadline;
};

}  // namespace pelm
