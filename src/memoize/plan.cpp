// Reading a binding plan (see plan.hpp). Runs at decoration time only,
// so it may use the inspect module and attribute lookups freely.
#include "memoize/plan.hpp"

#include <initializer_list>
#include <optional>

#include "py/has_attribute.hpp"

namespace pelm {

namespace {

// inspect.Parameter's kinds, by their documented values.
enum ParameterKind : long {
  kPositionalOnly = 0,
  kPositionalOrKeyword = 1,
  kVarPositional = 2,
  kKeywordOnly = 3,
  kVarKeyword = 4,
};

Result<BindingPlan> plan_from_code(PyObject* func) {
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(func));
  BindingPlan plan;
  plan.code = OwnedRef::borrow(reinterpret_cast<PyObject*>(code));
  plan.positional = code->co_argcount;
  plan.positional_only = code->co_posonlyargcount;
  plan.var_positional = (code->co_flags & CO_VARARGS) != 0;
  plan.var_keyword = (code->co_flags & CO_VARKEYWORDS) != 0;
  OwnedRef varnames = OwnedRef::steal(PyCode_GetVarnames(code));
  if (!varnames) return Error::fetch();
  // The compiler interns every name it stores in a code object.
  plan.names = OwnedRef::steal(PyTuple_GetSlice(varnames.get(), 0, code->co_argcount + code->co_kwonlyargcount));
  if (!plan.names) return Error::fetch();
  return plan;
}

// (*args, **kwargs): what a callable without a signature binds as.
Result<BindingPlan> pass_through_plan() {
  BindingPlan plan;
  plan.names = OwnedRef::steal(PyTuple_New(0));
  if (!plan.names) return Error::fetch();
  plan.var_positional = true;
  plan.var_keyword = true;
  return plan;
}

Result<OwnedRef> interned_name(PyObject* parameter) {
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(parameter, "name"));
  if (!name) return Error::fetch();
  // A str subclass would keep its own __eq__; the plan compares exact text.
  PyObject* exact = PyUnicode_FromObject(name.get());
  if (exact == nullptr) return Error::fetch();
  PyUnicode_InternInPlace(&exact);
  return OwnedRef::steal(exact);
}

Result<long> parameter_kind(PyObject* parameter) {
  OwnedRef kind = OwnedRef::steal(PyObject_GetAttrString(parameter, "kind"));
  if (!kind) return Error::fetch();
  long v = PyLong_AsLong(kind.get());
  if (v == -1 && PyErr_Occurred()) return Error::fetch();
  return v;
}

// Adds one parameter; inspect.Signature guarantees the kinds come in order.
Result<void> add_parameter(BindingPlan& plan, PyObject* parameter, PyObject* names, PyObject* defaults) {
  Result<long> kind = parameter_kind(parameter);
  if (!kind.ok()) return std::move(kind.error());
  if (kind.value() == kVarPositional || kind.value() == kVarKeyword) {
    (kind.value() == kVarPositional ? plan.var_positional : plan.var_keyword) = true;
    return {};
  }
  Result<OwnedRef> name = interned_name(parameter);
  if (!name.ok()) return std::move(name.error());
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(parameter, "default"));
  if (!value) return Error::fetch();
  if (PyList_Append(names, name.value().get()) < 0 || PyList_Append(defaults, value.get()) < 0) {
    return Error::fetch();
  }
  if (kind.value() != kKeywordOnly) ++plan.positional;
  if (kind.value() == kPositionalOnly) ++plan.positional_only;
  return {};
}

// A watched dict (a function's __kwdefaults__, a partial's keywords) is kept
// as a copy; null where it may not be watched: keys other than exact str
// could run their own __eq__ when looked up.
Result<OwnedRef> dict_snapshot(PyObject* dict) {
  if (dict == nullptr || dict == Py_None) return OwnedRef::borrow(Py_None);
  if (!PyDict_CheckExact(dict)) return OwnedRef();
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return OwnedRef();
  }
  OwnedRef copy = OwnedRef::steal(PyDict_Copy(dict));
  if (!copy) return Error::fetch();
  return copy;
}

bool dict_unchanged(PyObject* live, PyObject* seen) noexcept {
  if (live == nullptr) live = Py_None;
  if (seen == Py_None || live == Py_None) return seen == live;
  if (!PyDict_CheckExact(live) || PyDict_GET_SIZE(live) != PyDict_GET_SIZE(seen)) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(seen, &pos, &key, &value)) {
    // Exact str keys: the lookup runs no Python code and cannot fail.
    if (PyDict_GetItem(live, key) != value) return false;
  }
  return true;
}

