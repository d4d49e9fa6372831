// A memoized call's lookup and store (see store.hpp).
#include "memoize/store.hpp"

#include <optional>

#include "convert/json_to_python.hpp"
#include "convert/python_to_json.hpp"
#include "cache/store.hpp"

namespace pelm {

Result<Found> look_up(CacheObject* cache, MemoKey key, OwnedRef& copy) {
  std::optional<ExclusiveUse> use;
  Result<Taking> taken = ExclusiveUse::take_unless_refused(cache->use_flag, use);
  if (!taken.ok()) return std::move(taken.error());
  if (taken.value() == Taking::kRefused) return Found::kBusy;
  // As every call does first (expiry.hpp); this is the first time the call
  // touches the cache, and it holds exclusive use.
  expire_due_held(cache);
  // Counted as get counts: a hit is a hit even if decoding then fails.
  Entry* entry = find_and_promote(cache, key);
  if (entry == nullptr) return Found::kMiss;
  // As in get: decoding runs no user code, so `entry` stays valid.
  Result<OwnedRef> decoded = python_from_stored_json(entry->data());
  if (!decoded.ok()) return std::move(decoded.error());
  copy = std::move(decoded.value());
  return Found::kHit;
}

Result<Storing> store_result(CacheObject* cache, MemoKey key, std::optional<std::int64_t> ttl_ns, PyObject* result,
                             PooledWriter& pooled) {
  if (auto e = write_python_as_result(result, pooled.writer())) {
    if (e->is_panic()) return std::move(*e).to_error({});
    return Storing::kDeclined;
  }
  std::optional<ExclusiveUse> use;
  Result<Taking> taken = ExclusiveUse::take_unless_refused(cache->use_flag, use);
  if (!taken.ok()) return std::move(taken.error());
  if (taken.value() == Taking::kRefused) return Storing::kDeclined;
  const std::string_view text = pooled.text();
  if (text.size() > cache->engine.limit()) return Storing::kDeclined;
  PELM_TRY(store_text(cache, key, text, ttl_ns));
  return Storing::kStored;
}

}  // namespace pelm
