// insert_raw's `text`: a str, read as its UTF-8 form, or a bytes-like object
// (bytes, bytearray, a C-contiguous memoryview, any other exporter of a
// contiguous buffer), read in place through the buffer protocol.
//
// Invariant: a buffer taken is released exactly once, when the holder is
// destroyed, on every path. Releasing can run the exporter's Python code,
// so the holder is declared before the call's use of the cache: it then
// outlives that use and the exporter finds the cache free. While the buffer
// is held its exporter cannot resize it (a bytearray refuses), so the view
// stays valid; nothing runs Python code between taking it and the last read.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "py/error.hpp"
#include "py/str_utf8.hpp"

namespace pelm {

class TextArgument {
 public:
  TextArgument() noexcept = default;
  TextArgument(const TextArgument&) = delete;
  TextArgument& operator=(const TextArgument&) = delete;
  ~TextArgument() {
    if (held_) PyBuffer_Release(&buffer_);
  }

  // Reads `text`; on failure the error carries the note "while processing
  // 'text'". Call once.
  [[nodiscard]] Result<void> take(PyObject* text);
  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
  Utf8Scratch scratch_;  // a str's UTF-8 when it has none of its own
  std::string_view bytes_;
};

}  // namespace pelm
