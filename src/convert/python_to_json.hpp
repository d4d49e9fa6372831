// Python object -> compact JSON text, in one pass.
//
// `write_python_as_json` classifies the object by a fixed order of type tests and
// streams it into a JsonWriter, which keeps object members sorted; no value
// tree is built. It can run arbitrary Python code of the value's own classes
// (__len__, __getitem__, __iter__, keys(), values(), __instancecheck__,
// attribute lookups, __index__), which may mutate the containers being read or
// call back into the cache; every container access is bounds-checked against
// the current size and every object in use is held by a strong reference.
//
// On failure the writer holds partial output that the caller must discard.
// Nesting is limited: the 128th nested container fails with
// "recursion limit exceeded", so every stored text can be read back.
#pragma once

#include <Python.h>

#include <optional>

#include "convert/conversion_error.hpp"
#include "convert/dict_shape_memo.hpp"
#include "codec/writer.hpp"

namespace pelm {

// Containers nested deeper than this (the root container is level 1) fail.
inline constexpr int kMaxNesting = 127;

[[nodiscard]] std::optional<ConversionError> write_python_as_json(PyObject* obj, codec::JsonWriter& writer);
// The same, remembering record shapes in `shapes` across calls: a caller that
// stores values of one shape over and over (a cache) keeps one memo for them.
[[nodiscard]] std::optional<ConversionError> write_python_as_json(PyObject* obj, codec::JsonWriter& writer,
                                                                  DictShapeMemo& shapes);

// The same conversion for a memoized function's result, which must read back
// as what the function returned: NaN and the infinities anywhere inside
// (stored as null) are refused instead of written.
[[nodiscard]] std::optional<ConversionError> write_python_as_result(PyObject* obj, codec::JsonWriter& writer);

// The same conversion for one part of a memoized call's key, whose text must
// tell unequal values apart: NaN and the infinities (stored as null, which
// None also is) and sets (written in iteration order, which equal sets need
// not share) are refused instead of written.
[[nodiscard]] std::optional<ConversionError> write_python_as_key_part(PyObject* obj, codec::JsonWriter& writer);

}  // namespace pelm
