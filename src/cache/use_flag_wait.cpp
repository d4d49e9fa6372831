// Taking a use of a cache that another thread's call holds: the queue of
// waiting threads and its rules (see use_flag.hpp and thread_waits.hpp).
//
// The flag itself still changes only under the interpreter lock; the queue
// changes under wait_lock(), because a waiter may leave it without the
// interpreter lock (the forced unwind of a daemon thread at exit). A waiter
// decides, joins the queue and parks in one hold of the interpreter lock, and
// a release (which needs that lock) wakes the queue under wait_lock(), so a
// release can never fall between a waiter's look at the flag and its park:
// no wake-up is lost. The park's slice is the backstop for the one release
// that runs without the interpreter lock (that same forced unwind).
//
// Order: a waiter may take the use once it is compatible with the holders
// and no waiter of another thread ahead of it needs more than it does
// (shared waiters in a row go together). A newcomer that finds the use
// free may take it past the queue, unless the first waiter has waited
// longer than `kPatience`; then it queues at the back like any waiter.
// Strict order for everyone would make every call of a busy cache pass
// through a wake-up and a hand-over of the interpreter lock (a convoy that
// never clears); letting newcomers pass for a few milliseconds keeps the
// throughput of a free-for-all, and the patience bounds how long any
// waiter can be passed over, so none starves. Waiters of the calling thread are skipped: they belong to
// calls suspended under this one (a signal handler run while waiting), which
// cannot go on before this one returns anyway.
#include <chrono>
#include <mutex>

#include "cache/expiry.hpp"
#include "cache/thread_waits.hpp"
#include "cache/use_flag.hpp"

namespace pelm {

// Longer than a switch of the interpreter lock (5 ms by default), so a
// waiter woken by a release normally gets its turn before newcomers must
// queue; short enough that nobody notices the wait.
constexpr std::chrono::milliseconds kPatience{10};

class FlagWaiter {
 public:
  FlagWaiter(UseFlag& flag, bool exclusive) noexcept
      : waiter_(WaitTarget{&flag_owner, &flag}), flag_(flag), exclusive_(exclusive) {}
  FlagWaiter(const FlagWaiter&) = delete;
  FlagWaiter& operator=(const FlagWaiter&) = delete;
  // Leaving by any path but taking the use (a signal handler raised, a
  // refusal, a forced unwind) lets the next waiter look again.
  ~FlagWaiter() {
    if (!queued_) return;
    std::lock_guard<std::mutex> hold(wait_lock());
    leave();
    wake_first(flag_);
  }

  // The rest is called with wait_lock() held.
  void join() noexcept {
    if (queued_) return;
    prev_ = flag_.last_;
    next_ = nullptr;
    (prev_ != nullptr ? prev_->next_ : flag_.first_) = this;
    flag_.last_ = this;
    flag_.waiting_.fetch_add(1, std::memory_order_relaxed);
    waiter_.list();
    queued_ = true;
    since_ = std::chrono::steady_clock::now();
  }
  void leave() noexcept {
    if (!queued_) return;
    queued_ = false;
    (prev_ != nullptr ? prev_->next_ : flag_.first_) = next_;
    (next_ != nullptr ? next_->prev_ : flag_.last_) = prev_;
    flag_.waiting_.fetch_sub(1, std::memory_order_relaxed);
    waiter_.unlist();
  }
  [[nodiscard]] bool park(std::unique_lock<std::mutex>& lock) { return waiter_.park(lock); }

  // Wakes the first waiter, and the shared ones right behind it when it is
  // shared: those that may be able to take the use now.
  static void wake_first(UseFlag& flag) noexcept {
    for (FlagWaiter* w = flag.first_; w != nullptr; w = w->next_) {
      if (w->exclusive_ && w != flag.first_) break;
      w->waiter_.wake();
      if (w->exclusive_) break;
    }
  }
  [[nodiscard]] static bool blocks(const FlagWaiter* ahead, bool exclusive, std::uint64_t me) noexcept {
    return ahead->waiter_.thread() != me && (exclusive || ahead->exclusive_);
  }
  [[nodiscard]] const FlagWaiter* next() const noexcept { return next_; }
  [[nodiscard]] bool out_of_patience() const noexcept { return std::chrono::steady_clock::now() - since_ > kPatience; }

