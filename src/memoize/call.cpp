// Calling a memoized (plain) function: write the key, look it up, and on a
// miss call the function and store what it returns. Concurrent misses of
// one key from several threads run the function once (memo_flight.hpp).
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
#include "memoize/flight.hpp"
#include "memoize/key.hpp"
#include "memoize/store.hpp"

namespace pelm {

Result<std::optional<MissedKey>> try_cache(MemoObject* self, PyObject* const* args, std::size_t nargs,
                                           PyObject* kwnames, OwnedRef& hit) {
  PooledWriter pooled;
  Result<Keyed> written = write_call_key(*self, args, nargs, kwnames, pooled);
  if (!written.ok()) return std::move(written.error());
  if (written.value() == Keyed::kUncacheable) return std::optional<MissedKey>();
  Result<std::uint64_t> hash = key_str_hash(pooled.text());
  if (!hash.ok()) return std::move(hash.error());
  Result<Found> found = look_up(memo_cache(self), MemoKey{pooled.text(), hash.value()}, hit);
  if (!found.ok()) return std::move(found.error());
  if (found.value() != Found::kMiss) return std::optional<MissedKey>();
  return std::optional<MissedKey>(MissedKey{std::string(pooled.text()), hash.value()});
}

namespace {

Result<OwnedRef> call_function(MemoObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                               FlightOwner* flight) {
  OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(self->func.get(), args, nargsf, kwnames));
  if (result) return result;
  if (flight != nullptr) {
    OwnedRef exc = take_raised_exception();
    if (exc) {
      flight->land_raised(exc.get());
      restore_raised_exception(std::move(exc));
    }
  }
  return Error::fetch();
}

Result<OwnedRef> store_and_copy(MemoObject* self, const MissedKey& key, OwnedRef result, FlightOwner* flight) {
  PooledWriter pooled;
  Result<Storing> stored = store_result(memo_cache(self), key.ref(), memo_ttl(self), result.get(), pooled);
  if (!stored.ok()) return std::move(stored.error());
  if (stored.value() == Storing::kDeclined) return result;
  if (flight != nullptr) flight->land_stored(pooled.text());
  return python_from_stored_json(pooled.text());
}

// A miss: runs the function (once per key across threads, memo_flight.hpp)
// and stores what it returns.
Result<OwnedRef> run_missed(MemoObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                            const MissedKey& key) {
  Result<FlightJoin> joined = join_flight(memo_cache(self), key.text);
  if (!joined.ok()) return std::move(joined.error());
  FlightJoin& join = joined.value();
  switch (join.kind) {
    case FlightJoin::Kind::kStored:
      return python_from_json(join.text);
    case FlightJoin::Kind::kRaised:
      restore_raised_exception(std::move(join.exception));
      return Error::fetch();
    case FlightJoin::Kind::kOwner:
    case FlightJoin::Kind::kRunDirectly:
      break;
  }
  Result<OwnedRef> result = call_function(self, args, nargsf, kwnames, join.owner.get());
  if (!result.ok()) return result;
  return store_and_copy(self, key, std::move(result.value()), join.owner.get());
}

Result<OwnedRef> memoized_call(MemoObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  OwnedRef hit;
  Result<std::optional<MissedKey>> key = try_cache(self, args, PyVectorcall_NARGS(nargsf), kwnames, hit);
  if (!key.ok()) return std::move(key.error());
  if (hit) return hit;
  if (!key.value()) return call_function(self, args, nargsf, kwnames, nullptr);
  return run_missed(self, args, nargsf, kwnames, *key.value());
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
