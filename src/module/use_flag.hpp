// The use flag of a Cache: any number of shared users or one exclusive
// user. It never waits: a call that cannot take the use it needs fails at
// once ("Already borrowed" / "Already mutably borrowed"). In practice the
// conflict arises when user code run by an exclusive call (an insert
// converting its value) calls the same cache. Guards release on every path.
//
// Every call holds the interpreter lock, so the flag only ever changes while
// some call holds that lock. A reader that runs no Python code between
// taking its shared use and its last read of the cache cannot be seen by any
// other call: nothing else runs in that window (no other thread gets the
// lock, no finaliser or hook of ours or the user's runs), so nobody can find
// its count raised. Taking and releasing such a use is therefore observably
// one check that no exclusive user is present: `check_shared_use`, one load
// instead of two locked read-modify-writes. "Runs no Python code" rules out
// anything that can start a garbage collection (creating a GC-tracked object,
// such as an exception) or release the lock; a reader that might do either
// while it still needs the cache takes the counted `SharedUse` instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "py/error.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

class UseFlag {
 public:
  [[nodiscard]] bool exclusively_held() const noexcept { return state_.load(std::memory_order_acquire) < 0; }
  // No call holds any use: nothing is in the middle of reading or changing.
  [[nodiscard]] bool is_free() const noexcept { return state_.load(std::memory_order_acquire) == 0; }

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

[[nodiscard]] PELM_COLD PELM_NOINLINE inline Error in_use_error(bool exclusive) {
  return Error::pending(PyExc_RuntimeError, exclusive ? msg::kAlreadyBorrowed : msg::kAlreadyMutablyBorrowed);
}

// Shared use for a reader that runs no Python code until its last read of
// the cache (see the top of this file); fails as taking the use would.
[[nodiscard]] inline std::optional<Error> check_shared_use(const UseFlag& f) {
  if (f.exclusively_held()) [[unlikely]] {
    return in_use_error(false);
  }
  return std::nullopt;
}

// Holds one kind of use for its lifetime; `take` fails at once, with the
// in-use error, when the flag cannot give that use now.
template <bool Exclusive>
class Use {
 public:
  [[nodiscard]] static std::optional<Error> take(UseFlag& f, std::optional<Use>& slot) {
    if (!(Exclusive ? f.try_exclusive() : f.try_shared())) return in_use_error(Exclusive);
    slot.emplace(f);
    return std::nullopt;
  }
  explicit Use(UseFlag& f) noexcept : f_(&f) {}
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() {
    if constexpr (Exclusive) {
      f_->release_exclusive();
    } else {
      f_->release_shared();
    }
  }

 private:
  UseFlag* f_;
};

using SharedUse = Use<false>;
using ExclusiveUse = Use<true>;

}  // namespace pelm
