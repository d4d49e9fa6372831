// Cache.memoize(func=None, /, *, prefix=None, ttl=None): match and check the
// arguments, then make the wrapper. Everything here runs once per decorated
// function, so it may use Python-level helpers (functools, inspect) freely;
// what every call needs is read into the wrapper now (plan.hpp).
//
// A staticmethod or classmethod object is unwrapped, its function memoized,
// and the wrapper wrapped again in the same kind, so the decorators can be
// stacked in either order.
#include <cstdint>
#include <optional>
#include <string>

#include "cache/convert_arguments.hpp"
#include "cache/entry_point.hpp"
#include "cache/match_arguments.hpp"
#include "memoize/async.hpp"
#include "memoize/decorate.hpp"
#include "memoize/memo_object.hpp"
#include "py/messages.hpp"
#include "py/str_utf8.hpp"
#include "support/portable.hpp"

namespace pelm {

namespace {

constexpr const char kName[] = "Cache.memoize()";

PELM_COLD Error type_error(std::string text) { return Error::pending(PyExc_TypeError, std::move(text)); }

// The call's arguments, borrowed from its argument array.
struct MemoizeArgs {
  PyObject* func = Py_None;
  PyObject* prefix = Py_None;
  PyObject* ttl = Py_None;
};

Result<void> match_memoize(PyObject* const* args, std::size_t nargs, PyObject* kwnames, MemoizeArgs& out) {
  if (nargs > 1) return type_error(msg::too_many_positional(kName, "from 0 to 1", nargs));
  if (nargs == 1) out.func = args[0];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[nargs + static_cast<std::size_t>(i)];
    if (PyUnicode_CompareWithASCIIString(name, "prefix") == 0) {
      out.prefix = value;
    } else if (PyUnicode_CompareWithASCIIString(name, "ttl") == 0) {
      out.ttl = value;
    } else if (PyUnicode_CompareWithASCIIString(name, "func") == 0) {
      return type_error(msg::positional_only_as_keyword(kName, "'func'"));
    } else {
      return type_error(msg::unexpected_keyword(kName, keyword_text(name)));
    }
  }
  return {};
}

// A prefix is a str with a UTF-8 form (no lone surrogate).
Result<void> check_prefix(PyObject* prefix) {
  if (prefix == Py_None) return {};
  if (!PyUnicode_Check(prefix)) {
    return type_error(not_an_instance_text(prefix, "str")).with_argument_note("prefix");
  }
  Utf8Scratch scratch;
  std::string_view utf8;
  if (!str_utf8_view(prefix, scratch, &utf8)) return Error::fetch().with_argument_note("prefix");
  return {};
}

// The prefix's UTF-8 as bytes, which every call writes first.
Result<OwnedRef> prefix_bytes(PyObject* prefix) {
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(prefix));
  if (!bytes) return Error::fetch();
  return bytes;
}

// The attribute if it is there, null if it is not; any other failure is an error.
Result<OwnedRef> attribute_if_any(PyObject* obj, const char* name) {
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(obj, name));
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
  PyErr_Clear();
  return OwnedRef();
}

// func.__module__ + "." + func.__qualname__ (__name__ if there is no
// __qualname__; the qualified name alone if __module__ is not a str).
Result<OwnedRef> default_prefix(PyObject* func) {
  Result<OwnedRef> name = attribute_if_any(func, "__qualname__");
  if (name.ok() && !name.value()) name = attribute_if_any(func, "__name__");
  if (!name.ok()) return std::move(name.error());
  if (!name.value() || !PyUnicode_Check(name.value().get())) return type_error(std::string(msg::kMemoNoName));
  Result<OwnedRef> module = attribute_if_any(func, "__module__");
  if (!module.ok()) return std::move(module.error());
  if (!module.value() || !PyUnicode_Check(module.value().get())) return std::move(name.value());
  OwnedRef prefix = OwnedRef::steal(PyUnicode_FromFormat("%U.%U", module.value().get(), name.value().get()));
  if (!prefix) return Error::fetch();
  return prefix;
}

Result<OwnedRef> call_module_function(const char* module, const char* function, PyObject* a, PyObject* b) {
  OwnedRef m = OwnedRef::steal(PyImport_ImportModule(module));
  OwnedRef f = m ? OwnedRef::steal(PyObject_GetAttrString(m.get(), function)) : OwnedRef();
  OwnedRef r = f ? OwnedRef::steal(PyObject_CallFunctionObjArgs(f.get(), a, b, nullptr)) : OwnedRef();
  if (!r) return Error::fetch();
  return r;
}

