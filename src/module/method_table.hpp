// The Cache's method table: the methods of the cache layer and
// Cache.memoize, which lives a layer up, put together where both are seen.
#pragma once

#include <Python.h>

namespace pelm {

// The table, made on the first call (a module execution) and kept for the
// life of the process, since every interpreter's Cache type points to it.
[[nodiscard]] PyMethodDef* cache_method_table() noexcept;

}  // namespace pelm
