// The use flag of a Cache: any number of shared users or one exclusive
// user, and the thread that holds it.
//
// A call that cannot have the use it needs right away is told apart by who
// is in the way. If it is a call of this same thread (user code run by an
// insert's conversion, a __del__, a signal handler, calling the cache back),
// the call fails at once ("Already borrowed" / "Already mutably borrowed")
// and changes nothing: waiting would never end. If it is a call of another
// thread, which can only happen while that call runs Python code that lets
// the interpreter lock go, the call waits for it with the interpreter lock
// released (use_flag_wait.cpp). Waiters are served in order, and a
// newcomer may slip in ahead of them only while the first has waited less
// than a few milliseconds, so none starves.
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
// while it still needs the cache takes the counted `SharedUse` instead, and
// lists itself for its thread so that a call of the same thread that wants
// exclusive use knows whom it would wait for.
//
// After a fork, the flag may still record uses held by threads that do not
// exist in the child (fork_watch.hpp). Such a use is void: the first call
// that meets it takes the flag as if it were free. A shared use from before
// the fork is always void, even if the forking thread is among its holders:
// no holder of a counted shared use reads the cache after running Python
// code, so voiding it under one is harmless. An exclusive use is kept when
// its holder is the forking thread, which goes on to release it. Each guard
// remembers the generation its use was taken in and releases only that use.
// The queue of waiters is void in the child in the same way.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "cache/fork_watch.hpp"
#include "py/error.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

struct CacheObject;
class FlagWaiter;

class UseFlag {
 public:
  explicit UseFlag(CacheObject* cache) noexcept : cache_(cache) {}

  [[nodiscard]] bool exclusively_held() const noexcept { return state_.load(std::memory_order_acquire) < 0; }
  // No call holds any use: nothing is in the middle of reading or changing.
  [[nodiscard]] bool is_free() const noexcept { return state_.load(std::memory_order_acquire) == 0; }
  // The thread of the exclusive user, 0 when there is none.
  [[nodiscard]] std::uint64_t exclusive_holder() const noexcept;

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

  // The fast paths: each returns the generation the use was taken in, or
  // nothing when the use cannot be had at once or another thread waits for
  // the flag (then `wait_for_use` decides).
  [[nodiscard]] std::optional<std::uint64_t> try_shared() noexcept {
    const std::intptr_t cur = state_.load(std::memory_order_relaxed);
    if (waiting_.load(std::memory_order_relaxed) != 0) [[unlikely]] {
      return std::nullopt;
    }
    if (cur > 0 && generation_ == fork_generation()) [[likely]] {
      state_.store(cur + 1, std::memory_order_relaxed);
      return generation_;
    }
    if (!free_now()) return std::nullopt;
    return take(1);
  }
  void release_shared(std::uint64_t generation) {
    if (generation != generation_) return;
    if (state_.fetch_sub(1, std::memory_order_release) == 1 && waiting_.load(std::memory_order_relaxed) != 0)
        [[unlikely]] {
      wake_waiters();
    }
  }

  [[nodiscard]] std::optional<std::uint64_t> try_exclusive() noexcept {
    if (waiting_.load(std::memory_order_relaxed) != 0) [[unlikely]] {
      return std::nullopt;
    }
    if (!free_now()) return std::nullopt;
    return take(kExclusive);
  }
  void release_exclusive(std::uint64_t generation) {
    if (generation != generation_) return;
    state_.store(0, std::memory_order_release);
    if (waiting_.load(std::memory_order_relaxed) != 0) [[unlikely]] {
      wake_waiters();
    }
  }

  // The slow path of taking a use (use_flag_wait.cpp). Waits while calls of
  // other threads are in the way; the generation taken, or nothing when the
  // use is refused at once (a call of this thread is in the way, or waiting
  // would close a cycle of waiting threads, or the interpreter is ending);
  // an error when a signal handler raised while waiting.
  [[nodiscard]] Result<std::optional<std::uint64_t>> wait_for_use(bool exclusive);

 private:
  friend class FlagWaiter;
  std::uint64_t take(std::intptr_t state) noexcept {
    generation_ = fork_generation();
    holder_ = this_thread_id();
    state_.store(state, std::memory_order_relaxed);
    return generation_;
  }
  PELM_COLD PELM_NOINLINE void wake_waiters();
  void void_queue_of_parent() noexcept;
  [[nodiscard]] bool compatible(bool exclusive) noexcept;
  [[nodiscard]] bool may_take(bool exclusive, const FlagWaiter* self) noexcept;
  [[nodiscard]] bool this_thread_in_the_way(bool exclusive) noexcept;

