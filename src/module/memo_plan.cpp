// Reading a binding plan (see memo_plan.hpp). Runs at decoration time only,
// so it may use the inspect module and attribute lookups freely.
#include "module/memo_plan.hpp"

#include <optional>

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
  return plan;
}

}  // namespace

Result<BindingPlan> read_binding_plan(PyObject* func) {
  if (PyFunction_Check(func)) return plan_from_code(func);
  return plan_from_signature(func);
}

int visit_plan(const BindingPlan& plan, visitproc visit, void* arg) {
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
}

}  // namespace pelm
