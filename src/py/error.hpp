// Errors as values: every failure travels back to the entry point as an
// `Error`, and only the entry point raises it (`raise`), exactly once.
//
// An error is one of four forms, and holds exactly what that form needs.
// Pending: a class and a message (or, rarely, no message at all), nothing
// created in the interpreter until raised (cheap, and safe to build without
// the interpreter having anything to say). Panic: an internal failure's
// text, raised as PanicException. Caught: the exception the interpreter
// raised, fetched with its traceback and restored unchanged; a caught
// PanicException (raised by user code that had caught one of ours) is
// resumed as a panic.
//
// Hazard: `fetch` must only be called right after an API call reported
// failure; with nothing pending it yields the SystemError that says so.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "py/owned_ref.hpp"

namespace pelm {

class Error {
 public:
  // The module's own failure: `cls` is a built-in exception class.
  [[nodiscard]] static Error pending(PyObject* cls, std::string message);
  [[nodiscard]] static Error pending(PyObject* cls, std::string_view message) {
    return pending(cls, std::string(message));
  }
  // A failure raised with no argument at all (OverflowError of len()).
  [[nodiscard]] static Error pending_without_message(PyObject* cls);
  // An internal failure, raised as PanicException(text).
  [[nodiscard]] static Error panic(std::string text);
  [[nodiscard]] static Error panic(std::string_view text) { return panic(std::string(text)); }
  // Takes the interpreter's pending exception (see the hazard above).
  [[nodiscard]] static Error fetch();

  // "while processing '<name>'", added through the exception's add_note.
  [[nodiscard]] Error&& with_argument_note(const char* parameter) &&;

  // Sets the interpreter's error indicator. Call once, at the entry point.
  void raise() &&;

 private:
  // Built-in classes and PanicException live forever: the class is borrowed.
  struct WithMessage {
    PyObject* cls;
    std::string message;
  };
  struct WithoutMessage {
    PyObject* cls;
  };
  struct Panic {
    std::string text;
  };
  struct Caught {
    OwnedRef exc;  // the fetched exception object
  };
  using Form = std::variant<WithMessage, WithoutMessage, Panic, Caught>;

  explicit Error(Form form) noexcept : form_(std::move(form)) {}
  void raise_with_message(PyObject* cls, const std::string& message) const;

  Form form_;
  const char* note_param_ = nullptr;  // never set on a panic
};

// An operation's outcome: a result or an error. `Result<void>` is the
// outcome of an operation with nothing to return: `return {};` on success.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT: implicit on purpose
  Result(Error error) : v_(std::move(error)) {}  // NOLINT
  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  [[nodiscard]] T& value() noexcept { return std::get<0>(v_); }
  [[nodiscard]] Error& error() noexcept { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() noexcept = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit on purpose
  [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
  [[nodiscard]] Error& error() noexcept { return *error_; }

 private:
  std::optional<Error> error_;
};

// Passes a failed outcome up: evaluates `expr` (any Result) and, if it
// failed, returns its error from the enclosing function, whose own Result
// type may differ. The value of a successful Result<T> is dropped; use it
// when only success matters.
#define PELM_TRY(expr)                                           \
  do {                                                           \
    if (auto pelm_try_ = (expr); !pelm_try_.ok()) [[unlikely]] { \
      return std::move(pelm_try_.error());                       \
    }                                                            \
  } while (false)

// The interpreter's pending exception as one normalised object with its
// traceback attached, and the way back. Null when nothing is pending.
[[nodiscard]] OwnedRef take_raised_exception();
void restore_raised_exception(OwnedRef exc);

// str(exc) as UTF-8, or "<exception str() failed>" when it cannot be made
// or encoded (the error of that failure is cleared).
[[nodiscard]] std::string exception_text(PyObject* exc);

// Whether `exc` is one of our PanicExceptions, come back through user code;
// and the error that resumes it (printed to stderr, raised with its text).
[[nodiscard]] bool is_panic_exception(PyObject* exc);
[[nodiscard]] Error resume_panic(OwnedRef exc);

// The class for internal failures; created on first need in each interpreter
// and kept until that interpreter ends. Returns null only if the class cannot
// be made (then a Python error is set).
PyObject* panic_exception_class();

// `__qualname__` of an object's type as UTF-8, or
// "<failed to extract type name>" when it cannot be read or encoded.
[[nodiscard]] std::string type_qualname(PyObject* obj);
// Same, but nothing when the name cannot be read (callers choose the fallback).
[[nodiscard]] std::optional<std::string> read_type_qualname(PyTypeObject* type);

// The text of a failed type check: "'T' object is not an instance of 'R'",
// or "'None' is not an instance of 'R'" for None.
[[nodiscard]] std::string not_an_instance_text(PyObject* obj, std::string_view required);

}  // namespace pelm