  static constexpr std::intptr_t kExclusive = -1;
  // Changed only by calls holding the interpreter lock. Waiters, which let
  // that lock go, read `state_` under wait_lock() instead, so changes are
  // published with release and read with acquire.
  std::atomic<std::intptr_t> state_{0};  // 0 free, n > 0 shared users, -1 exclusive
  std::uint64_t generation_ = 0;         // the fork generation of the uses held
  std::uint64_t holder_ = 0;             // the thread that took the flag from free
  // Threads waiting for this flag, in arrival order; changed under
  // wait_lock(), and read without it only by calls that hold the
  // interpreter lock (a waiter joins before it lets that lock go).
  std::atomic<std::uint32_t> waiting_{0};
  FlagWaiter* first_ = nullptr;
  FlagWaiter* last_ = nullptr;
  std::uint64_t queue_generation_ = 0;  // the fork generation the queue belongs to
  CacheObject* cache_;                  // whose due entries a waiter retires
};

[[nodiscard]] PELM_COLD PELM_NOINLINE inline Error in_use_error(bool exclusive) {
  return Error::pending(PyExc_RuntimeError, exclusive ? msg::kAlreadyBorrowed : msg::kAlreadyMutablyBorrowed);
}

// The counted shared uses the calling thread holds, innermost first.
// Initial-exec, as this_thread_id()'s (fork_watch.hpp): 8 more bytes of the
// static TLS reserve, read with no call by every counted shared use.
struct HeldShare {
  const UseFlag* flag;
  HeldShare* outer;
};
PELM_TLS_INITIAL_EXEC inline thread_local HeldShare* held_shares = nullptr;

// Waits for shared use where another thread's exclusive call is in the way,
// and gives it back at once (see check_shared_use).
[[nodiscard]] PELM_COLD PELM_NOINLINE Result<void> wait_to_read(UseFlag& f);

// Shared use for a reader that runs no Python code until its last read of
// the cache (see the top of this file); fails as taking the use would.
[[nodiscard]] inline Result<void> check_shared_use(UseFlag& f) {
  if (f.exclusively_held()) [[unlikely]] {
    if (!f.free_now()) return wait_to_read(f);
  }
  return {};
}

// Whether a use was taken, or refused without an error (this thread's own
// call holds the flag, a wait would close a cycle, or the interpreter ends).
enum class Taking { kTaken, kRefused };

// Holds one kind of use for its lifetime. `take` waits for other threads'
// calls and fails with the in-use error when it is refused; `take_unless_refused`
// reports a refusal as kRefused instead (a memoized call then runs uncached).
template <bool Exclusive>
class Use {
 public:
  [[nodiscard]] static Result<void> take(UseFlag& f, std::optional<Use>& slot) {
    Result<Taking> taken = take_unless_refused(f, slot);
    if (!taken.ok()) return std::move(taken.error());
    if (taken.value() == Taking::kRefused) return in_use_error(Exclusive);
    return {};
  }
  [[nodiscard]] static Result<Taking> take_unless_refused(UseFlag& f, std::optional<Use>& slot) {
    std::optional<std::uint64_t> generation = Exclusive ? f.try_exclusive() : f.try_shared();
    if (!generation) [[unlikely]] {
      Result<std::optional<std::uint64_t>> waited = f.wait_for_use(Exclusive);
      if (!waited.ok()) return std::move(waited.error());
      if (!waited.value()) return Taking::kRefused;
      generation = waited.value();
    }
    slot.emplace(f, *generation);
    return Taking::kTaken;
  }
  Use(UseFlag& f, std::uint64_t generation) noexcept : f_(&f), generation_(generation) {
    if constexpr (!Exclusive) {
      share_ = HeldShare{&f, held_shares};
      // The destructor unlinks it again, before the guard's storage ends.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
      held_shares = &share_;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
    }
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() {
    if constexpr (Exclusive) {
      f_->release_exclusive(generation_);
    } else {
      held_shares = share_.outer;
      f_->release_shared(generation_);
    }
  }

 private:
  struct NoShare {};
  UseFlag* f_;
  std::uint64_t generation_;
  [[no_unique_address]] std::conditional_t<Exclusive, NoShare, HeldShare> share_{};
};

using SharedUse = Use<false>;
using ExclusiveUse = Use<true>;

}  // namespace pelm
