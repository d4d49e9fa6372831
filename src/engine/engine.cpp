// The cache engine (see engine.hpp): one allocation per entry, an open-
// addressing key map with linear probing and backward-shift deletion, a
// doubly linked recency list whose links are borrowed from the map, and the
// expiry heap of the timed entries.
#include "engine/engine.hpp"

#include <limits>
#include <new>

#include "support/fault_injection.hpp"

namespace pelm {

namespace {

constexpr std::size_t kMinCapacity = 8;
// Beyond 2^32 slots the 32-bit stored hash could no longer index the table.
constexpr std::size_t kMaxCapacity = std::size_t{1} << 32;

// The map keeps at most three quarters of its slots full, so probes stay short.
constexpr bool over_load(std::size_t count, std::size_t capacity) noexcept { return count > capacity - capacity / 4; }

// Frees a chain of entries linked by `next`. Entries hold no Python objects,
// so freeing them runs no user code and cannot re-enter the cache; a plain
// loop keeps the stack flat however long the chain is.
void free_chain(Entry* e) noexcept {
  while (e != nullptr) {
    Entry* next = e->next;
    free_entry(e);
    e = next;
  }
}

}  // namespace

Engine::~Engine() { free_chain(head_); }

Entry* Engine::find(const KeyRef& key) const noexcept {
  if (count_ == 0) return nullptr;
  return find_placed(key.text, static_cast<std::uint32_t>(map_hash(key)));
}

Entry* Engine::find_placed(std::string_view key, std::uint32_t h32) const noexcept {
  return slots_[probe(slots_.get(), capacity_ - 1, h32,
                      [&](const Entry* e) { return e->hash() == h32 && e->key() == key; })];
}

std::size_t Engine::slot_of(const Entry* e) const noexcept {
  return probe(slots_.get(), capacity_ - 1, e->hash(), [e](const Entry* o) { return o == e; });
}

void Engine::grow_table(std::size_t min_capacity) {
  if (min_capacity > kMaxCapacity) throw std::bad_alloc();
  std::size_t cap = capacity_ == 0 ? kMinCapacity : capacity_;
  while (cap < min_capacity) cap *= 2;
  fault_injection::maybe_fail();
  std::unique_ptr<Entry*[]> fresh(new Entry*[cap]());
  for (std::size_t i = 0; i < capacity_; ++i) {
    Entry* e = slots_[i];
    if (e == nullptr) continue;
    fresh[probe(fresh.get(), cap - 1, e->hash(), [](const Entry*) { return false; })] = e;
  }
  slots_ = std::move(fresh);
  capacity_ = cap;
}

void Engine::reserve_for(std::size_t more, std::size_t timed) {
  if (more == 0) return;
  std::size_t want = capacity_ == 0 ? kMinCapacity : capacity_;
  while (over_load(count_ + more, want)) {
    if (want > kMaxCapacity) throw std::bad_alloc();
    want *= 2;
  }
  if (want != capacity_) grow_table(want);
  heap_.reserve_more(timed);
}

EntryPtr Engine::prepare_insert(const KeyRef& key, std::string_view data, Deadline deadline) {
  if (capacity_ == 0 || over_load(count_ + 1, capacity_)) {
    std::size_t want = capacity_ == 0 ? kMinCapacity : capacity_ * 2;
    grow_table(want);
  }
  if (deadline != kNoDeadline) heap_.reserve_one();
  return EntryPtr(make_entry(key.text, data, static_cast<std::uint32_t>(map_hash(key)), deadline));
}

std::size_t Engine::commit_insert(EntryPtr owned) noexcept {
  Entry* e = owned.release();
  std::size_t evicted = 0;
  // An older entry under the same key still counts here: it is evicted like
  // any other once it reaches the tail.
  while (size_ + e->size() > limit_ && tail_ != nullptr) {
    evict_lru();
    ++evicted;
  }
  link_front(e);
  size_ += e->size();
  key_bytes_ += e->key().size();
  if (e->timed()) heap_.push(e);  // prepare_insert reserved its place
  // Map the key; prepare_insert left room for one more item.
  const std::size_t i = probe(slots_.get(), capacity_ - 1, e->hash(),
                              [e](const Entry* o) { return o->hash() == e->hash() && o->key() == e->key(); });
  Entry* old = slots_[i];
  slots_[i] = e;
  if (old == nullptr) {
    ++count_;
  } else {
    size_ = old->size() > size_ ? 0 : size_ - old->size();
    key_bytes_ -= old->key().size();
    unlink(old);
    if (old->timed()) heap_.erase(old);
    free_entry(old);
  }
  return evicted;
}

void Engine::link_front(Entry* e) noexcept {
  e->prev = nullptr;
  e->next = head_;
  if (head_ != nullptr) {
    head_->prev = e;
  } else {
    tail_ = e;
  }
  head_ = e;
}

void Engine::unlink(Entry* e) noexcept {
  Entry* p = e->prev;
  Entry* n = e->next;
  if (p != nullptr) {
    p->next = n;
  } else {
    head_ = n;
  }
  if (n != nullptr) {
    n->prev = p;
  } else {
    tail_ = p;
  }
  e->prev = nullptr;
  e->next = nullptr;
}

void Engine::move_to_front(Entry* e) noexcept {
  if (head_ == e) return;
  unlink(e);
  link_front(e);
}

void Engine::map_erase_slot(std::size_t slot) noexcept {
  // Backward-shift deletion: pull later members of the probe run into the
  // hole so that lookups never need tombstones.
  const std::size_t mask = capacity_ - 1;
  std::size_t hole = slot;
  for (std::size_t j = (slot + 1) & mask; slots_[j] != nullptr; j = (j + 1) & mask) {
    std::size_t home = slots_[j]->hash() & mask;
    bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole] = nullptr;
  --count_;
}

void Engine::retire(Entry* e, std::size_t slot) noexcept {
  map_erase_slot(slot);
  size_ = e->size() > size_ ? 0 : size_ - e->size();
  key_bytes_ -= e->key().size();
  unlink(e);
  if (e->timed()) heap_.erase(e);
  free_entry(e);
}

bool Engine::remove(const KeyRef& key) noexcept {
  Entry* e = find(key);
  if (e == nullptr) return false;
  retire(e, slot_of(e));
  heap_.trim();
  return true;
}

std::size_t Engine::expire(Deadline now) noexcept {
  std::size_t expired = 0;
  for (; heap_.next_deadline() <= now; ++expired) {
    Entry* due = heap_.top();
    retire(due, slot_of(due));
  }
  heap_.trim();
  return expired;
}

void Engine::evict_lru() noexcept {
  if (tail_ != nullptr) retire(tail_, slot_of(tail_));
}

std::size_t Engine::resize(std::uint64_t limit) noexcept {
  limit_ = limit;
  std::size_t evicted = 0;
  for (; size_ > limit_; ++evicted) evict_lru();
  heap_.trim();
  return evicted;
}

void Engine::clear() noexcept {
  Entry* chain = head_;
  head_ = nullptr;
  tail_ = nullptr;
  heap_.release();
  slots_.reset();
  capacity_ = 0;
  count_ = 0;
  size_ = 0;
  key_bytes_ = 0;
  free_chain(chain);
}

std::string Engine::check_invariants() const {
  if ((head_ == nullptr) != (tail_ == nullptr)) return "head and tail disagree on emptiness";
  if ((head_ == nullptr) != (count_ == 0)) return "list emptiness disagrees with the map";
  if (head_ != nullptr && head_->prev != nullptr) return "head has a prev";
  if (tail_ != nullptr && tail_->next != nullptr) return "tail has a next";
  std::size_t walked = 0;
  std::size_t timed = 0;
  std::uint64_t total = 0;
  std::uint64_t keys = 0;
  const Entry* last = nullptr;
  for (const Entry* e = head_; e != nullptr; e = e->next) {
    if (e->prev != last) return "prev does not mirror next";
    if (++walked > count_) return "list is longer than the map";
    if (find_placed(e->key(), e->hash()) != e) return "a listed entry is not mapped under its key";
    if (e->timed() && (e->expiry().heap_index >= heap_.size() || heap_.at(e->expiry().heap_index) != e)) {
      return "a timed entry is not in the expiry heap";
    }
    timed += e->timed();
    total += e->size();
    keys += e->key().size();
    last = e;
  }
  if (last != tail_) return "walk does not end at tail";
  if (walked != count_) return "map count differs from list length";
  std::size_t mapped = 0;
  for (std::size_t i = 0; i < capacity_; ++i) mapped += slots_[i] != nullptr;
  if (mapped != count_) return "slot count differs from count";
  if (total != size_) return "size differs from the sum of entry sizes";
  if (keys != key_bytes_) return "key bytes differ from the sum of key lengths";
  if (timed != heap_.size()) return "the expiry heap holds entries that are not listed";
  return heap_.check();
}

}  // namespace pelm