Result<bool> is_coroutine_function(PyObject* func) {
  Result<OwnedRef> r = call_module_function("inspect", "iscoroutinefunction", func, nullptr);
  if (!r.ok()) return std::move(r.error());
  const int truth = PyObject_IsTrue(r.value().get());
  if (truth < 0) return Error::fetch();
  return truth == 1;
}

Result<OwnedRef> make_wrapper(PyObject* cache, PyObject* func, PyObject* prefix, std::optional<std::int64_t> ttl_ns) {
  if (!PyCallable_Check(func)) {
    return type_error(msg::not_callable(type_qualname(func))).with_argument_note("func");
  }
  MemoParts parts;
  Result<BindingPlan> plan = read_binding_plan(func);
  if (!plan.ok()) return std::move(plan.error());
  parts.plan = std::move(plan.value());
  Result<OwnedRef> chosen = prefix != Py_None ? Result<OwnedRef>(OwnedRef::borrow(prefix)) : default_prefix(func);
  if (!chosen.ok()) return std::move(chosen.error());
  Result<OwnedRef> utf8 = prefix_bytes(chosen.value().get());
  if (!utf8.ok()) return std::move(utf8.error());
  Result<bool> is_async = is_coroutine_function(func);
  if (!is_async.ok()) return std::move(is_async.error());
  parts.func = OwnedRef::borrow(func);
  parts.cache = OwnedRef::borrow(cache);
  parts.prefix = std::move(utf8.value());
  parts.ttl_ns = ttl_ns;
  parts.is_async = is_async.value();
  Result<OwnedRef> wrapper = new_memo(std::move(parts));
  if (!wrapper.ok()) return wrapper;
  PELM_TRY(call_module_function("functools", "update_wrapper", wrapper.value().get(), func));
  if (is_async.value()) {
    PELM_TRY(mark_coroutine_function(wrapper.value().get()));
  }
  return wrapper;
}

Result<OwnedRef> memoize(PyObject* cache, PyObject* func, PyObject* prefix, std::optional<std::int64_t> ttl_ns) {
  if (!PyObject_TypeCheck(func, &PyStaticMethod_Type) && !PyObject_TypeCheck(func, &PyClassMethod_Type)) {
    return make_wrapper(cache, func, prefix, ttl_ns);
  }
  OwnedRef inner = OwnedRef::steal(PyObject_GetAttrString(func, "__func__"));
  if (!inner) return Error::fetch();
  Result<OwnedRef> wrapper = make_wrapper(cache, inner.get(), prefix, ttl_ns);
  if (!wrapper.ok()) return wrapper;
  OwnedRef kind = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(func)));
  OwnedRef rewrapped = OwnedRef::steal(PyObject_CallOneArg(kind.get(), wrapper.value().get()));
  if (!rewrapped) return Error::fetch();
  return rewrapped;
}

// memoize(prefix=..., ttl=...) without a function: the decorator that takes it.
Result<OwnedRef> decorator(PyObject* cache, PyObject* prefix, PyObject* ttl) {
  OwnedRef method = OwnedRef::steal(PyObject_GetAttrString(cache, "memoize"));
  OwnedRef functools = OwnedRef::steal(PyImport_ImportModule("functools"));
  OwnedRef partial = functools ? OwnedRef::steal(PyObject_GetAttrString(functools.get(), "partial")) : OwnedRef();
  OwnedRef no_args = OwnedRef::steal(PyTuple_Pack(1, method.get()));
  OwnedRef kwargs = OwnedRef::steal(Py_BuildValue("{sOsO}", "prefix", prefix, "ttl", ttl));
  if (!method || !partial || !no_args || !kwargs) return Error::fetch();
  OwnedRef made = OwnedRef::steal(PyObject_Call(partial.get(), no_args.get(), kwargs.get()));
  if (!made) return Error::fetch();
  return made;
}

}  // namespace

PyObject* cache_memoize(PyObject* op, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    MemoizeArgs a;
    PELM_TRY(match_memoize(args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames, a));
    PELM_TRY(check_prefix(a.prefix));
    // Converted as insert_ttl converts it, so the same values are refused.
    Result<std::optional<std::int64_t>> ttl_ns = convert_optional_ttl(a.ttl);
    if (!ttl_ns.ok()) return std::move(ttl_ns.error());
    if (a.func == Py_None) return decorator(op, a.prefix, a.ttl);
    return memoize(op, a.func, a.prefix, ttl_ns.value());
  });
}

}  // namespace pelm