// The functools.partial type, whose func, args and keywords are its own
// fields (read without running Python code).
Result<PyObject*> partial_type() {
  OwnedRef functools = OwnedRef::steal(PyImport_ImportModule("functools"));
  OwnedRef type = functools ? OwnedRef::steal(PyObject_GetAttrString(functools.get(), "partial")) : OwnedRef();
  if (!type) return Error::fetch();
  return type.get();  // functools keeps it alive
}

Result<OwnedRef> attribute(PyObject* obj, const char* name) {
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(obj, name));
  if (!value) return Error::fetch();
  return value;
}

// Whether what `obj`'s signature defaults are read from is watched, or some
// of it cannot be.
enum class Watching { kWatched, kUnwatchable };

// Adds what `obj`'s signature defaults are read from to `watches`. Built-in
// callables keep their signature for good and need no watch.
Result<Watching> watch_defaults(PyObject* obj, PyObject* partial, PyObject* watches, int depth = 0) {
  if (depth > 32) return Watching::kUnwatchable;
  if (PyCFunction_Check(obj) || Py_IS_TYPE(obj, &PyMethodDescr_Type)) return Watching::kWatched;
  if (PyMethod_Check(obj)) return watch_defaults(PyMethod_GET_FUNCTION(obj), partial, watches, depth + 1);
  if (PyFunction_Check(obj)) {
    // inspect follows __wrapped__ and __signature__, which nothing here watches.
    for (const char* name : {"__wrapped__", "__signature__"}) {
      Result<bool> has = has_attribute(obj, name);
      if (!has.ok()) return std::move(has.error());
      if (has.value()) return Watching::kUnwatchable;
    }
    Result<OwnedRef> kw = dict_snapshot(PyFunction_GET_KW_DEFAULTS(obj));
    if (!kw.ok()) return std::move(kw.error());
    if (!kw.value()) return Watching::kUnwatchable;
    PyObject* defaults = PyFunction_GET_DEFAULTS(obj);
    OwnedRef w = OwnedRef::steal(
        PyTuple_Pack(4, obj, PyFunction_GET_CODE(obj), defaults ? defaults : Py_None, kw.value().get()));
    if (!w || PyList_Append(watches, w.get()) < 0) return Error::fetch();
    return Watching::kWatched;
  }
  if (Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(partial))) {
    // Each failure is fetched once, where it happened.
    Result<OwnedRef> func = attribute(obj, "func");
    if (!func.ok()) return std::move(func.error());
    Result<OwnedRef> args = attribute(obj, "args");
    if (!args.ok()) return std::move(args.error());
    Result<OwnedRef> keywords = attribute(obj, "keywords");
    if (!keywords.ok()) return std::move(keywords.error());
    Result<OwnedRef> kw = dict_snapshot(keywords.value().get());
    if (!kw.ok()) return std::move(kw.error());
    if (!kw.value()) return Watching::kUnwatchable;
    OwnedRef w = OwnedRef::steal(PyTuple_Pack(3, obj, func.value().get(), args.value().get()));
    OwnedRef entry = w ? OwnedRef::steal(PyTuple_Pack(2, w.get(), kw.value().get())) : OwnedRef();
    if (!entry || PyList_Append(watches, entry.get()) < 0) return Error::fetch();
    return watch_defaults(func.value().get(), partial, watches, depth + 1);
  }
  return Watching::kUnwatchable;
}

bool has_defaults(const BindingPlan& plan) noexcept {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(plan.defaults.get()); ++i) {
    if (PyTuple_GET_ITEM(plan.defaults.get(), i) != plan.no_default.get()) return true;
  }
  return false;
}

Result<void> add_watches(BindingPlan& plan, PyObject* func) {
  Result<PyObject*> partial = partial_type();
  if (!partial.ok()) return std::move(partial.error());
  OwnedRef watches = OwnedRef::steal(PyList_New(0));
  if (!watches) return Error::fetch();
  Result<Watching> watched = watch_defaults(func, partial.value(), watches.get());
  if (!watched.ok()) return std::move(watched.error());
  const bool all_watched = watched.value() == Watching::kWatched;
  plan.defaults_unwatched = !all_watched && has_defaults(plan);
  if (all_watched && PyList_GET_SIZE(watches.get()) > 0) {
    plan.watches = OwnedRef::steal(PyList_AsTuple(watches.get()));
    if (!plan.watches) return Error::fetch();
  }
  return {};
}

