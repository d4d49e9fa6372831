// Memoized coroutine functions (see async.hpp).
//
// Calling the wrapper returns the coroutine of a small Python function (the
// shim, async_shim.py, embedded at build time and compiled once per process),
// so the result is a real coroutine that every event loop, create_task and
// asyncio.run accept, and nothing runs until it is awaited. The key, the lookup, the decode and the store are the
// C++ ones plain calls use, reached through private helpers in the shim's
// namespace; Python-level code does only what needs the event loop: sharing
// one call among the awaits of one key. The key of a miss goes to the shim
// as an opaque object (async_key.hpp) and comes back to the store as it
// was written and hashed.
//
// Sharing. The first await of a key that misses starts the call in a task
// of its own, registered as a flight under (loop, key) in the wrapper's
// `flights` dict; that await and every later one of the key on that loop
// wait on the task through asyncio.shield, so a cancelled awaiter never
// cancels the shared call, whoever started it. The task stores the result
// and hands back the stored text (each awaiter decodes its own copy) or, for
// a result that cannot be stored, the result itself. If the call raises,
// every awaiter gets the exception and nothing is stored; a failure nobody
// waited for is marked retrieved, so it logs nothing. Only when the last
// awaiter is cancelled is the call cancelled too: nobody is left to want it,
// as with an unshared await. The flight leaves `flights` inside the task,
// before it completes, on every path.
#include <optional>
#include <string_view>

#include "convert/json_to_python.hpp"
#include "generated/async_shim.hpp"
#include "cache/entry_point.hpp"
#include "memoize/async.hpp"
#include "memoize/async_key.hpp"
#include "memoize/call.hpp"
#include "memoize/memo_object.hpp"
#include "cache/method_support.hpp"
#include "memoize/store.hpp"
#include "py/messages.hpp"
#include "py/per_interpreter.hpp"
#include "support/portable.hpp"

namespace pelm {

namespace {

// lookup's first answer: a hit, a call to run uncached, or the key of a miss.
enum Lookup : long { kHit = 0, kUncached = 1, kMiss = 2 };

PELM_COLD Error not_a_memo(PyObject* obj) {
  return Error::pending(PyExc_TypeError, not_an_instance_text(obj, "MemoizedFunction"));
}

Result<MemoObject*> memo_argument(PyObject* obj) {
  if (!is_memo(obj)) return not_a_memo(obj);
  MemoObject* memo = as_memo(obj);
  if (!memo->func) return cleared_memo_error();
  return memo;
}

Result<OwnedRef> pair(long first, OwnedRef second) {
  OwnedRef t = OwnedRef::steal(Py_BuildValue("(lO)", first, second.get()));
  if (!t) return Error::fetch();
  return t;
}

// lookup(memo, *args, **kwargs) -> (kHit, copy) | (kUncached, None) | (kMiss, key object)
PyObject* shim_lookup(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) return not_a_memo(Py_None);
    Result<MemoObject*> memo = memo_argument(args[0]);
    if (!memo.ok()) return std::move(memo.error());
    OwnedRef hit;
    Result<std::optional<MissedKey>> key =
        try_cache(memo.value(), args + 1, static_cast<std::size_t>(nargs - 1), kwnames, hit);
    if (!key.ok()) return std::move(key.error());
    if (hit) return pair(kHit, std::move(hit));
    if (!key.value()) return pair(kUncached, OwnedRef::borrow(Py_None));
    Result<OwnedRef> missed = new_async_key(std::move(*key.value()));
    if (!missed.ok()) return std::move(missed.error());
    return pair(kMiss, std::move(missed.value()));
  });
}

// store(memo, key object, result) -> (stored text as bytes, None) | (None, result)
// The key object is the caller's argument, so it outlives the store.
PyObject* shim_store(PyObject*, PyObject* const* args, Py_ssize_t nargsf) {
  return object_entry([&]() -> Result<OwnedRef> {
    const MissedKey* key = PyVectorcall_NARGS(nargsf) == 3 ? async_key_of(args[1]) : nullptr;
    if (key == nullptr) return not_a_memo(Py_None);
    Result<MemoObject*> memo = memo_argument(args[0]);
    if (!memo.ok()) return std::move(memo.error());
    PooledWriter pooled;
    Result<Storing> stored =
        store_result(memo_cache(memo.value()), key->ref(), memo_ttl(memo.value()), args[2], pooled);
    if (!stored.ok()) return std::move(stored.error());
    if (stored.value() == Storing::kDeclined) {
      OwnedRef t = OwnedRef::steal(PyTuple_Pack(2, Py_None, args[2]));
      if (!t) return Error::fetch();
      return t;
    }
    OwnedRef text =
        OwnedRef::steal(PyBytes_FromStringAndSize(pooled.text().data(), static_cast<Py_ssize_t>(pooled.text().size())));
    if (!text) return Error::fetch();
    OwnedRef t = OwnedRef::steal(PyTuple_Pack(2, text.get(), Py_None));
    if (!t) return Error::fetch();
    return t;
  });
}

