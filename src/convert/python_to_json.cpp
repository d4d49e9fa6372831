// Python object -> JSON events: the entry points and the classification of
// an object beyond the exact built-in types (see python_to_json.hpp for the
// contract).
//
// Classification order decides the result and must stay as it is: None,
// exact bool, int (subclasses too), list/tuple, dict, str, bytes/bytearray,
// float, set/frozenset, isinstance Sequence, isinstance Mapping, an attribute
// __dataclass_fields__, else unsupported. `convert` first decides exact
// built-in types by pointer (python_to_json_dispatch.hpp); that is only a
// shortcut, since no exact built-in type matches an earlier rule than its own.
// Everything else goes through `convert_general`, kept out of line so the hot
// path stays small.
#include <cstdint>

#include "convert/python_lookups.hpp"
#include "convert/python_to_json_dispatch.hpp"
#include "py/messages.hpp"

namespace pelm {

std::optional<ConversionError> write_python_as_json(PyObject* obj, codec::JsonWriter& writer, DictShapeMemo& shapes) {
  struct EndCall {
    DictShapeMemo& shapes;
    ~EndCall() { shapes.end_call(); }
  } end_call{shapes};
  ToValueWalk walk(writer, &shapes, ToValueWalk::Use::kStored);
  if (walk.convert(obj, 0)) return std::nullopt;
  return walk.take_error();
}

std::optional<ConversionError> write_python_as_json(PyObject* obj, codec::JsonWriter& writer) {
  ToValueWalk walk(writer, nullptr, ToValueWalk::Use::kStored);
  if (walk.convert(obj, 0)) return std::nullopt;
  return walk.take_error();
}

std::optional<ConversionError> write_python_as_result(PyObject* obj, codec::JsonWriter& writer) {
  ToValueWalk walk(writer, nullptr, ToValueWalk::Use::kResult);
  if (walk.convert(obj, 0)) return std::nullopt;
  return walk.take_error();
}

std::optional<ConversionError> write_python_as_key_part(PyObject* obj, codec::JsonWriter& writer) {
  ToValueWalk walk(writer, nullptr, ToValueWalk::Use::kKey);
  if (walk.convert(obj, 0)) return std::nullopt;
  return walk.take_error();
}

bool ToValueWalk::convert_general(PyObject* obj, int depth) {
  const unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return put_int(obj);
  if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) return sequence(obj, depth, true);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return mapping(obj, depth);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return str<Path::kGeneral>(obj);
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    return fail(ConversionError::message(msg::kByteArray));
  }
  if (PyByteArray_Check(obj)) return fail(ConversionError::unexpected_type(obj, "bytes"));
  if (PyFloat_Check(obj)) {
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return fail_interpreter();
    return float_number<Path::kGeneral>(d);
  }
  if (PyAnySet_Check(obj)) return set(obj, depth);

  PyObject* sequence_cls = sequence_abc();
  if (sequence_cls == nullptr) return fail_interpreter();
  if (is_instance_quietly(obj, sequence_cls)) return sequence(obj, depth, false);
  PyObject* mapping_cls = mapping_abc();
  if (mapping_cls == nullptr) return fail_interpreter();
  if (is_instance_quietly(obj, mapping_cls)) return mapping(obj, depth);

  PyObject* fields_name = dataclass_fields_name();
  if (fields_name == nullptr) return fail_interpreter();
  if (OwnedRef fields = optional_attribute(obj, fields_name)) return dataclass(obj, fields.get(), depth);
  return fail(ConversionError::unsupported_type(obj));
}

namespace {

// The integer as 16 little-endian two's-complement bytes; false (Python error
// set) when it does not fit.
bool read_int128(PyObject* exact_int, unsigned char (&bytes)[16], bool is_signed) {
  auto* as_long = reinterpret_cast<PyLongObject*>(exact_int);
#if PY_VERSION_HEX >= 0x030D0000
  return _PyLong_AsByteArray(as_long, bytes, sizeof bytes, 1, is_signed ? 1 : 0, 1) == 0;
#else
  return _PyLong_AsByteArray(as_long, bytes, sizeof bytes, 1, is_signed ? 1 : 0) == 0;
#endif
}

std::uint64_t load_u64_le(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int b = 7; b >= 0; --b) v = (v << 8) | p[b];
  return v;
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

}  // namespace

// Unsigned first, so that 2^63 .. 2^64-1 are accepted; then signed. When both
// reads overflow, the signed read's OverflowError is the answer.
bool ToValueWalk::put_int(PyObject* obj) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) return fail_interpreter();
  unsigned char bytes[16];
  if (read_int128(index.get(), bytes, false)) {
    if (load_u64_le(bytes + 8) != 0) return fail(ConversionError::message(msg::kNumberOutOfRange));
    out_.uint(load_u64_le(bytes));
    return true;
  }
  PyErr_Clear();
  if (!read_int128(index.get(), bytes, true)) return fail_interpreter();
  const std::uint64_t low = load_u64_le(bytes);
  const std::uint64_t high = load_u64_le(bytes + 8);
  // -2^63 .. -1: the high half is all ones and the low half has its sign bit.
  if (high != ~std::uint64_t{0} || (low & kSignBit) == 0) {
    return fail(ConversionError::message(msg::kNumberOutOfRange));
  }
  out_.neg_int(static_cast<std::int64_t>(low));
  return true;
}

bool ToValueWalk::fail(ConversionError e) {
  error_.emplace(std::move(e));
  return false;
}

bool ToValueWalk::fail_interpreter() { return fail(ConversionError::interpreter()); }

bool is_instance_quietly(PyObject* obj, PyObject* cls) {
  const int r = PyObject_IsInstance(obj, cls);
  if (r < 0) {
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return r == 1;
}

OwnedRef optional_attribute(PyObject* obj, PyObject* name) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int r = PyObject_GetOptionalAttr(obj, name, &value);
#else
  // Like getattr, but an AttributeError is never built: absence is common.
  const int r = _PyObject_LookupAttr(obj, name, &value);
#endif
  if (r < 0) PyErr_Clear();
  return OwnedRef::steal(value);
}

}  // namespace pelm
