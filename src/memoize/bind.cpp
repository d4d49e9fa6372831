// Binding a call to a plan (see bind.hpp).
#include "memoize/bind.hpp"

namespace pelm {

namespace {

// The index of the parameter called `name` among names[first ..), or -1.
// Call sites pass interned names, so identity almost always decides.
Py_ssize_t find_parameter(PyObject* names, Py_ssize_t first, PyObject* name) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = first; i < n; ++i) {
    if (PyTuple_GET_ITEM(names, i) == name) return i;
  }
  for (Py_ssize_t i = first; i < n; ++i) {
    if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), name) == 0) return i;
  }
  return -1;
}

}  // namespace

Result<Binding> BoundCall::bind(const BindingPlan& plan, PyObject* func) {
  if (plan.code && PyFunction_GET_CODE(func) != plan.code.get()) return Binding::kUnbound;
  if (!watches_hold(plan)) return Binding::kUnbound;
  const Py_ssize_t named = plan.named();
  values_.assign(static_cast<std::size_t>(named), nullptr);
  const Py_ssize_t given = nargs_ < plan.positional ? nargs_ : plan.positional;
  for (Py_ssize_t i = 0; i < given; ++i) values_[static_cast<std::size_t>(i)] = args_[i];
  if (nargs_ > plan.positional && !plan.var_positional) return Binding::kUnbound;
  extra_first_ = given;
  if (!bind_keywords(plan)) return Binding::kUnbound;
  return fill_defaults(plan, func);
}

bool BoundCall::bind_keywords(const BindingPlan& plan) {
  if (kwnames_ == nullptr) return true;
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames_);
  extra_keyword_.assign(static_cast<std::size_t>(n), 0);
  for (Py_ssize_t j = 0; j < n; ++j) {
    PyObject* name = PyTuple_GET_ITEM(kwnames_, j);
    if (!PyUnicode_CheckExact(name)) return false;
    const Py_ssize_t i = find_parameter(plan.names.get(), plan.positional_only, name);
    if (i < 0) {
      if (!plan.var_keyword) return false;
      extra_keyword_[extra_keywords_++] = j;
      continue;
    }
    PyObject*& slot = values_[static_cast<std::size_t>(i)];
    if (slot != nullptr) return false;  // given twice
    slot = args_[nargs_ + j];
  }
  return true;
}

Result<Binding> BoundCall::fill_defaults(const BindingPlan& plan, PyObject* func) {
  const Py_ssize_t named = plan.named();
  for (Py_ssize_t i = 0; i < named; ++i) {
    PyObject*& slot = values_[static_cast<std::size_t>(i)];
    if (slot != nullptr) continue;
    if (plan.code) {
      Result<PyObject*> d = function_default(plan, func, i);
      if (!d.ok()) return std::move(d.error());
      slot = d.value();
    } else {
      PyObject* d = PyTuple_GET_ITEM(plan.defaults.get(), i);
      if (d != plan.no_default.get() && plan.defaults_unwatched) return Binding::kUnbound;  // may be stale
      slot = d == plan.no_default.get() ? nullptr : d;
    }
    if (slot == nullptr) return Binding::kUnbound;  // a required parameter is missing
  }
  return Binding::kBound;
}

// A plain function's default for parameter `i`, or null if it has none.
Result<PyObject*> BoundCall::function_default(const BindingPlan& plan, PyObject* func, Py_ssize_t i) {
  if (i < plan.positional) {
    if (!positional_defaults_) positional_defaults_ = OwnedRef::borrow(PyFunction_GET_DEFAULTS(func));
    PyObject* defaults = positional_defaults_.get();
    if (defaults == nullptr || !PyTuple_Check(defaults)) return static_cast<PyObject*>(nullptr);
    const Py_ssize_t first = plan.positional - PyTuple_GET_SIZE(defaults);
    return i >= first ? PyTuple_GET_ITEM(defaults, i - first) : nullptr;
  }
  PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(func);
  if (kwdefaults == nullptr || !PyDict_Check(kwdefaults)) return static_cast<PyObject*>(nullptr);
  OwnedRef held = OwnedRef::borrow(kwdefaults);
  PyObject* d = PyDict_GetItemWithError(held.get(), PyTuple_GET_ITEM(plan.names.get(), i));
  if (d == nullptr) {
    if (PyErr_Occurred()) return Error::fetch();
    return d;
  }
  kept_.push_back(OwnedRef::borrow(d));
  return d;
}

}  // namespace pelm
