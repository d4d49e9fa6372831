// Building and raising error values (see error.hpp), and the PanicException class.
#include "py/error.hpp"

#include <cstdio>

#include "py/messages.hpp"
#include "py/per_interpreter.hpp"

namespace pelm {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when pelm_lib meets an internal failure it cannot recover from.\n\n"
    "It derives from BaseException, not Exception, so that ordinary\n"
    "`except Exception` handlers let it pass.";

// Adds the argument note; a failure to add it is dropped on purpose.
void add_note(PyObject* exc, const char* parameter) {
  OwnedRef text = OwnedRef::steal(PyUnicode_FromFormat(msg::kArgumentNoteFormat.data(), parameter));
  if (!text) {
    PyErr_Clear();
    return;
  }
  OwnedRef r = OwnedRef::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
  if (!r) PyErr_Clear();
}

}  // namespace

// Takes the pending exception as one object (normalised, traceback attached).
OwnedRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return OwnedRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return OwnedRef::steal(value);
#endif
}

void restore_raised_exception(OwnedRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

std::string exception_text(PyObject* exc) {
  OwnedRef s = OwnedRef::steal(PyObject_Str(exc));
  Py_ssize_t n = 0;
  const char* p = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    return std::string(msg::kExceptionStrFailed);
  }
  return std::string(p, static_cast<std::size_t>(n));
}

namespace {

// Each interpreter's own class: a class made in one must not be raised in another.
struct PanicClass {
  static constexpr const char* kKey = "pelm_lib.PanicException";
  OwnedRef object;
};

}  // namespace

PyObject* panic_exception_class() {
  return kept_object<PanicClass>([] {
    return OwnedRef::steal(
        PyErr_NewExceptionWithDoc("pelm_lib.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
  });
}

Error Error::pending(PyObject* cls, std::string message) { return Error(WithMessage{cls, std::move(message)}); }

Error Error::pending_without_message(PyObject* cls) { return Error(WithoutMessage{cls}); }

Error Error::panic(std::string text) { return Error(Panic{std::move(text)}); }

Error Error::fetch() {
  OwnedRef exc = take_raised_exception();
  if (!exc) return pending(PyExc_SystemError, msg::kNoExceptionSet);
  if (is_panic_exception(exc.get())) return resume_panic(std::move(exc));
  return Error(Caught{std::move(exc)});
}

bool is_panic_exception(PyObject* exc) {
  PyObject* panic_cls = panic_exception_class();
  if (panic_cls == nullptr) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(panic_cls));
}

Error resume_panic(OwnedRef exc) {
  // A panic of ours came back through user code: keep it a panic.
  std::string text = exception_text(exc.get());
  std::fputs(msg::kResumingPanic.data(), stderr);
  restore_raised_exception(std::move(exc));
  PyErr_Print();
  return Error::panic(std::move(text));
}

Error&& Error::with_argument_note(const char* parameter) && {
  if (!std::holds_alternative<Panic>(form_)) note_param_ = parameter;  // a resumed panic stays as it was
  return std::move(*this);
}

void Error::raise() && {
  if (auto* form = std::get_if<WithMessage>(&form_)) {
    raise_with_message(form->cls, form->message);
  } else if (auto* bare = std::get_if<WithoutMessage>(&form_)) {
    PyErr_SetNone(bare->cls);  // nothing to carry a note
  } else if (auto* panic = std::get_if<Panic>(&form_)) {
    PyObject* cls = panic_exception_class();
    if (cls != nullptr) raise_with_message(cls, panic->text);  // else making the class failed; its error is set
  } else {
    OwnedRef& exc = std::get<Caught>(form_).exc;
    if (note_param_ != nullptr) add_note(exc.get(), note_param_);
    restore_raised_exception(std::move(exc));
  }
}

void Error::raise_with_message(PyObject* cls, const std::string& message) const {
  OwnedRef text =
      OwnedRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  if (note_param_ == nullptr) {
    PyErr_SetObject(cls, text.get());
    return;
  }
  OwnedRef exc = OwnedRef::steal(PyObject_CallOneArg(cls, text.get()));
  if (!exc) return;
  add_note(exc.get(), note_param_);
  PyErr_SetObject(cls, exc.get());
}

std::optional<std::string> read_type_qualname(PyTypeObject* type) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(p, static_cast<std::size_t>(n));
}

std::string type_qualname(PyObject* obj) {
  return read_type_qualname(Py_TYPE(obj)).value_or(std::string(msg::kTypeNameFailed));
}

std::string not_an_instance_text(PyObject* obj, std::string_view required) {
  if (obj == Py_None) return msg::none_not_an_instance(required);
  return msg::not_an_instance(type_qualname(obj), required);
}

}  // namespace pelm
