// Argument matching (see match_arguments.hpp): one binder and two adapters for
// the two calling conventions; the texts come from py/messages.hpp.
#include "cache/match_arguments.hpp"

#include <string>

#include "py/concat.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

std::string keyword_text(PyObject* name) {
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return "?";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

namespace {

PELM_COLD Error type_error(std::string text) { return Error::pending(PyExc_TypeError, std::move(text)); }

class Binder {
 public:
  Binder(const Signature& sig, BoundArgs& out) : sig_(sig), out_(out) { out_.fill(nullptr); }

  Result<void> positional(PyObject* const* items, std::size_t n) {
    if (n > sig_.count) return too_many(n);
    for (std::size_t i = 0; i < n; ++i) out_[i] = items[i];
    return {};
  }

  Result<void> keyword(PyObject* name, PyObject* value) {
    for (std::size_t i = 0; i < sig_.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, sig_.params[i]) != 0) continue;
      if (out_[i] != nullptr) {
        return type_error(msg::multiple_values(sig_.name, sig_.params[i]));
      }
      out_[i] = value;
      return {};
    }
    return type_error(msg::unexpected_keyword(sig_.name, keyword_text(name)));
  }

  Result<void> finish() const {
    std::size_t missing = 0;
    std::string names;
    for (std::size_t i = 0; i < sig_.required; ++i) {
      if (out_[i] != nullptr) continue;
      if (missing > 0) names += " and ";
      names += concat({"'", sig_.params[i], "'"});
      ++missing;
    }
    if (missing == 0) return {};
    return type_error(msg::missing_arguments(sig_.name, missing, names));
  }

 private:
  PELM_COLD Error too_many(std::size_t given) const {
    std::string counts = sig_.required == sig_.count
                             ? std::to_string(sig_.count)
                             : concat({"from ", std::to_string(sig_.required), " to ", std::to_string(sig_.count)});
    return type_error(msg::too_many_positional(sig_.name, counts, given));
  }

  const Signature& sig_;
  BoundArgs& out_;
};

}  // namespace

Result<void> match_vectorcall_general(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                                      BoundArgs& out) {
  Binder b(sig, out);
  PELM_TRY(b.positional(args, nargs));
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PELM_TRY(b.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)]));
    }
  }
  return b.finish();
}

Result<void> match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  Binder b(sig, out);
  PELM_TRY(
      b.positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, static_cast<std::size_t>(PyTuple_GET_SIZE(args))));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name = nullptr, *value = nullptr;
    // Keyword names of a call are always str; the dict is the call's own
    // fresh one, so no user code can change it while we walk it.
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      PELM_TRY(b.keyword(name, value));
    }
  }
  return b.finish();
}

}  // namespace pelm
