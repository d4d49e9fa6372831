// Which holders of a use taken before a fork still exist in the child.
//
// fork copies every cache, use flag included, but only the calling thread:
// a use that another thread held at that moment is never released in the
// child, and would leave that cache refusing every call for good. So a use
// records the fork generation it was taken in and the thread that took it,
// and a use from an earlier generation counts only when its thread is the
// one that forked into this process (that thread carries on and releases it).
//
// Threads are told apart by ids of our own, handed out once per thread and
// never reused (a pthread_t can be reused by a thread made after another
// ended). The child handler runs in the new process while it has one thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "support/portable.hpp"

namespace pelm {

namespace fork_watch_detail {
inline std::atomic<std::uint64_t> generation{0};
// Initial-exec: read straight from the thread pointer, with no call, since
// every exclusive use reads it; it takes 8 bytes of the static TLS reserve.
PELM_TLS_INITIAL_EXEC inline thread_local std::uint64_t thread_id = 0;
[[nodiscard]] PELM_COLD std::uint64_t assign_thread_id() noexcept;
}  // namespace fork_watch_detail

// The number of forks between the first process and this one.
[[nodiscard]] inline std::uint64_t fork_generation() noexcept {
  return fork_watch_detail::generation.load(std::memory_order_relaxed);
}

// The calling thread's id (never 0).
[[nodiscard]] inline std::uint64_t this_thread_id() noexcept {
  const std::uint64_t id = fork_watch_detail::thread_id;
  return id != 0 ? id : fork_watch_detail::assign_thread_id();
}

// Whether the thread `holder` that took a use in `generation` still exists.
[[nodiscard]] bool use_holder_survives(std::uint64_t generation, std::uint64_t holder) noexcept;

// Registers the child handler, once per process; false if it cannot be.
// `also_in_child` (may be null) runs in the child after this layer's own
// resets: the layers above keep state a fork must reset too (memoize's
// flights), and this layer may not see them. The first registration's
// `also_in_child` is the one kept.
using ForkChildReset = void (*)() noexcept;
[[nodiscard]] bool watch_forks(ForkChildReset also_in_child = nullptr) noexcept;

}  // namespace pelm
