// The entry batch (see entry_batch.hpp).
#include "engine/entry_batch.hpp"

#include <new>

#include "support/fault_injection.hpp"

namespace pelm {

EntryBatch::~EntryBatch() {
  for (Entry* e = oldest_; e != nullptr;) {
    Entry* next = e->next;
    free_entry(e);
    e = next;
  }
}

void EntryBatch::release() noexcept {
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
  std::unique_ptr<Entry*[]> fresh(new Entry*[cap]());
  for (Entry* e = oldest_; e != nullptr; e = e->next) {
    std::size_t i = e->hash() & (cap - 1);
    while (fresh[i] != nullptr) i = (i + 1) & (cap - 1);
    fresh[i] = e;
  }
  slots_ = std::move(fresh);
  capacity_ = cap;
}

bool EntryBatch::add(std::string_view key, std::string_view data, std::uint64_t h, Deadline deadline) {
  if (count_ + 1 > capacity_ / 2) grow_index();
  const auto h32 = static_cast<std::uint32_t>(h);
  std::size_t i = h32 & (capacity_ - 1);
  for (; slots_[i] != nullptr; i = (i + 1) & (capacity_ - 1)) {
    if (slots_[i]->hash() == h32 && slots_[i]->key() == key) return false;
  }
  Entry* e = make_entry(key, data, h32, deadline);
  slots_[i] = e;
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
  return true;
}

}  // namespace pelm
