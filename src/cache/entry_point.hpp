// The shape of every entry point: run an implementation that returns a
// result or an error value, raise the error once, and never let a C++
// exception reach the interpreter (std::bad_alloc becomes MemoryError,
// anything else a PanicException).
//
// One thing is let through: the forced unwind with which the C library ends
// a thread (pthread_exit). The interpreter uses it at exit to end a daemon
// thread that tries to take the interpreter lock back inside user code we
// called; that thread no longer may touch the interpreter, so swallowing the
// unwind and raising would crash (or abort with "exception not rethrown").
// For the unwind to pass, the entry points and every function between them
// and the interpreter's calls are not `noexcept` (a noexcept frame would
// turn it into std::terminate); they throw nothing else.
#pragma once

#include <Python.h>

#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "support/fault_injection.hpp"
#include "py/error.hpp"
#include "py/owned_ref.hpp"
#include "support/portable.hpp"

namespace pelm {

PELM_COLD void raise_unexpected_exception() noexcept;

// For entry points that return an object (methods, constructor, repr...).
template <class F>
PELM_NO_UBSAN_NULL PyObject* object_entry(F&& impl) {
  fault_injection::arm_from_environment();
  try {
    Result<OwnedRef> r = impl();
    fault_injection::disarm();
    if (r.ok()) return r.value().release();
    std::move(r.error()).raise();
  } catch (const std::bad_alloc&) {
    fault_injection::disarm();
    PyErr_NoMemory();
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (...) {
    raise_unexpected_exception();
  }
  return nullptr;
}

// For entry points that return a number with -1 meaning "error is set".
template <class T, class F>
PELM_NO_UBSAN_NULL T number_entry(F&& impl) {
  try {
    Result<T> r = impl();
    if (r.ok()) return r.value();
    std::move(r.error()).raise();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
#if defined(__GLIBCXX__)
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (...) {
    raise_unexpected_exception();
  }
  return static_cast<T>(-1);
}

}  // namespace pelm
