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
//
// After a fork, the flag may still record uses held by threads that do not
// exist in the child (fork_watch.hpp). Such a use is void: the first call
// that meets it takes the flag as if it were free. A shared use from before
// the fork is always void, even if the forking thread is among its holders:
// no holder of a counted shared use reads the cache after running Python
// code, so voiding it under one is harmless. An exclusive use is kept when
// its holder is the forking thread, which goes on to release it. Each guard
// remembers the generation its use was taken in and releases only that use.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "cache/fork_watch.hpp"
#include "py/error.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

class UseFlag {
 public:
  [[nodiscard]] bool exclusively_held() const noexcept { return state_.load(std::memory_order_relaxed) < 0; }
  // No call holds any use: nothing is in the middle of reading or changing.
  [[nodiscard]] bool is_free() const noexcept { return state_.load(std::memory_order_relaxed) == 0; }

  // True when no use is held, or only uses voided by a fork; then the flag
  // is reset to free.
  [[nodiscard]] bool free_now() noexcept {
    const std::intptr_t cur = state_.load(std::memory_order_relaxed);
    if (cur == 0) return true;
    if (generation_ == fork_generation()) [[likely]] {
      return false;
    }
    if (cur < 0 && use_holder_survives(generation_, holder_)) return false;
    generation_ = fork_generation();  // no guard from before the fork matches now
    state_.store(0, std::memory_order_relaxed);
    return true;
  }

  // Each returns the generation the use was taken in, or nothing.
  [[nodiscard]] std::optional<std::uint64_t> try_shared() noexcept {
    const std::intptr_t cur = state_.load(std::memory_order_relaxed);
    if (cur > 0 && generation_ == fork_generation()) [[likely]] {
      state_.store(cur + 1, std::memory_order_relaxed);
      return generation_;
    }
    if (!free_now()) return std::nullopt;
    return take(1);
  }
  void release_shared(std::uint64_t generation) noexcept {
    if (generation != generation_) return;
    state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }

  [[nodiscard]] std::optional<std::uint64_t> try_exclusive() noexcept {
    if (!free_now()) return std::nullopt;
    return take(kExclusive);
  }
  void release_exclusive(std::uint64_t generation) noexcept {
    if (generation == generation_) state_.store(0, std::memory_order_relaxed);
  }

 private:
  std::uint64_t take(std::intptr_t state) noexcept {
    generation_ = fork_generation();
    holder_ = this_thread_id();
    state_.store(state, std::memory_order_relaxed);
    return generation_;
  }

  static constexpr std::intptr_t kExclusive = -1;
  // Every call holds the interpreter lock, which orders every access to
  // these: each is a relaxed load or store, never a read-modify-write.
  std::atomic<std::intptr_t> state_{0};  // 0 free, n > 0 shared users, -1 exclusive
  std::uint64_t generation_ = 0;         // the fork generation of the uses held
  std::uint64_t holder_ = 0;             // the thread that took the flag from free
};

[[nodiscard]] PELM_COLD PELM_NOINLINE inline Error in_use_error(bool exclusive) {
  return Error::pending(PyExc_RuntimeError, exclusive ? msg::kAlreadyBorrowed : msg::kAlreadyMutablyBorrowed);
}

// Shared use for a reader that runs no Python code until its last read of
// the cache (see the top of this file); fails as taking the use would.
[[nodiscard]] inline Result<void> check_shared_use(UseFlag& f) {
  if (f.exclusively_held()) [[unlikely]] {
    if (!f.free_now()) return in_use_error(false);
  }
  return {};
}

// Holds one kind of use for its lifetime; `take` fails at once, with the
// in-use error, when the flag cannot give that use now.
template <bool Exclusive>
class Use {
 public:
  [[nodiscard]] static Result<void> take(UseFlag& f, std::optional<Use>& slot) {
    const std::optional<std::uint64_t> generation = Exclusive ? f.try_exclusive() : f.try_shared();
    if (!generation) return in_use_error(Exclusive);
    slot.emplace(f, *generation);
    return {};
  }
  Use(UseFlag& f, std::uint64_t generation) noexcept : f_(&f), generation_(generation) {}
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() {
    if constexpr (Exclusive) {
      f_->release_exclusive(generation_);
    } else {
      f_->release_shared(generation_);
    }
  }

 private:
  UseFlag* f_;
  std::uint64_t generation_;
};

using SharedUse = Use<false>;
using ExclusiveUse = Use<true>;

}  // namespace pelm
