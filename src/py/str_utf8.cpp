// Encoding a str's characters into scratch space (see str_utf8.hpp).
#include "py/str_utf8.hpp"

#include <cstring>
#include <new>

#include "py/owned_ref.hpp"

namespace pelm {

namespace {

// The interpreter's own error for a str it cannot encode. Should the
// encoding succeed after all, its bytes are the answer.
bool encode_failed(PyObject* str, Utf8Scratch& scratch, std::string_view* out) {
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) return false;
  const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
  char* room = scratch.room(n);
  if (n != 0) std::memcpy(room, PyBytes_AS_STRING(bytes.get()), n);
  *out = std::string_view(room, n);
  return true;
}

}  // namespace

bool str_utf8_encode(PyObject* str, Utf8Scratch& scratch, std::string_view* out) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(str) < 0) return false;  // a legacy str made without its characters
#endif
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  char* room = nullptr;
  char* end = nullptr;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      room = scratch.room(n * codec::kMaxUtf8PerUnit<Py_UCS1>);
      end = codec::encode_utf8(PyUnicode_1BYTE_DATA(str), n, room);
      break;
    case PyUnicode_2BYTE_KIND:
      room = scratch.room(n * codec::kMaxUtf8PerUnit<Py_UCS2>);
      end = codec::encode_utf8(PyUnicode_2BYTE_DATA(str), n, room);
      break;
    default:
      room = scratch.room(n * codec::kMaxUtf8PerUnit<Py_UCS4>);
      end = codec::encode_utf8(PyUnicode_4BYTE_DATA(str), n, room);
      break;
  }
  if (end == nullptr) return encode_failed(str, scratch, out);
  *out = std::string_view(room, static_cast<std::size_t>(end - room));
  return true;
}

}  // namespace pelm