PyObject* shim_decode(PyObject*, PyObject* text) {
  return object_entry([&]() -> Result<OwnedRef> {
    if (!PyBytes_CheckExact(text)) return Error::pending(PyExc_TypeError, not_an_instance_text(text, "bytes"));
    return python_from_json(
        std::string_view(PyBytes_AS_STRING(text), static_cast<std::size_t>(PyBytes_GET_SIZE(text))));
  });
}

PyObject* shim_wrapped(PyObject*, PyObject* obj) {
  return object_entry([&]() -> Result<OwnedRef> {
    Result<MemoObject*> memo = memo_argument(obj);
    if (!memo.ok()) return std::move(memo.error());
    return OwnedRef::borrow(memo.value()->func.get());
  });
}

PyObject* shim_in_flight(PyObject*, PyObject* obj) {
  return object_entry([&]() -> Result<OwnedRef> {
    Result<MemoObject*> memo = memo_argument(obj);
    if (!memo.ok()) return std::move(memo.error());
    if (!memo.value()->flights) return not_a_memo(obj);  // a plain function's wrapper
    return OwnedRef::borrow(memo.value()->flights.get());
  });
}

PyMethodDef shim_helpers[] = {
    {"lookup", as_cfunction<shim_lookup>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"store", as_cfunction<shim_store>(), METH_FASTCALL, nullptr},
    {"decode", shim_decode, METH_O, nullptr},
    {"wrapped", shim_wrapped, METH_O, nullptr},
    {"in_flight", shim_in_flight, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The shim's two functions, kept per interpreter (py/per_interpreter.hpp):
// they, their namespace and the helpers in it are that interpreter's objects.
// The functions and their namespace refer to each other, and the interpreter
// may destroy its kept objects after its last collection, so the namespace
// is emptied first: the cycle is broken and every object is freed.
struct Shim {
  static constexpr const char* kKey = "pelm_lib.memoize_shim";
  Shim() = default;
  Shim(const Shim&) = delete;
  Shim& operator=(const Shim&) = delete;
  ~Shim() {
    if (globals) PyDict_Clear(globals.get());
  }
  OwnedRef globals;
  OwnedRef call;  // memoized_call
  OwnedRef mark;
};

// Compiles the shim into a namespace of its own holding the helpers, once
// per interpreter; the compile can release the interpreter lock, and a
// thread that loses the race keeps its copy unused.
const Shim* shim() {
  Shim* kept = for_this_interpreter<Shim>();
  if (kept == nullptr || kept->call) return kept;
  OwnedRef globals = OwnedRef::steal(PyDict_New());
  OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
  if (!globals || !builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0 ||
      PyDict_SetItemString(globals.get(), "__name__", Py_None) < 0) {
    return nullptr;
  }
  for (PyMethodDef* def = shim_helpers; def->ml_name != nullptr; ++def) {
    OwnedRef f = OwnedRef::steal(PyCFunction_New(def, nullptr));
    if (!f || PyDict_SetItemString(globals.get(), def->ml_name, f.get()) < 0) return nullptr;
  }
  OwnedRef code = OwnedRef::steal(Py_CompileString(kAsyncShimSource, "<pelm_lib memoize>", Py_file_input));
  OwnedRef ran = code ? OwnedRef::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get())) : OwnedRef();
  if (!ran) return nullptr;
  OwnedRef call = OwnedRef::borrow(PyDict_GetItemString(globals.get(), "memoized_call"));
  OwnedRef mark = OwnedRef::borrow(PyDict_GetItemString(globals.get(), "mark"));
  if (!call || !mark) {
    PyErr_SetString(PyExc_SystemError, msg::kShimIncomplete.data());
    return nullptr;
  }
  if (!kept->call) {
    kept->globals = std::move(globals);
    kept->call = std::move(call);
    kept->mark = std::move(mark);
  } else {
    PyDict_Clear(globals.get());  // the losing copy's cycle, broken at once
  }
  return kept;
}

Result<OwnedRef> start_call(PyObject* op, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
  const Shim* s = shim();
  if (s == nullptr) return Error::fetch();
  OwnedRef positional = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
  OwnedRef keywords = OwnedRef::steal(PyDict_New());
  if (!positional || !keywords) return Error::fetch();
  for (std::size_t i = 0; i < nargs; ++i) {
    PyTuple_SET_ITEM(positional.get(), static_cast<Py_ssize_t>(i), Py_NewRef(args[i]));
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + static_cast<std::size_t>(j)]) < 0) {
      return Error::fetch();
    }
  }
  OwnedRef coroutine =
      OwnedRef::steal(PyObject_CallFunctionObjArgs(s->call.get(), op, positional.get(), keywords.get(), nullptr));
  if (!coroutine) return Error::fetch();
  return coroutine;
}

}  // namespace

Result<void> mark_coroutine_function(PyObject* wrapper) {
  const Shim* s = shim();
  if (s == nullptr) return Error::fetch();
  OwnedRef r = OwnedRef::steal(PyObject_CallOneArg(s->mark.get(), wrapper));
  if (!r) return Error::fetch();
  return {};
}

PyObject* memo_async_vectorcall(PyObject* op, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    if (!as_memo(op)->func) return cleared_memo_error();
    return start_call(op, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
  });
}

}  // namespace pelm
