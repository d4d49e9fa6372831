// get_raw, insert_raw and peek: the stored text handed out as bytes, JSON
// text stored in its canonical form without building Python objects, and a
// decoded look at an entry that leaves the recency order and the counters
// alone.
//
// get_raw and insert_raw take exclusive use, as get and insert do. peek
// only reads; its decoding can start a garbage collection whose finalisers
// may call this cache, so it holds a counted shared use: such calls may read
// but not change the cache, and the entry being decoded stays valid.
#include "codec/canonical_text.hpp"
#include "convert/json_to_python.hpp"
#include "cache/method_support.hpp"
#include "cache/methods.hpp"
#include "cache/pooled_writer.hpp"
#include "cache/store.hpp"
#include "cache/text_argument.hpp"
#include "support/portable.hpp"

namespace pelm {

namespace {

constexpr Signature kGetRawSignature{"Cache.get_raw()", {"key", nullptr}, 1, 1};
constexpr Signature kInsertRawSignature{"Cache.insert_raw()", {"key", "text", "ttl"}, 3, 2};
constexpr Signature kPeekSignature{"Cache.peek()", {"key", nullptr}, 1, 1};

PELM_COLD Error refused(const codec::CanonicalTextError& e) {
  return Error::pending(PyExc_ValueError, msg::text_refused(e.text()));
}

}  // namespace

Result<OwnedRef> get_raw_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key;
  PELM_TRY(enter_keyed(kGetRawSignature, self, args, nargsf, kwnames, bound, use, key));
  Entry* entry = find_and_promote(self, key);
  if (entry == nullptr) return not_found(key.text);
  const std::string_view text = entry->data();
  OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!bytes) return Error::fetch();
  return bytes;
}

Result<OwnedRef> insert_raw_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  TextArgument text;  // outlives `use`: see text_argument.hpp
  BoundArgs bound;
  std::optional<ExclusiveUse> use;
  Key key;
  PELM_TRY(enter_keyed(kInsertRawSignature, self, args, nargsf, kwnames, bound, use, key));
  PELM_TRY(text.take(bound[1]));
  Result<std::optional<std::int64_t>> ttl_ns = convert_optional_ttl(bound[2]);
  if (!ttl_ns.ok()) return std::move(ttl_ns.error());
  PooledWriter pooled;
  if (auto e = codec::write_canonical(text.bytes(), pooled.writer())) return refused(*e);
  return store_text(self, key, pooled.text(), ttl_ns.value());
}

Result<OwnedRef> peek_impl(CacheObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs bound;
  std::optional<SharedUse> use;
  Key key;
  PELM_TRY(enter_keyed(kPeekSignature, self, args, nargsf, kwnames, bound, use, key));
  const Entry* entry = self->engine.find(key);
  if (entry == nullptr) return not_found(key.text);
  return python_from_stored_json(entry->data());
}

}  // namespace pelm
