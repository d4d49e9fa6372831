// The value of an exact int object of one or two digits, read straight from
// the object: the general conversion is a call with overflow bookkeeping
// that most stored ints never need. Shared by both ways of writing an int.
#pragma once

#include <Python.h>

namespace pelm {

// True with `v` set for every magnitude below 2^60 (30-bit digits), false
// for anything else, which the caller reads the general way. Reads the
// object's fields only: no call, no error, no Python code.
[[nodiscard]] inline bool small_int_value(PyObject* i, long long& v) noexcept {
  auto* as_long = reinterpret_cast<PyLongObject*>(i);
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(as_long)) return false;
  v = PyUnstable_Long_CompactValue(as_long);
  return true;
#else
  const digit* d = as_long->ob_digit;
  switch (Py_SIZE(i)) {
    case 0:
      v = 0;
      return true;
    case 1:
      v = static_cast<long long>(d[0]);
      return true;
    case -1:
      v = -static_cast<long long>(d[0]);
      return true;
    case 2:
      v = static_cast<long long>(d[0]) | (static_cast<long long>(d[1]) << PyLong_SHIFT);
      return true;
    case -2:
      v = -(static_cast<long long>(d[0]) | (static_cast<long long>(d[1]) << PyLong_SHIFT));
      return true;
    default:
      return false;
  }
#endif
}

}  // namespace pelm
