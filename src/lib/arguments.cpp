// Conversion of `key` and `limit` (see arguments.hpp).
#include "lib/arguments.hpp"

#include "lib/owned_ref.hpp"

namespace pelm {

Result<std::string_view> convert_key(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    return Error::pending(PyExc_TypeError, not_an_instance_text(key, "str")).with_argument_note("key");
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(key, &n);
  if (p == nullptr) return Error::fetch().with_argument_note("key");
  return std::string_view(p, static_cast<std::size_t>(n));
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

}  // namespace pelm
