// A memoized call's lookup and store (see memo_store.hpp).
#include "module/memo_store.hpp"

#include <optional>

#include "convert/json_to_python.hpp"
#include "convert/python_to_json.hpp"
#include "module/method_support.hpp"

namespace pelm {

Result<Found> look_up(CacheObject* cache, MemoKey key, OwnedRef& copy) {
  std::optional<ExclusiveUse> use;
  if (ExclusiveUse::take(cache->use_flag, use)) return Found::kBusy;
  // As every call does first (expiry.hpp); this is the first time the call
  // touches the cache, and it holds exclusive use.
  expire_due_held(cache);
  Engine& engine = cache->engine;
  Entry* entry = engine.find(key.text, engine.hash(key.str_hash));
  if (entry == nullptr) {
    ++cache->counters.misses;
    return Found::kMiss;
  }
  // Counted as get counts: a hit is a hit even if decoding then fails.
  ++cache->counters.hits;
  engine.move_to_front(entry);
  // As in get: decoding runs no user code, so `entry` stays valid.
  Result<OwnedRef> decoded = python_from_json(entry->data());
  if (!decoded.ok()) return std::move(decoded.error());
  copy = std::move(decoded.value());
  return Found::kHit;
}

Result<bool> store_result(CacheObject* cache, MemoKey key, std::optional<std::int64_t> ttl_ns, PyObject* result,
                          PooledWriter& pooled) {
  if (auto e = write_python_as_result(result, pooled.writer())) {
    if (e->is_panic()) return std::move(*e).to_error({});
    return false;
  }
  std::optional<ExclusiveUse> use;
  if (ExclusiveUse::take(cache->use_flag, use)) return false;
  const std::string_view text = pooled.text();
  if (text.size() > cache->engine.limit()) return false;
  Key as_key;
  as_key.text = key.text;
  as_key.str_hash = key.str_hash;
  Result<OwnedRef> stored = store_text(cache, as_key, text, ttl_ns);
  if (!stored.ok()) return std::move(stored.error());
  return true;
}

}  // namespace pelm
