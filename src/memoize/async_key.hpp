// The key of a coroutine call's miss as a Python object, which the shim
// (async.cpp) holds without looking inside: the flight's slot in `flights`,
// the shared task's argument, and what the store is handed back. Its text
// and hash stay on the C++ side as the lookup wrote and hashed them, so the
// store stores under them as they are, with nothing rebuilt or rehashed.
//
// Two keys are equal when their texts are, and hash as the text does as a
// str, so `(loop, key)` slots of one key meet in `flights` as they would
// with the key as a str. The type is private, made per interpreter on first
// need (py/per_interpreter.hpp); it cannot be instantiated or subclassed
// from Python, and holds no reference, so it needs no garbage collection.
#pragma once

#include <Python.h>

#include "memoize/call.hpp"
#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

// A new key object owning `key`.
[[nodiscard]] Result<OwnedRef> new_async_key(MissedKey key);

// The key `obj` holds, or null when `obj` is no key object. Valid while
// `obj` is.
[[nodiscard]] const MissedKey* async_key_of(PyObject* obj) noexcept;

}  // namespace pelm
