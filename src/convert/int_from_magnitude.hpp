// New Python ints from the reader's integers, the common sizes built directly.
//
// On 3.11 an int below 2^(2 * PyLong_SHIFT) in magnitude is two digits,
// which are written straight into a fresh object: PyLong_FromLongLong and
// PyLong_FromUnsignedLongLong first count the digits in a loop. Only
// magnitudes of exactly two digits take this path, so the object is
// normalised (its top digit is nonzero) as the interpreter requires. Later
// versions store ints differently and always use the public calls. Both
// functions return a new reference, or null with the interpreter's error set.
#pragma once

#include <Python.h>

#include <cstdint>

namespace pelm {

namespace detail {

[[nodiscard]] inline bool has_two_digits(std::uint64_t magnitude) noexcept {
  return magnitude >= PyLong_BASE && (magnitude >> (2 * PyLong_SHIFT)) == 0;
}

#if PY_VERSION_HEX < 0x030C0000
[[nodiscard]] inline PyObject* new_two_digit_int(std::uint64_t magnitude, bool negative) noexcept {
  PyLongObject* v = _PyLong_New(2);
  if (v == nullptr) return nullptr;
  v->ob_digit[0] = static_cast<digit>(magnitude & PyLong_MASK);
  v->ob_digit[1] = static_cast<digit>(magnitude >> PyLong_SHIFT);
  if (negative) Py_SET_SIZE(v, -2);
  return reinterpret_cast<PyObject*>(v);
}
#endif

}  // namespace detail

[[nodiscard]] inline PyObject* new_int_from_unsigned(std::uint64_t u) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (detail::has_two_digits(u)) return detail::new_two_digit_int(u, false);
#endif
  return PyLong_FromUnsignedLongLong(u);
}

// `n` is below zero.
[[nodiscard]] inline PyObject* new_int_from_negative(std::int64_t n) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(n);
  if (detail::has_two_digits(magnitude)) return detail::new_two_digit_int(magnitude, true);
#endif
  return PyLong_FromLongLong(n);
}

}  // namespace pelm
