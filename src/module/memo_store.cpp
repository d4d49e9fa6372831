// A memoized call's lookup and store (see memo_store.hpp).
#include "module/memo_store.hpp"

#include <optional>
#include <string>

#include "convert/json_to_python.hpp"
#include "convert/python_to_json.hpp"
#include "py/messages.hpp"

namespace pelm {

namespace {

// The cache's statistics have no counters yet; a memoized call counts where
// get would, through these two.
void count_hit(CacheObject*) noexcept {}
void count_miss(CacheObject*) noexcept {}

}  // namespace

Result<Found> look_up(CacheObject* cache, MemoKey key, OwnedRef& copy) {
  std::optional<ExclusiveUse> use;
  if (ExclusiveUse::take(cache->use_flag, use)) return Found::kBusy;
  Engine& engine = cache->engine;
  Entry* entry = engine.find(key.text, engine.hash(key.str_hash));
  if (entry == nullptr) {
    count_miss(cache);
    return Found::kMiss;
  }
  engine.move_to_front(entry);
  count_hit(cache);
  // As in get: decoding runs no user code, so `entry` stays valid.
  Result<OwnedRef> decoded = python_from_json(entry->data());
  if (!decoded.ok()) return std::move(decoded.error());
  copy = std::move(decoded.value());
  return Found::kHit;
}

Result<bool> store_result(CacheObject* cache, MemoKey key, PyObject* ttl, PyObject* result, PooledWriter& pooled) {
  if (auto e = write_python_as_json(result, pooled.writer())) {
    if (e->is_panic()) return std::move(*e).to_error({});
    return false;
  }
  std::optional<ExclusiveUse> use;
  if (ExclusiveUse::take(cache->use_flag, use)) return false;
  Engine& engine = cache->engine;
  const std::string_view text = pooled.text();
  if (text.size() > engine.limit()) return false;
  if (!ensure_cache_node_type()) {
    PyErr_WriteUnraisable(nullptr);
    return Error::panic(std::string(msg::kNodeTypeFailed));
  }
  // Decoration accepts only None until entries can expire.
  (void)ttl;
  EntryPtr entry = engine.prepare_insert(key.text, text, engine.hash(key.str_hash));
  engine.commit_insert(std::move(entry));
  return true;
}

}  // namespace pelm
