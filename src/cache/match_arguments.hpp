// Matching a call's arguments to named parameters, for the vectorcall
// methods, the constructor and init_cache, with the interpreter-style
// TypeError texts (F is e.g. "Cache.insert()"):
//   F takes P positional arguments but G were given
//   F takes from R to P positional arguments but G were given
//   F got an unexpected keyword argument 'x'
//   F got multiple values for argument 'x'
//   F missing N required positional argument(s): 'a' and 'b'
// Every parameter is positional-or-keyword; the first `required` are required.
// Matching runs no user code and takes no references: the results borrow
// from the caller's argument array, which outlives the call.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "py/error.hpp"

namespace pelm {

inline constexpr std::size_t kMaxParams = 3;

struct Signature {
  const char* name;                            // "Cache.insert()"
  std::array<const char*, kMaxParams> params;  // parameter names
  std::size_t count;                           // number of parameters
  std::size_t required;                        // the first `required` are required
};

// Parameter values, borrowed; null where an optional one was not given.
using BoundArgs = std::array<PyObject*, kMaxParams>;

// Vectorcall form, any shape of call (see match_vectorcall).
[[nodiscard]] Result<void> match_vectorcall_general(const Signature& sig, PyObject* const* args, std::size_t nargs,
                                                    PyObject* kwnames, BoundArgs& out);

// Vectorcall form: `args[0..nargs)` positional, then one value per name in
// `kwnames`. The usual call, parameters given by position only (optional
// ones left out or not), binds inline; anything else takes the general binder.
[[nodiscard]] inline Result<void> match_vectorcall(const Signature& sig, PyObject* const* args, std::size_t nargs,
                                                   PyObject* kwnames, BoundArgs& out) {
  if (kwnames != nullptr || nargs < sig.required || nargs > sig.count) [[unlikely]] {
    return match_vectorcall_general(sig, args, nargs, kwnames, out);
  }
  out.fill(nullptr);
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  return {};
}
// A keyword name for a message; names are str, but may hold lone surrogates.
[[nodiscard]] std::string keyword_text(PyObject* name);

// tp_new form: a tuple and an optional dict (kept in call order).
[[nodiscard]] Result<void> match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace pelm
