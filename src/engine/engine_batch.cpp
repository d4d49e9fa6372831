// Engine::commit_batch (see engine.hpp): a batch of entries taken in at once,
// with the outcome of committing them one by one but the key table grown
// once, and only for the entries that stay.
//
// Why the outcome is the same: entries enter at the head and leave from the
// tail, so after each insert the engine holds the longest run of the newest
// entries that fits the limit (an entry under a key that comes again leaves
// the run when its successor comes). The batch's keys are distinct, so the
// run at the end is the batch's newest entries that fit together, and if
// any batch entry falls outside it, so does everything older: the engine's
// own entries.
#include "engine/engine.hpp"

#include "support/portable.hpp"

namespace pelm {

namespace {

constexpr int kLookahead = 8;

// Unchains `e` from the batch's oldest-to-newest chain and frees it.
void drop(Entry*& oldest, Entry*& newest, Entry* e) noexcept {
  (e->prev != nullptr ? e->prev->next : oldest) = e->next;
  (e->next != nullptr ? e->next->prev : newest) = e->prev;
  free_entry(e);
}

}  // namespace

void Engine::prefetch_slot(const Entry* e) const noexcept { prefetch(&slots_[e->hash() & (capacity_ - 1)]); }

Engine::BatchOutcome Engine::commit_batch(EntryBatch& batch, Deadline now) {
  BatchOutcome outcome;
  // The batch's own index is done with: free it before the table grows.
  batch.drop_index();
  Entry*& oldest = batch.oldest_;
  Entry*& newest = batch.newest_;
  // Entries already due never enter (an insert would retire them first).
  for (Entry* e = oldest; e != nullptr;) {
    Entry* next = e->next;
    if (e->deadline() <= now) drop(oldest, newest, e);
    e = next;
  }
  // The newest entries that fit together stay; each older one would be
  // evicted by the newer ones as soon as they came.
  std::uint64_t total = 0;
  Entry* stale = newest;  // once the loop ends: the newest entry that does not fit
  std::size_t kept = 0;
  std::size_t timed = 0;
  for (; stale != nullptr && total + stale->size() <= limit_; stale = stale->prev) {
    total += stale->size();
    ++kept;
    timed += stale->timed();
  }
  while (stale != nullptr) {
    Entry* older = stale->prev;
    drop(oldest, newest, stale);
    ++outcome.inserted;
    ++outcome.evicted;
    stale = older;
  }
  reserve_for(kept, timed);
  // From here nothing allocates or fails. An entry that came and went
  // would have evicted every older one first: all the engine held.
  if (outcome.evicted != 0) {
    for (; tail_ != nullptr; ++outcome.evicted) evict_lru();
  }
  Entry* e = oldest;
  batch.release();
  // Each key's slot is asked for a few entries before its insert, so the
  // misses to memory of a large table overlap (see entry_batch.hpp).
  Entry* ahead = e;
  for (int i = 0; i < kLookahead && ahead != nullptr; ++i, ahead = ahead->next) prefetch_slot(ahead);
  while (e != nullptr) {
    if (ahead != nullptr) {
      prefetch_slot(ahead);
      ahead = ahead->next;
    }
    Entry* next = e->next;
    outcome.evicted += commit_insert(EntryPtr(e));
    e = next;
  }
  outcome.stored = kept;
  outcome.inserted += kept;
  heap_.trim();
  return outcome;
}

}  // namespace pelm
