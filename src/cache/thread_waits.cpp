// The wait lock, parking, and the waits-for graph (see thread_waits.hpp).
#include "cache/thread_waits.hpp"

#include <chrono>
#include <new>
#include <thread>

#include "cache/fork_watch.hpp"

namespace pelm {

namespace {

// Built in place so the fork handler can make it anew (a thread that held it
// at the fork does not exist in the child); never destroyed, since a daemon
// thread may still use it while the process ends.
alignas(std::mutex) unsigned char g_lock_storage[sizeof(std::mutex)];
std::mutex* g_lock = new (g_lock_storage) std::mutex();

Waiter* g_waiting = nullptr;  // most recent first: a thread's innermost wait

// Long enough to cost nothing, short enough that a signal (Ctrl-C) reaches a
// waiting main thread well within a tenth of a second.
constexpr std::chrono::milliseconds kParkSlice{20};

[[noreturn]] void park_for_good() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

std::mutex& wait_lock() noexcept { return *g_lock; }

Waiter::Waiter(WaitTarget target) noexcept : thread_(this_thread_id()), target_(target) {}

Waiter::~Waiter() {
  if (!listed_) return;
  std::lock_guard<std::mutex> hold(wait_lock());
  unlist();
}

void Waiter::list() noexcept {
  if (listed_) return;
  prev_ = nullptr;
  next_ = g_waiting;
  if (next_ != nullptr) next_->prev_ = this;
  g_waiting = this;
  listed_ = true;
}

void Waiter::unlist() noexcept {
  if (!listed_) return;
  listed_ = false;
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else if (g_waiting == this) {
    g_waiting = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
}

bool Waiter::park(std::unique_lock<std::mutex>& lock) {
  PyThreadState* state = PyEval_SaveThread();
  cv_.wait_for(lock, kParkSlice, [this] { return woken_; });
  woken_ = false;
  lock.unlock();
  // Once the interpreter is shutting down, taking its lock back would end
  // this (daemon) thread, by a forced unwind through the calls it is making;
  // a waiter holds nothing anyone still needs (nobody waits any more), so it
  // stays here until the process ends instead, as newer interpreters do with
  // every such thread. Should the shutdown begin just after this look, the
  // unwind still comes, and the destructors on its way unlist the waiter
  // and pass on what its thread held.
  if (interpreter_finalizing()) park_for_good();
  PyEval_RestoreThread(state);
  return PyErr_CheckSignals() == 0;
}

bool wait_closes_cycle(WaitTarget target) noexcept {
  const std::uint64_t me = this_thread_id();
  // A cycle of threads has at most as many links as there are waiters; a
  // longer walk is a chain that changed under us (it cannot while we hold
  // the locks) and is cut short rather than followed for ever.
  std::size_t budget = 1;
  for (const Waiter* w = g_waiting; w != nullptr; w = w->next_) ++budget;
  std::uint64_t owner = target.owner(target.target);
  while (owner != 0 && budget-- > 0) {
    if (owner == me) return true;
    const Waiter* next = nullptr;
    for (const Waiter* w = g_waiting; w != nullptr; w = w->next_) {
      if (w->thread_ == owner) {
        next = w;
        break;
      }
    }
    if (next == nullptr) return false;
    owner = next->target_.owner(next->target_.target);
  }
  return false;
}

void reset_thread_waits_in_child() noexcept {
  g_lock = new (g_lock_storage) std::mutex();
  g_waiting = nullptr;
}

}  // namespace pelm
