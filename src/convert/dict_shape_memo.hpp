// The record-shape memo of the dicts a conversion writes in sorted order:
// the codec's shape memo with a dict's key objects as the identities of its
// member names (see codec/shape_memo.hpp for how shapes are found).
//
// Records repeat their shape: a list of dicts built by one comprehension (or
// read by one parser), or the values a service caches over and over, share
// their key objects, in the same dict order, from one record to the next.
//
// Python's side of the memo's invariants: between calls it holds no
// reference to any key: the remembered addresses are only compared, never
// followed, so a key freed after a call (and its address reused by another
// str) is harmless: the names decide, and equal names in equal dict order
// have the same order and the same written text. Within a call a slot held
// has a reference to each of its keys until end_call (a single dict per
// call, the common small insert, so pays no reference counting); exact str
// keys run no Python code when end_call frees them. One conversion uses a
// memo at a time: a cache's conversions hold its exclusive use.
#pragma once

#include <Python.h>

#include "codec/shape_memo.hpp"

namespace pelm {

// A dict's keys as the memo's identities: held by a strong reference.
struct DictKeys {
  using Key = PyObject*;
  static constexpr bool kCanHold = true;
  static void hold(PyObject* key) noexcept { Py_INCREF(key); }
  static void release(PyObject* key) noexcept { Py_DECREF(key); }
};

using DictShapeMemo = codec::ShapeMemo<DictKeys, 4>;

}  // namespace pelm
