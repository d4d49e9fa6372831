// Encoding a str's characters into scratch space (see str_utf8.hpp).
#include "py/str_utf8.hpp"

#include <cstring>
#include <new>
#include <type_traits>

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

std::size_t str_utf8_max_size(PyObject* str) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(str)) return 0;
#endif
  // The encoder's word stores may pass the text by kEncodeSlack bytes.
  return with_str_units(str, [](const auto* units, std::size_t n) {
    return n * codec::kMaxUtf8PerUnit<std::remove_cvref_t<decltype(*units)>> + codec::kEncodeSlack;
  });
}

char* str_utf8_encode_to(PyObject* str, char* room) noexcept {
  return with_str_units(str, [room](const auto* units, std::size_t n) { return codec::encode_utf8(units, n, room); });
}

bool str_utf8_encode(PyObject* str, Utf8Scratch& scratch, std::string_view* out) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(str) < 0) return false;  // a legacy str made without its characters
#endif
  char* room = scratch.room(str_utf8_max_size(str));
  char* end = str_utf8_encode_to(str, room);
  if (end == nullptr) return encode_failed(str, scratch, out);
  *out = std::string_view(room, static_cast<std::size_t>(end - room));
  return true;
}

}  // namespace pelm
