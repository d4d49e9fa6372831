// The shape of every entry point: run an implementation that returns a
// result or an error value, raise the error once, and never let a C++
// exception reach the interpreter (std::bad_alloc becomes MemoryError,
// anything else a PanicException). Slots and methods are `noexcept` and
// call one of these wrappers.
#pragma once

#include <Python.h>

#include <new>

#include "support/fault_injection.hpp"
#include "py/error.hpp"
#include "py/owned_ref.hpp"
#include "support/portable.hpp"

namespace pelm {

PELM_COLD void raise_unexpected_exception() noexcept;

// For entry points that return an object (methods, constructor, repr...).
template <class F>
PyObject* object_entry(F&& impl) noexcept {
  fault_injection::arm_from_environment();
  try {
    Result<OwnedRef> r = impl();
    fault_injection::disarm();
    if (r.ok()) return r.value().release();
    std::move(r.error()).raise();
  } catch (const std::bad_alloc&) {
    fault_injection::disarm();
    PyErr_NoMemory();
  } catch (...) {
    raise_unexpected_exception();
  }
  return nullptr;
}

// For entry points that return a number with -1 meaning "error is set".
template <class T, class F>
T number_entry(F&& impl) noexcept {
  try {
    Result<T> r = impl();
    if (r.ok()) return r.value();
    std::move(r.error()).raise();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_unexpected_exception();
  }
  return static_cast<T>(-1);
}

}  // namespace pelm
