// Conversion of `key`, `limit` and `ttl` (see convert_arguments.hpp).
#include "cache/convert_arguments.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "py/messages.hpp"
#include "py/owned_ref.hpp"
#include "support/portable.hpp"

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

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kLongestTtl = std::numeric_limits<std::int64_t>::max();

PELM_COLD Error ttl_error(PyObject* cls, std::string text) {
  return Error::pending(cls, std::move(text)).with_argument_note("ttl");
}

Result<std::int64_t> ttl_from_int(PyObject* ttl) {
  int overflow = 0;
  const long long seconds = PyLong_AsLongLongAndOverflow(ttl, &overflow);
  if (overflow > 0 || seconds > kLongestTtl / kNanosPerSecond) return kLongestTtl;
  if (overflow < 0 || seconds <= 0) return ttl_error(PyExc_ValueError, std::string(msg::kTtlOutOfRange));
  return static_cast<std::int64_t>(seconds) * kNanosPerSecond;
}

Result<std::int64_t> ttl_from_float(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) {  // NaN fails the first test
    return ttl_error(PyExc_ValueError, std::string(msg::kTtlOutOfRange));
  }
  const double ns = std::ceil(seconds * static_cast<double>(kNanosPerSecond));
  // 2^63 is the first double past the int64 range.
  if (ns >= 9223372036854775808.0) return kLongestTtl;
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(ns));
}

}  // namespace

Result<std::int64_t> convert_ttl(PyObject* ttl) {
  if (PyFloat_Check(ttl)) return ttl_from_float(PyFloat_AS_DOUBLE(ttl));
  if (PyLong_Check(ttl) && !PyBool_Check(ttl)) return ttl_from_int(ttl);
  return ttl_error(PyExc_TypeError, msg::ttl_not_a_number(type_qualname(ttl)));
}

Result<std::optional<std::int64_t>> convert_optional_ttl(PyObject* ttl) {
  if (ttl == nullptr || ttl == Py_None) return std::optional<std::int64_t>();
  Result<std::int64_t> ns = convert_ttl(ttl);
  if (!ns.ok()) return std::move(ns.error());
  return std::optional<std::int64_t>(ns.value());
}

}  // namespace pelm
