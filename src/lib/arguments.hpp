// Converting the two named parameters, `key` and `limit`. Both failures carry
// the note "while processing '<name>'".
//
// A key is a str (or subclass) taken as its UTF-8 bytes; the view borrows the
// str's cached UTF-8 form, valid while the caller holds the argument.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "lib/error.hpp"

namespace pelm {

[[nodiscard]] Result<std::string_view> convert_key(PyObject* key);
// An int (or subclass), or anything with __index__, in 0 ... 2**64 - 1.
[[nodiscard]] Result<std::uint64_t> convert_limit(PyObject* limit);

}  // namespace pelm
