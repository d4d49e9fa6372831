// Calling a memoized (plain) function: write the key, look it up, and on a
// miss call the function and store what it returns.
//
// Order and why: the key is written before the cache is touched (writing
// runs the arguments' code); the function runs with no use of the cache held
// and with the key copied out of the pooled buffer, so it may use the cache,
// this wrapper and other memoized functions; its result is converted before
// the cache is taken again. An exception from the function propagates and
// stores nothing. A hit and a stored result both come back freshly decoded,
// so the first call and every later one return equal values of the same
// types; a result that cannot be stored is returned as it is.
#include "convert/json_to_python.hpp"
#include "cache/entry_point.hpp"
#include "memoize/call.hpp"
#include "memoize/key.hpp"
#include "memoize/store.hpp"

namespace pelm {

Result<std::optional<MissedKey>> try_cache(MemoObject* self, PyObject* const* args, std::size_t nargs,
                                           PyObject* kwnames, OwnedRef& hit) {
  PooledWriter pooled;
  Result<bool> written = write_call_key(*self, args, nargs, kwnames, pooled);
  if (!written.ok()) return std::move(written.error());
  if (!written.value()) return std::optional<MissedKey>();
  Result<std::uint64_t> hash = key_str_hash(pooled.text());
  if (!hash.ok()) return std::move(hash.error());
  Result<Found> found = look_up(memo_cache(self), MemoKey{pooled.text(), hash.value()}, hit);
  if (!found.ok()) return std::move(found.error());
  if (found.value() != Found::kMiss) return std::optional<MissedKey>();
  return std::optional<MissedKey>(MissedKey{std::string(pooled.text()), hash.value()});
}

namespace {

Result<OwnedRef> call_function(MemoObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(self->func.get(), args, nargsf, kwnames));
  if (!result) return Error::fetch();
  return result;
}

Result<OwnedRef> store_and_copy(MemoObject* self, const MissedKey& key, OwnedRef result) {
  PooledWriter pooled;
  Result<bool> stored =
      store_result(memo_cache(self), MemoKey{key.text, key.str_hash}, memo_ttl(self), result.get(), pooled);
  if (!stored.ok()) return std::move(stored.error());
  if (!stored.value()) return result;
  return python_from_json(pooled.text());
}

Result<OwnedRef> memoized_call(MemoObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  OwnedRef hit;
  Result<std::optional<MissedKey>> key = try_cache(self, args, PyVectorcall_NARGS(nargsf), kwnames, hit);
  if (!key.ok()) return std::move(key.error());
  if (hit) return hit;
  Result<OwnedRef> result = call_function(self, args, nargsf, kwnames);
  if (!result.ok() || !key.value()) return result;
  return store_and_copy(self, *key.value(), std::move(result.value()));
}

}  // namespace

PyObject* memo_vectorcall(PyObject* op, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    MemoObject* self = as_memo(op);
    if (!self->func) return cleared_memo_error();
    // A caller may call through a borrowed reference that the function
    // drops; the store after it still needs the wrapper.
    OwnedRef keep = OwnedRef::borrow(op);
    return memoized_call(self, args, nargsf, kwnames);
  });
}

}  // namespace pelm
