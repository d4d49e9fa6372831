// The entry batch (see entry_batch.hpp).
#include "engine/entry_batch.hpp"

#include <new>

#include "support/fault_injection.hpp"
#include "support/portable.hpp"

namespace pelm {

EntryBatch::~EntryBatch() {
  for (Entry* e = oldest_; e != nullptr;) {
    Entry* next = e->next;
    free_entry(e);
    e = next;
  }
}

void EntryBatch::drop_index() noexcept {
  slots_.reset();
  capacity_ = 0;
}

void EntryBatch::release() noexcept {
  pending_count_ = 0;
  oldest_ = nullptr;
  newest_ = nullptr;
  count_ = 0;
  largest_ = 0;
  slots_.reset();
  capacity_ = 0;
}

void EntryBatch::grow_index() {
  const std::size_t cap = capacity_ == 0 ? 16 : capacity_ * 2;
  if (cap > (std::size_t{1} << 32)) throw std::bad_alloc();
  fault_injection::maybe_fail();
  std::unique_ptr<Slot[]> fresh(new Slot[cap]());
  for (std::size_t old = 0; old < capacity_; ++old) {
    if (slots_[old].entry == nullptr) continue;
    std::size_t i = slots_[old].hash & (cap - 1);
    while (fresh[i].entry != nullptr) i = (i + 1) & (cap - 1);
    fresh[i] = slots_[old];
  }
  slots_ = std::move(fresh);
  capacity_ = cap;
}

bool EntryBatch::index(Entry* e) {
  const std::uint32_t h32 = e->hash();
  std::size_t i = home_of(h32);
  for (; slots_[i].entry != nullptr; i = (i + 1) & (capacity_ - 1)) {
    if (slots_[i].hash == h32 && slots_[i].entry->key() == e->key()) return false;
  }
  slots_[i] = Slot{e, h32};
  return true;
}

std::optional<EntryBatch::Repeat> EntryBatch::index_oldest_pending() {
  const Pending p = pending_[pending_first_];
  pending_first_ = (pending_first_ + 1) % kPending;
  --pending_count_;
  if (index(p.entry)) return std::nullopt;
  return Repeat{p.tag, p.entry->key()};
}

std::optional<EntryBatch::Repeat> EntryBatch::settle() {
  while (pending_count_ != 0) {
    if (std::optional<Repeat> r = index_oldest_pending()) return r;
  }
  return std::nullopt;
}

std::optional<EntryBatch::Repeat> EntryBatch::add(std::string_view key, std::string_view data, std::uint64_t h,
                                                  Deadline deadline, std::uint64_t tag) {
  // Room for every entry, pending ones included, before anything changes.
  if (count_ + 1 > capacity_ - capacity_ / 4) grow_index();
  const auto h32 = static_cast<std::uint32_t>(h);
  Entry* e = make_entry(key, data, h32, deadline);
  e->prev = newest_;
  e->next = nullptr;
  if (newest_ != nullptr) {
    newest_->next = e;
  } else {
    oldest_ = e;
  }
  newest_ = e;
  ++count_;
  if (e->size() > largest_) largest_ = e->size();
  prefetch(&slots_[home_of(h32)]);
  std::optional<Repeat> repeat;
  if (pending_count_ == kPending) repeat = index_oldest_pending();
  pending_[(pending_first_ + pending_count_) % kPending] = Pending{e, tag};
  ++pending_count_;
  return repeat;
}

}  // namespace pelm
