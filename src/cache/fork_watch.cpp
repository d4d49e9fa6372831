// The fork generation and the thread that made the last fork (see fork_watch.hpp).
#include "cache/fork_watch.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <atomic>
#include <mutex>

#include "cache/thread_waits.hpp"

namespace pelm {

namespace {

std::atomic<std::uint64_t> g_survivor{0};  // 0 until the first fork
std::atomic<std::uint64_t> g_last_thread_id{0};
std::atomic<bool> g_watching{false};
ForkChildReset g_also_in_child = nullptr;

void on_fork_child() noexcept {
  g_survivor.store(this_thread_id(), std::memory_order_relaxed);
  fork_watch_detail::generation.fetch_add(1, std::memory_order_relaxed);
  reset_thread_waits_in_child();
  if (g_also_in_child != nullptr) g_also_in_child();
}

}  // namespace

std::uint64_t fork_watch_detail::assign_thread_id() noexcept {
  thread_id = g_last_thread_id.fetch_add(1, std::memory_order_relaxed) + 1;
  return thread_id;
}

bool use_holder_survives(std::uint64_t generation, std::uint64_t holder) noexcept {
  return generation == fork_generation() || holder == g_survivor.load(std::memory_order_relaxed);
}

bool watch_forks(ForkChildReset also_in_child) noexcept {
  if (g_watching.load(std::memory_order_acquire)) return true;
  // Interpreters with locks of their own may execute the module at the same
  // moment: one of them registers the handler, and a failed registration is
  // tried again by the next.
  static std::mutex registering;
  std::lock_guard<std::mutex> hold(registering);
  if (g_watching.load(std::memory_order_relaxed)) return true;
  g_also_in_child = also_in_child;
#if !defined(_WIN32)
  if (pthread_atfork(nullptr, nullptr, on_fork_child) != 0) return false;
#else
  (void)on_fork_child;  // no fork on Windows: the generation never moves
#endif
  g_watching.store(true, std::memory_order_release);
  return true;
}

}  // namespace pelm
