// Rendering of conversion failures (see conversion_error.hpp).
#include "codec/python/conversion_error.hpp"

#include <utility>

#include "lib/concat.hpp"

namespace pelm {

ConversionError ConversionError::interpreter() {
  ConversionError e;
  OwnedRef exc = take_raised_exception();
  if (!exc) {
    e.text_ = "attempted to fetch exception but none was set";
    return e;
  }
  PyObject* panic_cls = panic_exception_class();
  if (panic_cls == nullptr) PyErr_Clear();
  if (panic_cls != nullptr && PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic_cls))) {
    // Hand it back to Error::fetch, which knows how panics are resumed.
    restore_raised_exception(std::move(exc));
    e.panic_.emplace(Error::fetch());
    return e;
  }
  e.text_ = read_type_qualname(Py_TYPE(exc.get())).value_or("<failed to extract type name>");
  e.text_ += ": ";
  OwnedRef s = OwnedRef::steal(PyObject_Str(exc.get()));
  Py_ssize_t n = 0;
  const char* p = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    e.text_ += "<exception str() failed>";
  } else {
    e.text_.append(p, static_cast<std::size_t>(n));
  }
  return e;
}

ConversionError ConversionError::message(std::string text) {
  ConversionError e;
  e.text_ = std::move(text);
  return e;
}

ConversionError ConversionError::unsupported_type(PyObject* obj) {
  ConversionError e;
  e.text_ = concat({"unsupported type ", read_type_qualname(Py_TYPE(obj)).value_or("unknown")});
  return e;
}

ConversionError ConversionError::unexpected_type(PyObject* obj, std::string_view required) {
  ConversionError e;
  e.text_ = concat({"unexpected type: ", not_an_instance_text(obj, required)});
  e.unexpected_type_ = true;
  return e;
}

ConversionError ConversionError::sequence_length(std::size_t expected, std::size_t actual) {
  ConversionError e;
  e.text_ = concat({"expected sequence of length ", std::to_string(expected), ", got ", std::to_string(actual)});
  return e;
}

Error ConversionError::to_error(std::string_view prefix) && {
  if (panic_) return std::move(*panic_);
  std::string full(prefix);
  full += text_;
  return Error::pending(PyExc_SystemError, std::move(full));
}

}  // namespace pelm
