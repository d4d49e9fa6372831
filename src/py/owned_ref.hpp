// OwnedRef: the one type in the module that releases Python references.
//
// A raw PyObject* anywhere else in the code is borrowed. Every acquisition
// names its ownership: `steal` takes over a new reference, `borrow` takes a
// reference of its own. `release` hands ownership back to the interpreter.
// Assignment stores the new pointer before dropping the old one, because the
// drop can run arbitrary Python code (a __del__) that may look at us.
// The last reference is dropped only by a thread holding the interpreter lock
// (py/lock_held.hpp says when it is not); otherwise the object is leaked.
#pragma once

#include <Python.h>

#include <utility>

#include "py/lock_held.hpp"

namespace pelm {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  ~OwnedRef() { drop(p_); }

  // Takes over a new reference (may be null, e.g. a failed API call).
  [[nodiscard]] static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
  // Takes a reference of its own to a borrowed object (may be null).
  [[nodiscard]] static OwnedRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return OwnedRef(p);
  }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference to the caller (usually the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  // Owns `p` (a new reference or null) from now on; the old one is dropped last.
  void reset(PyObject* p = nullptr) noexcept {
    PyObject* old = std::exchange(p_, p);
    drop(old);
  }

 private:
  static void drop(PyObject* p) noexcept {
    if (p == nullptr) return;
    if (Py_REFCNT(p) == 1 && !this_thread_holds_lock()) [[unlikely]] {
      return;
    }
    Py_DECREF(p);
  }

  explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace pelm
