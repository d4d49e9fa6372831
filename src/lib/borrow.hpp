// The borrow flag of a Cache: any number of shared users or one exclusive
// user. It never waits: a call that cannot take the use it needs fails at
// once ("Already borrowed" / "Already mutably borrowed"). In practice the
// conflict arises when user code run by an exclusive call (an insert
// converting its value) calls the same cache. Guards release on every path.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "lib/error.hpp"

namespace pelm {

class BorrowFlag {
 public:
  [[nodiscard]] bool try_shared() noexcept {
    std::intptr_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur < 0) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  [[nodiscard]] bool try_exclusive() noexcept {
    std::intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::atomic<std::intptr_t> state_{0};  // 0 free, n > 0 shared users, -1 exclusive
};

// Holds shared use for its lifetime.
class SharedUse {
 public:
  [[nodiscard]] static std::optional<Error> take(BorrowFlag& f, std::optional<SharedUse>& slot) {
    if (!f.try_shared()) return Error::pending(PyExc_RuntimeError, "Already mutably borrowed");
    slot.emplace(f);
    return std::nullopt;
  }
  explicit SharedUse(BorrowFlag& f) noexcept : f_(&f) {}
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  ~SharedUse() { f_->release_shared(); }

 private:
  BorrowFlag* f_;
};

// Holds exclusive use for its lifetime.
class ExclusiveUse {
 public:
  [[nodiscard]] static std::optional<Error> take(BorrowFlag& f, std::optional<ExclusiveUse>& slot) {
    if (!f.try_exclusive()) return Error::pending(PyExc_RuntimeError, "Already borrowed");
    slot.emplace(f);
    return std::nullopt;
  }
  explicit ExclusiveUse(BorrowFlag& f) noexcept : f_(&f) {}
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  ~ExclusiveUse() { f_->release_exclusive(); }

 private:
  BorrowFlag* f_;
};

}  // namespace pelm
