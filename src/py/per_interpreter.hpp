// Objects the module keeps for one interpreter: each interpreter that uses
// the module gets its own instance of a kept type, made on first need and
// destroyed when that interpreter is torn down.
//
// Python objects must never pass from one interpreter to another (each may
// have its own allocator, and an object's type and module belong to the
// interpreter that made them), so nothing the module keeps between calls may
// be process-wide. An instance lives in a capsule in the interpreter's own
// dict (PyInterpreterState_GetDict), which the interpreter clears while it
// is still whole, before its last collection; the capsule's destructor
// destroys the instance there, releasing its references in their interpreter.
//
// The last instance found is remembered, with the id of its interpreter
// (ids are never reused, addresses may be), so a call from the same
// interpreter finds it with a few loads and two calls into the interpreter.
// That memory is per thread: interpreters with locks of their own run at
// once, and a thread may move between interpreters, which the id check
// catches. The count of destroyed instances is the one process-wide datum
// (an atomic).
// Hazard: code that runs after an interpreter cleared its dict (its last
// collection's finalisers) makes a fresh instance that is never destroyed.
//
// A kept type T is default-constructible and names its capsule in
// `static constexpr const char* kKey`, unique to T.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <utility>

#include "py/owned_ref.hpp"

namespace pelm {

namespace per_interpreter {

struct Kind {
  const char* key;
  void* (*make)() noexcept;
  void (*destroy)(void*) noexcept;
};

// Counts instances destroyed so far in the process.
[[nodiscard]] std::uint64_t destroyed() noexcept;

// The current interpreter's instance of `kind`, made if missing; null with
// a Python error set if it cannot be found or made.
[[nodiscard]] void* find_or_make(const Kind& kind);

template <class T>
inline constexpr Kind kind_of{
    T::kKey,
    []() noexcept -> void* { return new (std::nothrow) T(); },
    [](void* p) noexcept { delete static_cast<T*>(p); },
};

}  // namespace per_interpreter

template <class T>
[[nodiscard]] T* for_this_interpreter() {
  struct Seen {
    std::int64_t interpreter = -1;
    std::uint64_t destroyed = 0;
    T* instance = nullptr;
  };
  thread_local Seen seen;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  const std::uint64_t destroyed = per_interpreter::destroyed();
  if (seen.interpreter == id && seen.destroyed == destroyed) [[likely]] {
    return seen.instance;
  }
  void* found = per_interpreter::find_or_make(per_interpreter::kind_of<T>);
  if (found == nullptr) return nullptr;
  // `destroyed` was read first: if finding destroyed another instance, the
  // next call looks again rather than trusting this one too long.
  seen = Seen{id, destroyed, static_cast<T*>(found)};
  return seen.instance;
}

// One object kept per interpreter in `T::object`, made by `make` (which
// returns it, or null with a Python error set) on first need. Making it can
// release the interpreter lock or collect garbage, whose code may make one
// meanwhile: the first one stored is the one kept, a later one is dropped.
template <class T, class Make>
[[nodiscard]] PyObject* kept_object(Make make) {
  T* kept = for_this_interpreter<T>();
  if (kept == nullptr) return nullptr;
  if (!kept->object) {
    OwnedRef made = make();
    if (!made) return nullptr;
    if (!kept->object) kept->object = std::move(made);
  }
  return kept->object.get();
}

}  // namespace pelm
