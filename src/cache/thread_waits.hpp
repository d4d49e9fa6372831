// How a call of one thread waits for a call of another: the lock behind
// every wait, the parking of a waiting thread with the interpreter lock
// released, and the waits-for graph that keeps a wait from closing a cycle.
//
// Two kinds of wait use this: a use of a cache that another thread holds
// (use_flag_wait.cpp) and a memoized call whose key another thread is
// computing (memo_flight.cpp). A thread that waits is listed, with what it
// waits on, for as long as it waits; "what it waits on" resolves to the
// thread that must finish first. Before a thread waits it walks that chain:
// if the chain leads back to itself, waiting would never end, and the
// caller does what it did before threads could wait (fails at once, or
// runs the call directly).
//
// Lock order: `wait_lock` may be taken while holding the interpreter lock,
// never the other way round (nobody holding `wait_lock` waits for the
// interpreter lock), so it is only ever held for a few instructions.
//
// Threads are named by this_thread_id() (never reused, see fork_watch.hpp),
// not by their thread state or OS id, both of which a later thread may get.
// One OS thread is one name even when it runs code of several
// sub-interpreters: a wait on itself is a wait on itself, whatever
// interpreter holds what.
//
// A waiter is unlisted by its destructor, which may run without the
// interpreter lock: the forced unwind that ends a daemon thread trying to
// take the lock back at interpreter exit. After a fork the child's list is
// emptied (its waiters do not exist there) and the lock made anew.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pelm {

[[nodiscard]] std::mutex& wait_lock() noexcept;

// What a waiter waits on: `owner(target)` is the thread that must act for
// the wait to end, or 0 when no single thread is known.
struct WaitTarget {
  std::uint64_t (*owner)(const void* target) noexcept;
  const void* target;
};

// One thread's wait. `list` and `unlist` are called with `wait_lock` held;
// the destructor unlists a waiter still listed, taking the lock itself.
class Waiter {
 public:
  explicit Waiter(WaitTarget target) noexcept;
  ~Waiter();
  void list() noexcept;
  void unlist() noexcept;
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  // Called with `wait_lock` held: wakes this waiter's park.
  void wake() noexcept {
    woken_ = true;
    cv_.notify_one();
  }
  [[nodiscard]] std::uint64_t thread() const noexcept { return thread_; }

  // With `lock` (on wait_lock) held: releases it and the interpreter lock,
  // sleeps until woken or a short slice has passed, then takes the
  // interpreter lock back (not `lock`) and runs pending signal handlers.
  // False when a handler raised (the exception is set). The slice bounds
  // how late a signal is seen and a wake-up missed for any reason.
  [[nodiscard]] bool park(std::unique_lock<std::mutex>& lock);

 private:
  friend bool wait_closes_cycle(WaitTarget target) noexcept;
  std::uint64_t thread_;
  WaitTarget target_;
  bool woken_ = false;
  bool listed_ = false;
  std::condition_variable cv_;
  Waiter* prev_ = nullptr;
  Waiter* next_ = nullptr;
};

// Whether the calling thread waiting on `target` would wait, through other
// waiting threads, for itself. Called with `wait_lock` held.
[[nodiscard]] bool wait_closes_cycle(WaitTarget target) noexcept;

// True once the interpreter is shutting down: a thread that holds what we
// wait for may have been stopped for good, so nobody starts or goes on
// waiting.
[[nodiscard]] inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// For the fork handler: the child's list is empty and its lock new.
void reset_thread_waits_in_child() noexcept;

}  // namespace pelm
