// The failure of converting between Python objects and JSON values, rendered
// to its one line of text when it is made.
//
// Rendering happens at once because an interpreter error's text comes from
// str(exception), which runs Python code: doing it while the conversion still
// owns everything keeps the caller free of Python objects. A PanicException
// coming back through user code stays a panic (`error` then holds it) and must
// be raised as such, not folded into a message.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "py/error.hpp"

namespace pelm {

class ConversionError {
 public:
  // The interpreter's pending exception: "<type qualname>: <str(exc)>".
  [[nodiscard]] static ConversionError interpreter();
  [[nodiscard]] static ConversionError message(std::string text);
  [[nodiscard]] static ConversionError message(std::string_view text) { return message(std::string(text)); }
  // "unsupported type <qualname>", or "unsupported type unknown".
  [[nodiscard]] static ConversionError unsupported_type(PyObject* obj);
  // "unexpected type: " + the failed check's text naming `required`.
  [[nodiscard]] static ConversionError unexpected_type(PyObject* obj, std::string_view required);
  // "expected sequence of length {expected}, got {actual}".
  [[nodiscard]] static ConversionError sequence_length(std::size_t expected, std::size_t actual);

  // The error to raise at the entry point: `prefix` + text as SystemError,
  // or the resumed panic.
  [[nodiscard]] Error to_error(std::string_view prefix) &&;

  // A panic must be raised even by callers that otherwise drop the failure.
  [[nodiscard]] bool is_panic() const noexcept { return panic_.has_value(); }

 private:
  ConversionError() = default;
  std::string text_;
  std::optional<Error> panic_;
};

}  // namespace pelm
