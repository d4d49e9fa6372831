// Conversion of `key`, `limit` and `ttl` (see convert_arguments.hpp).
#include "module/convert_arguments.hpp"

#include <string>

#include "py/messages.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

// A str fails only for a lone surrogate, whose UnicodeEncodeError is pending.
Error key_conversion_error(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    return Error::pending(PyExc_TypeError, not_an_instance_text(key, "str")).with_argument_note("key");
  }
  return Error::fetch().with_argument_note("key");
}

Result<std::uint64_t> convert_limit(PyObject* limit) {
  OwnedRef index;
  if (!PyLong_Check(limit)) {
    index = OwnedRef::steal(PyNumber_Index(limit));
    if (!index) return Error::fetch().with_argument_note("limit");
    limit = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(limit);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return Error::fetch().with_argument_note("limit");
  }
  return static_cast<std::uint64_t>(v);
}

std::optional<Error> check_ttl(PyObject* ttl) {
  if (ttl == nullptr || ttl == Py_None) return std::nullopt;
  return Error::pending(PyExc_TypeError, std::string(msg::kTtlNotSupported)).with_argument_note("ttl");
}

}  // namespace pelm
