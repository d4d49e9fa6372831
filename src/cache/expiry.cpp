// Retiring expired entries and storing timed ones (see expiry.hpp).
#include "cache/expiry.hpp"

#include <algorithm>

#include "support/monotonic_clock.hpp"

namespace pelm {

void expire_due_now(CacheObject* self) noexcept {
  if (!self->use_flag.is_free()) return;  // a nested call: see expiry.hpp
  self->counters.expirations += self->engine.expire(clock::now_ns());
}

void expire_due_held(CacheObject* self) noexcept {
  if (self->engine.next_deadline() == kNoDeadline) return;
  self->counters.expirations += self->engine.expire(clock::now_ns());
}

Deadline expire_before_store(CacheObject* self, std::optional<std::int64_t> ttl_ns) noexcept {
  Engine& engine = self->engine;
  if (!ttl_ns.has_value() && engine.next_deadline() == kNoDeadline) return kNoDeadline;
  const Deadline now = clock::now_ns();
  // The caller holds exclusive use, so nothing else is inside the engine;
  // and this comes before prepare_insert, since nothing may change the
  // engine between that and commit_insert.
  self->counters.expirations += engine.expire(now);
  if (!ttl_ns.has_value()) return kNoDeadline;
  // At most one nanosecond short of "never", so a timed entry reads as timed.
  return std::min(clock::add_saturating(now, *ttl_ns), kNoDeadline - 1);
}

}  // namespace pelm
