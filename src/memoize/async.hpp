// Memoized coroutine functions (async.cpp): the wrapper's call returns a
// coroutine, and concurrent awaits of one key on one event loop share one
// call of the function.
#pragma once

#include <Python.h>

#include <optional>

#include "py/error.hpp"

namespace pelm {

// Marks `wrapper` so that inspect (and, before 3.12, asyncio) sees a
// coroutine function; readies the coroutine machinery on first use.
[[nodiscard]] Result<void> mark_coroutine_function(PyObject* wrapper);

}  // namespace pelm