  static std::uint64_t flag_owner(const void* flag) noexcept {
    return static_cast<const UseFlag*>(flag)->exclusive_holder();
  }

 private:
  Waiter waiter_;
  UseFlag& flag_;
  bool exclusive_;
  bool queued_ = false;
  std::chrono::steady_clock::time_point since_{};
  FlagWaiter* prev_ = nullptr;
  FlagWaiter* next_ = nullptr;
};

namespace {

[[nodiscard]] bool holds_share_of(const UseFlag* flag) noexcept {
  for (const HeldShare* h = held_shares; h != nullptr; h = h->outer) {
    if (h->flag == flag) return true;
  }
  return false;
}

}  // namespace

std::uint64_t UseFlag::exclusive_holder() const noexcept {
  if (state_.load(std::memory_order_relaxed) >= 0) return 0;
  if (!use_holder_survives(generation_, holder_)) return 0;
  return holder_;
}

void UseFlag::void_queue_of_parent() noexcept {
  if (queue_generation_ == fork_generation()) [[likely]] {
    return;
  }
  // The queue's waiters are threads of the parent, gone in this child: not
  // even their condition variables may be touched.
  first_ = last_ = nullptr;
  waiting_.store(0, std::memory_order_relaxed);
  queue_generation_ = fork_generation();
}

void UseFlag::wake_waiters() {
  std::lock_guard<std::mutex> hold(wait_lock());
  void_queue_of_parent();
  FlagWaiter::wake_first(*this);
}

bool UseFlag::compatible(bool exclusive) noexcept {
  if (!exclusive && state_.load(std::memory_order_relaxed) > 0 && generation_ == fork_generation()) return true;
  return free_now();
}

bool UseFlag::may_take(bool exclusive, const FlagWaiter* self) noexcept {
  if (!compatible(exclusive)) return false;
  if (self == nullptr && (first_ == nullptr || !first_->out_of_patience())) return true;
  // A share of this thread's own is never made to wait behind others: an
  // exclusive waiter ahead waits for that very share to end.
  if (!exclusive && holds_share_of(this)) return true;
  const std::uint64_t me = this_thread_id();
  for (const FlagWaiter* w = first_; w != nullptr && w != self; w = w->next()) {
    if (FlagWaiter::blocks(w, exclusive, me)) return false;
  }
  return true;
}

bool UseFlag::this_thread_in_the_way(bool exclusive) noexcept {
  if (exclusive_holder() == this_thread_id()) return true;
  return exclusive && state_.load(std::memory_order_relaxed) > 0 && holds_share_of(this);
}

Result<std::optional<std::uint64_t>> UseFlag::wait_for_use(bool exclusive) {
  std::optional<FlagWaiter> me;
  for (;;) {
    std::unique_lock<std::mutex> lock(wait_lock());
    void_queue_of_parent();
    const bool ending = interpreter_finalizing();
    if (may_take(exclusive, me ? &*me : nullptr) || (ending && compatible(exclusive))) {
      if (me) me->leave();
      lock.unlock();
      if (is_free()) expire_due(cache_);  // as every call does first, now that it can
      const std::intptr_t cur = state_.load(std::memory_order_relaxed);
      const std::uint64_t generation = exclusive ? take(kExclusive)
                                       : cur > 0 ? (state_.store(cur + 1, std::memory_order_relaxed), generation_)
                                                 : take(1);
      // Shared waiters behind this one may go too.
      if (!exclusive && waiting_.load(std::memory_order_relaxed) != 0) wake_waiters();
      return std::optional<std::uint64_t>(generation);
    }
    if (ending || this_thread_in_the_way(exclusive) || wait_closes_cycle(WaitTarget{&FlagWaiter::flag_owner, this})) {
      return std::optional<std::uint64_t>();
    }
    if (!me) me.emplace(*this, exclusive);
    me->join();
    if (!me->park(lock)) return Error::fetch();
  }
}

Result<void> wait_to_read(UseFlag& f) {
  std::optional<SharedUse> use;
  return SharedUse::take(f, use);  // given back when `use` ends, at once
}

}  // namespace pelm
