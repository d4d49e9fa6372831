// Reading insert_raw's `text` (see text_argument.hpp).
#include "cache/text_argument.hpp"

#include <string>

#include "py/messages.hpp"
#include "py/str_utf8.hpp"
#include "support/portable.hpp"

namespace pelm {

namespace {

PELM_COLD Error text_error(PyObject* text) {
  if (PyMemoryView_Check(text)) {
    return Error::pending(PyExc_TypeError, msg::kTextNotContiguous).with_argument_note("text");
  }
  return Error::pending(PyExc_TypeError, msg::not_text(type_qualname(text))).with_argument_note("text");
}

}  // namespace

Result<void> TextArgument::take(PyObject* text) {
  if (PyUnicode_Check(text)) {
    // A lone surrogate has no UTF-8 form: UnicodeEncodeError, a ValueError.
    if (!str_utf8_view(text, scratch_, &bytes_)) return Error::fetch().with_argument_note("text");
    return {};
  }
  // Asked for as plain bytes, a memoryview that is not C-contiguous would
  // raise BufferError; it is refused as the wrong kind of argument instead.
  if (!PyObject_CheckBuffer(text) ||
      (PyMemoryView_Check(text) && !PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(text), 'C'))) {
    return text_error(text);
  }
  if (PyObject_GetBuffer(text, &buffer_, PyBUF_SIMPLE) < 0) return Error::fetch().with_argument_note("text");
  held_ = true;
  bytes_ = std::string_view(static_cast<const char*>(buffer_.buf), static_cast<std::size_t>(buffer_.len));
  return {};
}

}  // namespace pelm
