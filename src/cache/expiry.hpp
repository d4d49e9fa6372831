// When entries with a time limit leave the cache.
//
// Policy: every call on a cache (each method, slot, `in`, len(), repr,
// `limit`) first retires the entries whose deadline has passed, so an
// expired entry is gone for every caller and its memory is released no later
// than the start of the next call. A cache without timed entries pays one
// comparison for this and never reads the clock. An insert retires again
// after its conversion, which runs user code for as long as that code likes,
// and before it evicts, so it never drops a live entry while an expired one
// stays.
//
// Hazard: a call made while another call holds the use flag (user code run
// by that call, such as a __del__ or a value's __len__, calling back in)
// must not free entries under the outer call, so it retires nothing: it sees
// the cache as of the last retirement, expired entries included. Such a call
// can only read (the flag refuses it anything else), and the outer call
// retires what is due when it next can.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/cache_object.hpp"
#include "support/portable.hpp"

namespace pelm {

// The retirement at the start of a call, when some entry has a deadline.
PELM_NOINLINE void expire_due_now(CacheObject* self) noexcept;

inline void expire_due(CacheObject* self) noexcept {
  if (self->engine.next_deadline() == kNoDeadline) [[likely]] {
    return;
  }
  expire_due_now(self);
}

// For a call that holds exclusive use and may have run user code since its
// start: retires what has expired meanwhile, before the call evicts.
void expire_due_held(CacheObject* self) noexcept;

// For a store by a call that holds exclusive use, right before its
// prepare_insert: retires what has expired (the conversion before it may have
// run for long), and returns the new entry's deadline, `ttl_ns` from now, or
// kNoDeadline without one. Reads the clock only when a limit is given or
// some entry has one.
[[nodiscard]] Deadline expire_before_store(CacheObject* self, std::optional<std::int64_t> ttl_ns) noexcept;

}  // namespace pelm
