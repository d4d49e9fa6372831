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
// Defaults kept here can go stale: a partial's keywords are a live dict and a
// bound method's function can have its __defaults__ reassigned. So the plan
// also keeps `watches`, what those defaults were read from, as seen then
// (bound methods and partials down to plain functions and built-ins); a call
// made once any of it has changed is not bound, and so runs uncached, as the
// interpreter then binds it differently from the plan. Where the defaults come
// from objects that cannot be watched (a class's __init__, a callable
// instance), `defaults_unwatched` is set, and a call that would take one of
// them is not bound either; a call passing every argument still is.
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
  OwnedRef watches;     // other callables: tuple of what the defaults were read from, or null
  bool defaults_unwatched = false;

  [[nodiscard]] Py_ssize_t named() const noexcept { return PyTuple_GET_SIZE(names.get()); }
};

[[nodiscard]] Result<BindingPlan> read_binding_plan(PyObject* func);

// Whether everything the plan's defaults were read from is as it was then.
// Runs no Python code.
[[nodiscard]] bool watches_hold(const BindingPlan& plan) noexcept;

// For the wrapper's garbage-collection slots.
[[nodiscard]] int visit_plan(const BindingPlan& plan, visitproc visit, void* arg);
void clear_plan(BindingPlan& plan) noexcept;

}  // namespace pelm