// A partial's fields, read without running Python code (member lookups on
// the exact type).
bool partial_unchanged(PyObject* seen, PyObject* keywords_seen) noexcept {
  PyObject* p = PyTuple_GET_ITEM(seen, 0);
  OwnedRef func = OwnedRef::steal(PyObject_GetAttrString(p, "func"));
  OwnedRef args = OwnedRef::steal(PyObject_GetAttrString(p, "args"));
  OwnedRef keywords = OwnedRef::steal(PyObject_GetAttrString(p, "keywords"));
  if (!func || !args || !keywords) {
    PyErr_Clear();
    return false;
  }
  return func.get() == PyTuple_GET_ITEM(seen, 1) && args.get() == PyTuple_GET_ITEM(seen, 2) &&
         dict_unchanged(keywords.get(), keywords_seen);
}

Result<BindingPlan> plan_from_signature(PyObject* func) {
  OwnedRef inspect = OwnedRef::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return Error::fetch();
  OwnedRef signature = OwnedRef::steal(PyObject_CallMethod(inspect.get(), "signature", "O", func));
  if (!signature) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return Error::fetch();
    PyErr_Clear();
    return pass_through_plan();
  }
  OwnedRef parameters = OwnedRef::steal(PyObject_GetAttrString(signature.get(), "parameters"));
  OwnedRef values = parameters ? OwnedRef::steal(PyMapping_Values(parameters.get())) : OwnedRef();
  OwnedRef parameter_class = OwnedRef::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  BindingPlan plan;
  if (parameter_class) plan.no_default = OwnedRef::steal(PyObject_GetAttrString(parameter_class.get(), "empty"));
  OwnedRef names = OwnedRef::steal(PyList_New(0));
  OwnedRef defaults = OwnedRef::steal(PyList_New(0));
  if (!values || !plan.no_default || !names || !defaults) return Error::fetch();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    OwnedRef parameter = OwnedRef::borrow(PyList_GET_ITEM(values.get(), i));
    PELM_TRY(add_parameter(plan, parameter.get(), names.get(), defaults.get()));
  }
  plan.names = OwnedRef::steal(PyList_AsTuple(names.get()));
  plan.defaults = OwnedRef::steal(PyList_AsTuple(defaults.get()));
  if (!plan.names || !plan.defaults) return Error::fetch();
  PELM_TRY(add_watches(plan, func));
  return plan;
}

}  // namespace

Result<BindingPlan> read_binding_plan(PyObject* func) {
  if (PyFunction_Check(func)) return plan_from_code(func);
  return plan_from_signature(func);
}

bool watches_hold(const BindingPlan& plan) noexcept {
  PyObject* watches = plan.watches.get();
  if (watches == nullptr) return true;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(watches); ++i) {
    PyObject* w = PyTuple_GET_ITEM(watches, i);
    if (PyTuple_GET_SIZE(w) == 2) {  // a partial: (partial, func, args), keywords
      if (!partial_unchanged(PyTuple_GET_ITEM(w, 0), PyTuple_GET_ITEM(w, 1))) return false;
      continue;
    }
    PyObject* f = PyTuple_GET_ITEM(w, 0);  // a function: f, code, defaults, kwdefaults
    PyObject* defaults = PyFunction_GET_DEFAULTS(f);
    if (PyFunction_GET_CODE(f) != PyTuple_GET_ITEM(w, 1) || (defaults ? defaults : Py_None) != PyTuple_GET_ITEM(w, 2) ||
        !dict_unchanged(PyFunction_GET_KW_DEFAULTS(f), PyTuple_GET_ITEM(w, 3))) {
      return false;
    }
  }
  return true;
}

int visit_plan(const BindingPlan& plan, visitproc visit, void* arg) {
  Py_VISIT(plan.watches.get());
  Py_VISIT(plan.names.get());
  Py_VISIT(plan.code.get());
  Py_VISIT(plan.defaults.get());
  Py_VISIT(plan.no_default.get());
  return 0;
}

void clear_plan(BindingPlan& plan) noexcept {
  plan.names.reset();
  plan.code.reset();
  plan.defaults.reset();
  plan.no_default.reset();
  plan.watches.reset();
}

}  // namespace pelm
