// Rendering of conversion failures (see conversion_error.hpp).
#include "convert/conversion_error.hpp"

#include <utility>

#include "py/concat.hpp"
#include "py/messages.hpp"

namespace pelm {

ConversionError ConversionError::interpreter() {
  ConversionError e;
  OwnedRef exc = take_raised_exception();
  if (!exc) {
    e.text_ = msg::kNoExceptionSet;
    return e;
  }
  if (is_panic_exception(exc.get())) {
    e.panic_.emplace(resume_panic(std::move(exc)));
    return e;
  }
  e.text_ = concat({type_qualname(exc.get()), ": ", exception_text(exc.get())});
  return e;
}

ConversionError ConversionError::message(std::string text) {
  ConversionError e;
  e.text_ = std::move(text);
  return e;
}

ConversionError ConversionError::unsupported_type(PyObject* obj) {
  ConversionError e;
  e.text_ = msg::unsupported_type(read_type_qualname(Py_TYPE(obj)).value_or(std::string(msg::kUnknownType)));
  return e;
}

ConversionError ConversionError::unexpected_type(PyObject* obj, std::string_view required) {
  ConversionError e;
  e.text_ = msg::unexpected_type(not_an_instance_text(obj, required));
  return e;
}

ConversionError ConversionError::sequence_length(std::size_t expected, std::size_t actual) {
  ConversionError e;
  e.text_ = msg::wrong_sequence_length(expected, actual);
  return e;
}

Error ConversionError::to_error(std::string_view prefix) && {
  if (panic_) return std::move(*panic_);
  std::string full(prefix);
  full += text_;
  return Error::pending(PyExc_SystemError, std::move(full));
}

}  // namespace pelm
