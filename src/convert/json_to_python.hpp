// Stored JSON text -> new Python objects, in one pass.
//
// The reader streams events straight into Python constructors: arrays become
// lists created at their final length, objects dicts filled in ascending name
// order (the stored order; other text is put in that order first), numbers
// ints or floats, strings str. Only the seven JSON types come out; every call
// builds fresh objects, so callers can never alter what the cache holds.
// No user Python code runs here (only the interpreter's own constructors and
// dict insertion with str keys), so the cache cannot be re-entered.
#pragma once

#include <Python.h>

#include <string_view>

#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

// Parses `json_text` and returns the new object. Failures come back ready to
// raise: SystemError "JSON deserialisation failed: <reader text>" when the
// text cannot be read, SystemError "failed to convert value to Python object:
// <text>" when a dict insertion fails, PanicException "PyObject pointer is
// null" when the interpreter cannot allocate an object (the interpreter's own
// error is first reported as unraisable).
[[nodiscard]] Result<OwnedRef> python_from_json(std::string_view json_text);

// The same for a stored entry's text or any other output of the writer,
// which is valid UTF-8 by construction: its strings are decoded without
// validation (invalid UTF-8 would be read past its end). Never for text
// from outside.
[[nodiscard]] Result<OwnedRef> python_from_stored_json(std::string_view json_text);

}  // namespace pelm
