// The Python-visible Cache object: the engine, the use flag, the usage
// counters and the record-shape memo of its inserts, behind the object header. C++ members are built with placement new
// in tp_new and destroyed in tp_dealloc; `as_cache` is the one cast from PyObject*.
#pragma once

#include <Python.h>

#include "cache/stats.hpp"
#include "cache/use_flag.hpp"
#include "convert/dict_shape_memo.hpp"
#include "engine/engine.hpp"

namespace pelm {

struct CacheObject {
  PyObject_HEAD
  Engine engine;
  UseFlag use_flag;
  CacheCounters counters;
  // The record shape inserts last wrote (see dict_shape_memo.hpp).
  DictShapeMemo shapes;
};

[[nodiscard]] inline CacheObject* as_cache(PyObject* op) noexcept { return reinterpret_cast<CacheObject*>(op); }

// A new Cache with `limit`; used by the constructor and init_cache.
[[nodiscard]] Result<OwnedRef> new_cache(PyTypeObject* type, std::uint64_t limit);

// The hidden entry type of `module`'s interpreter (cache_node.cpp); null
// with a Python error set if it cannot be made.
[[nodiscard]] PyTypeObject* make_cache_node_type(PyObject* module) noexcept;

}  // namespace pelm
