// How a memoized function's calls bind to its parameters: read once, when the
// function is decorated, so that every call binds with no Python-level help.
//
// The key lists the parameters in this order: the positional ones (the
// positional-only first), the extra positional values as one array when the
// function takes *args, the keyword-only ones, and the extra keywords as one
// object when it takes **kwargs.
//
// Sources. A plain Python function: its code object gives the names and
// kinds, and its defaults are read from the function at each call (as the
// interpreter does), since __defaults__ and __kwdefaults__ can be reassigned.
// A call made after __code__ was replaced is not bound: the names the plan
// holds may no longer be the function's. Any other callable: inspect.signature,
// once, with the defaults it reports kept here; one without a signature binds
// as (*args, **kwargs), which keys calls by exactly what they pass.
//
// Invariants: `names` is a tuple of exact, interned str, the `positional`
// ones first; `defaults` (other callables only) has one item per name,
// `no_default` where the parameter has none. Nothing changes after decoration
// except by `clear_plan`, which runs only on a wrapper that is garbage.
#pragma once

#include <Python.h>

#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

struct BindingPlan {
  OwnedRef names;
  Py_ssize_t positional = 0;
  Py_ssize_t positional_only = 0;
  bool var_positional = false;
  bool var_keyword = false;
  OwnedRef code;        // plain functions: the code the names were read from
  OwnedRef defaults;    // other callables: one per name
  OwnedRef no_default;  // other callables: inspect.Parameter.empty

  [[nodiscard]] Py_ssize_t named() const noexcept { return PyTuple_GET_SIZE(names.get()); }
};

[[nodiscard]] Result<BindingPlan> read_binding_plan(PyObject* func);

// For the wrapper's garbage-collection slots.
[[nodiscard]] int visit_plan(const BindingPlan& plan, visitproc visit, void* arg);
void clear_plan(BindingPlan& plan) noexcept;

}  // namespace pelm
