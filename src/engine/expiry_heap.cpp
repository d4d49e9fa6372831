// The expiry heap (see expiry_heap.hpp). Sifting moves a hole rather than
// swapping, and writes each moved entry's new position as it goes.
#include "engine/expiry_heap.hpp"

#include <algorithm>
#include <new>

#include "support/fault_injection.hpp"

namespace pelm {

namespace {

constexpr std::size_t kMinCapacity = 8;

constexpr std::size_t parent(std::size_t i) noexcept { return (i - 1) / 2; }

}  // namespace

void ExpiryHeap::reserve_one() {
  if (items_.size() < items_.capacity()) return;
  fault_injection::maybe_fail();
  items_.reserve(std::max(kMinCapacity, items_.capacity() * 2));
}

void ExpiryHeap::reserve_more(std::size_t n) {
  if (items_.capacity() - items_.size() >= n) return;
  fault_injection::maybe_fail();
  items_.reserve(std::max({kMinCapacity, items_.capacity() * 2, items_.size() + n}));
}

void ExpiryHeap::place(std::size_t i, Entry* e) noexcept {
  items_[i] = e;
  e->expiry().heap_index = i;
}

void ExpiryHeap::sift_up(std::size_t i, Entry* e) noexcept {
  const Deadline d = e->expiry().deadline;
  while (i > 0 && items_[parent(i)]->expiry().deadline > d) {
    place(i, items_[parent(i)]);
    i = parent(i);
  }
  place(i, e);
}

void ExpiryHeap::sift_down(std::size_t i, Entry* e) noexcept {
  const Deadline d = e->expiry().deadline;
  const std::size_t n = items_.size();
  for (;;) {
    std::size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && items_[child + 1]->expiry().deadline < items_[child]->expiry().deadline) ++child;
    if (items_[child]->expiry().deadline >= d) break;
    place(i, items_[child]);
    i = child;
  }
  place(i, e);
}

void ExpiryHeap::refresh_next() noexcept {
  next_deadline_ = items_.empty() ? kNoDeadline : items_.front()->expiry().deadline;
}

void ExpiryHeap::push(Entry* e) noexcept {
  items_.push_back(e);  // within the reserved capacity: no allocation
  sift_up(items_.size() - 1, e);
  refresh_next();
}

void ExpiryHeap::erase(Entry* e) noexcept {
  const auto i = static_cast<std::size_t>(e->expiry().heap_index);
  Entry* last = items_.back();
  items_.pop_back();
  if (last != e) {
    // The last item fills the hole; it may belong above or below it.
    if (i > 0 && items_[parent(i)]->expiry().deadline > last->expiry().deadline) {
      sift_up(i, last);
    } else {
      sift_down(i, last);
    }
  }
  refresh_next();
}

void ExpiryHeap::trim() noexcept {
  if (items_.empty()) release();
}

void ExpiryHeap::release() noexcept {
  std::vector<Entry*>().swap(items_);
  next_deadline_ = kNoDeadline;
}

std::string ExpiryHeap::check() const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const Entry* e = items_[i];
    if (!e->timed()) return "an entry without a time limit is in the expiry heap";
    if (e->expiry().heap_index != i) return "an entry's heap position is stale";
    if (i > 0 && items_[parent(i)]->expiry().deadline > e->expiry().deadline) {
      return "an entry expires before its parent in the heap";
    }
  }
  const Deadline top = items_.empty() ? kNoDeadline : items_.front()->expiry().deadline;
  if (next_deadline_ != top) return "the cached next deadline is not the heap's top";
  return {};
}

}  // namespace pelm
