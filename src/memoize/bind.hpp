// One call's arguments bound to a binding plan (plan.hpp), the way the
// interpreter would bind them: the value of every named parameter (given or
// default) and which arguments are extra positional values or extra keywords.
//
// Binding runs no Python code: names are compared as exact str (a keyword
// that is a str subclass leaves the call unbound, since the interpreter would
// use its own __eq__), and defaults are read from a tuple and a dict of str.
// Values are borrowed from the call's argument array, which outlives the
// call, or from references this object holds (the function's defaults as
// they were when the call was bound, so user code run while the key is
// written cannot free them).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "memoize/plan.hpp"
#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

// A fixed number of items, inline when there are few.
template <class T, std::size_t Inline>
class SmallArray {
 public:
  void assign(std::size_t n, T fill) {
    if (n > Inline) {
      heap_ = std::make_unique<T[]>(n);
      data_ = heap_.get();
    }
    for (std::size_t i = 0; i < n; ++i) data_[i] = fill;
  }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  T inline_[Inline];
  T* data_ = inline_;
  std::unique_ptr<T[]> heap_;
};

// Whether a call binds to a plan: kUnbound leaves it uncacheable.
enum class Binding { kBound, kUnbound };

class BoundCall {
 public:
  BoundCall(PyObject* const* args, std::size_t nargs, PyObject* kwnames) noexcept
      : args_(args), nargs_(static_cast<Py_ssize_t>(nargs)), kwnames_(kwnames) {}
  BoundCall(const BoundCall&) = delete;
  BoundCall& operator=(const BoundCall&) = delete;

  // kUnbound (nothing raised) when the call does not bind to `plan`, and the
  // function, called, would raise its own TypeError.
  [[nodiscard]] Result<Binding> bind(const BindingPlan& plan, PyObject* func);

  // The value of named parameter `i` (borrowed).
  [[nodiscard]] PyObject* value(Py_ssize_t i) const noexcept { return values_[static_cast<std::size_t>(i)]; }
  // The extra positional values: args[first .. end).
  [[nodiscard]] Py_ssize_t extra_positional_first() const noexcept { return extra_first_; }
  [[nodiscard]] Py_ssize_t extra_positional_end() const noexcept { return nargs_; }
  // The extra keywords, as indexes into the keyword names.
  [[nodiscard]] std::size_t extra_keyword_count() const noexcept { return extra_keywords_; }
  [[nodiscard]] PyObject* extra_keyword_name(std::size_t i) const noexcept {
    return PyTuple_GET_ITEM(kwnames_, extra_keyword_[i]);
  }
  [[nodiscard]] PyObject* extra_keyword_value(std::size_t i) const noexcept {
    return args_[nargs_ + extra_keyword_[i]];
  }

 private:
  [[nodiscard]] bool bind_keywords(const BindingPlan& plan);
  [[nodiscard]] Result<Binding> fill_defaults(const BindingPlan& plan, PyObject* func);
  [[nodiscard]] Result<PyObject*> function_default(const BindingPlan& plan, PyObject* func, Py_ssize_t i);

  PyObject* const* args_;
  Py_ssize_t nargs_;
  PyObject* kwnames_;
  Py_ssize_t extra_first_ = 0;
  SmallArray<PyObject*, 8> values_;
  SmallArray<Py_ssize_t, 8> extra_keyword_;
  std::size_t extra_keywords_ = 0;
  OwnedRef positional_defaults_;  // the function's __defaults__ tuple
  std::vector<OwnedRef> kept_;    // keyword-only defaults read from a dict
};

}  // namespace pelm
