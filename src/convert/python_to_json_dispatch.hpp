// The one dispatch of a value by its exact type and the one emitter per
// scalar type, shared by the two paths of the walk (see
// python_to_json_walk.hpp): the plain path, which declines what it cannot
// write, and the general rules, which write it another way or record the
// error. Inline, so that each path's translation unit compiles its own
// specialised copy: the plain path's containers keep their scalars in line.
//
// Classification order of exact built-in types: str, int, None, bool, float,
// then containers. Exact types exclude one another, so the order here only
// decides speed; the general rules' order for everything else is in
// convert_general.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "convert/python_to_json_walk.hpp"
#include "convert/small_int.hpp"
#include "py/messages.hpp"
#include "py/str_utf8.hpp"

namespace pelm {

template <ToValueWalk::Path kPath>
bool ToValueWalk::value(PyObject* obj, int depth) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return str<kPath>(obj);
  if (type == &PyLong_Type) return exact_int<kPath>(obj);
  if (obj == Py_None) {
    out_.null();
    return true;
  }
  // bool cannot be subclassed, so its two instances are all there is.
  if (type == &PyBool_Type) {
    out_.boolean(obj == Py_True);
    return true;
  }
  if (type == &PyFloat_Type) return float_number<kPath>(PyFloat_AS_DOUBLE(obj));
  if constexpr (kPath == Path::kPlain) {
    if (type == &PyList_Type || type == &PyTuple_Type) return plain_array(obj, depth);
    if (type == &PyDict_Type) return plain_dict(obj, depth);
    return false;
  } else {
    if (type == &PyList_Type) return exact_list(obj, depth);
    if (type == &PyDict_Type) return exact_dict(obj, depth);
    if (type == &PyTuple_Type) return exact_tuple(obj, depth);
    return convert_general(obj, depth);
  }
}

// Declines only text holding a lone surrogate, which has no UTF-8; the
// interpreter's error is then pending. A str without UTF-8 of its own is
// encoded straight into the output; only when that declines (a surrogate,
// a very long str) is it encoded on its own, which gives the error.
inline ToValueWalk::Emit ToValueWalk::emit_str(PyObject* str) {
  std::string_view utf8;
  if (std::optional<std::string_view> in_place = str_utf8_in_place(str)) [[likely]] {
    utf8 = *in_place;
  } else if (str_units_written(str)) {
    return Emit::kWritten;
  } else if (!str_utf8_encode(str, utf8_scratch_, &utf8)) {
    return Emit::kDeclined;
  }
  out_.string(utf8);
  return Emit::kWritten;
}

// Out of line: most strs are ASCII, and their path stays short.
PELM_NOINLINE inline bool ToValueWalk::str_units_written(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(str)) return false;  // a legacy str: the encoder readies it
#endif
  return with_str_units(str, [this](const auto* units, std::size_t n) { return out_.string_units(units, n); });
}

// Writes -2^63 .. 2^64-1 and declines (no error pending) anything beyond,
// whose error the general 128-bit reading decides.
inline ToValueWalk::Emit ToValueWalk::emit_exact_int(PyObject* i) {
  long long v = 0;
  int overflow = 0;
  if (!small_int_value(i, v)) v = PyLong_AsLongLongAndOverflow(i, &overflow);
  if (overflow == 0) {
    if (v >= 0) {
      out_.uint(static_cast<std::uint64_t>(v));
    } else {
      out_.neg_int(v);
    }
    return Emit::kWritten;
  }
  if (overflow < 0) return Emit::kDeclined;
  const unsigned long long u = PyLong_AsUnsignedLongLong(i);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return Emit::kDeclined;
  }
  out_.uint(u);
  return Emit::kWritten;
}

// A stored non-finite float reads back as None (the writer writes it null);
// a key cannot let NaN, the infinities and None share one text, nor a result
// come back as None: those decline.
inline ToValueWalk::Emit ToValueWalk::emit_double(double d) {
  if (finite_only_ && !std::isfinite(d)) [[unlikely]] {
    return Emit::kDeclined;
  }
  out_.float_number(d);
  return Emit::kWritten;
}

template <ToValueWalk::Path kPath>
bool ToValueWalk::str(PyObject* str) {
  if (emit_str(str) == Emit::kWritten) [[likely]] {
    return true;
  }
  if constexpr (kPath == Path::kPlain) {
    PyErr_Clear();
    return false;
  } else {
    return fail_interpreter();
  }
}

template <ToValueWalk::Path kPath>
bool ToValueWalk::exact_int(PyObject* i) {
  if (emit_exact_int(i) == Emit::kWritten) [[likely]] {
    return true;
  }
  if constexpr (kPath == Path::kPlain) {
    return false;
  } else {
    return put_int(i);
  }
}

template <ToValueWalk::Path kPath>
bool ToValueWalk::float_number(double d) {
  if (emit_double(d) == Emit::kWritten) [[likely]] {
    return true;
  }
  if constexpr (kPath == Path::kPlain) {
    return false;
  } else {
    return fail(ConversionError::message(msg::kNoKeyText));
  }
}

}  // namespace pelm
